#pragma once

#include <string>

// What the clock window asks of the application object: the native hot key
// preferences, the movie open panel, and a movie to open and use as the
// timecode source.
//
// Thread contract: main thread.
class ClockWindowDelegate {
public:
    virtual void showHotKeyPreferences() = 0;
    virtual void open() = 0;
    /// `path` is a file path, its escapes already replaced.
    virtual void updateMovieWindow(const std::string& path) = 0;

protected:
    ~ClockWindowDelegate() = default;
};
