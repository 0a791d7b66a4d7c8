#pragma once

#include <mutex>
#include <string>
#include <vector>

// Collects the log's lines, exactly as formatted, for as long as it exists;
// nothing reaches standard error or the system log meanwhile. For tests that
// assert the texts the system logs. One capture at a time.
//
// Thread contract: create and destroy on one thread; lines may be logged and
// read from any thread meanwhile.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;

private:
    friend class Log;
    static std::mutex& mutex();  ///< guards the active capture and its lines
    static LogCapture* active();

    std::vector<std::string> lines_;
};
