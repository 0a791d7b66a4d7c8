#include "platform/Log.h"

#include <glib.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <mutex>

#include "platform/LogCapture.h"

void Log::line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    g_autofree gchar* formatted = g_strdup_vprintf(format, args);
    va_end(args);
    Log::text(formatted);
}

void Log::text(const std::string& line) {
    {
        std::lock_guard lock(LogCapture::mutex());
        if (LogCapture* capture = LogCapture::active()) {
            capture->lines_.push_back(line);
            return;
        }
    }
    emit(line);
}

void Log::emit(const std::string& line) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("mirel", LOG_PID, LOG_USER); });
    syslog(LOG_NOTICE, "%s", line.c_str());

    GDateTime* now = g_date_time_new_now_local();
    g_autofree gchar* stamp = g_date_time_format(now, "%Y-%m-%d %H:%M:%S.%f");
    g_date_time_unref(now);
    // One write per line, so that lines from different threads never interleave.
    g_autofree gchar* whole =
        g_strdup_printf("%s mirel[%d] %s\n", stamp, int(getpid()), line.c_str());
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, whole, strlen(whole));
}
