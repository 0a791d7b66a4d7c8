#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MovieTiming.h"

class SoundOutput;

// Shows a movie's first video track and plays its first sound track, following
// the timing the movie model gives it. Decoding runs on a worker thread of the
// player's own: forward at any rate (frames that would be late are skipped),
// backwards by decoding each keyframe interval forward and showing it in
// reverse (one interval held, never the file), and accurate seeks when stopped.
// Sound plays only at rate 1 forward, through the default output device, kept
// within 40 ms of the picture; a machine without an output device plays
// silently.
//
// Thread contract: every member from the main thread. The ready callback runs
// on the main thread, from the main loop.
class MoviePlayer {
public:
    /// One converted picture: 32-bit pixels in Cairo's RGB24 layout (B, G, R,
    /// unused in memory), `stride` bytes a row; `time` is the frame's start in
    /// the movie's time scale.
    struct Picture {
        int width = 0;
        int height = 0;
        int stride = 0;
        std::vector<uint8_t> pixels;
        int64_t time = -1;
    };

    /// Opens the file's first video track (a cover picture is not one) and
    /// first sound track; null with `error` set when there is no decodable
    /// video. `timeScale` is the movie model's, in which times are given.
    static std::unique_ptr<MoviePlayer> open(const std::string& path, int32_t timeScale,
                                             std::string& error);
    /// The same, with the sound played through `output` (none: silently).
    static std::unique_ptr<MoviePlayer> open(const std::string& path, int32_t timeScale,
                                             std::unique_ptr<SoundOutput> output,
                                             std::string& error);
    virtual ~MoviePlayer() = default;

    /// From now on shows the frame at the timing's time, and plays sound while
    /// the rate is 1.
    virtual void follow(const MovieTiming& timing) = 0;

    /// `ready` runs on the main thread each time a new picture can be drawn.
    virtual void setPictureReady(std::function<void()> ready) = 0;

    /// The newest picture; empty (width 0) before the first is decoded.
    virtual const Picture& picture() = 0;
};
