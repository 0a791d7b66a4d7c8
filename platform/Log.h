#pragma once

#include <string>

// The system's free-text log: each line goes to standard error, with a time
// stamp and the process name and number in front, and to the system log.
// While a LogCapture exists the lines go to it instead, word for word.
//
// Thread contract: any thread except a real-time one (a line formats into a
// fresh string, takes a lock and writes to descriptors).
class Log {
public:
    /// printf-style; the line needs no trailing newline.
    static void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void text(const std::string& line);

private:
    friend class LogCapture;
    static void emit(const std::string& line);
};
