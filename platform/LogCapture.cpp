#include "platform/LogCapture.h"

namespace {
LogCapture* gActive = nullptr;
}

LogCapture::LogCapture() {
    std::lock_guard lock(mutex());
    gActive = this;
}

LogCapture::~LogCapture() {
    std::lock_guard lock(mutex());
    gActive = nullptr;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex());
    return lines_;
}

std::mutex& LogCapture::mutex() {
    static std::mutex m;
    return m;
}

LogCapture* LogCapture::active() {
    return gActive;
}
