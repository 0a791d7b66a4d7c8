#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/MovieTiming.h"

// A movie as the timecode utilities and the movie window see it: its tracks
// by media type, each with its media (time scale, duration, sample count),
// bounds and references, and for timecode media the definition, the samples
// (one frame number each) and the source name. Read from the file with
// libavformat; what is added or removed lives in the model only: nothing is
// ever written to the user's file.
//
// Times are in the movie's time scale (the first video track's media time
// scale, else milliseconds) or a track's media time scale, as named.
//
// The current time moves by itself while the rate is not 0 (a movie stops at
// its ends); whoever shows the movie follows the timing through
// setTimingChanged().
//
// Thread contract: main thread.

/// Media types, as four-character codes.
inline constexpr uint32_t kVideoMediaType = 0x76696465;     // 'vide'
inline constexpr uint32_t kSoundMediaType = 0x736f756e;     // 'soun'
inline constexpr uint32_t kTimecodeMediaType = 0x746d6364;  // 'tmcd'
inline constexpr uint32_t kTimecodeReference = kTimecodeMediaType;

struct TimecodeDefinition {
    static constexpr uint32_t kDropFrame = 1;
    static constexpr uint32_t k24HourMax = 2;
    static constexpr uint32_t kNegativeTimesOK = 4;
    static constexpr uint32_t kCounter = 8;

    uint32_t flags = 0;
    int32_t timeScale = 0;
    int32_t frameDuration = 0;
    uint8_t framesPerSecond = 0;
};

struct TimecodeRecord {
    uint8_t hours = 0, minutes = 0, seconds = 0, frames = 0;
    bool operator==(const TimecodeRecord&) const = default;
};

/// One sample of a timecode media: the frame number at `time`, for
/// `duration`, in the media's time scale.
struct TimecodeSample {
    int64_t frameNumber = 0;
    int64_t time = 0;
    int64_t duration = 0;
};

struct Media {
    int32_t timeScale = 0;
    int64_t duration = 0;
    int64_t sampleCount = 0;
};

class MovieTrack {
public:
    uint32_t mediaType = 0;
    Media media;
    int32_t width = 0, height = 0;
    bool enabled = true;
    /// Timecode media: the definition, the samples, the source's name (none
    /// when the description names none), and the handler's display flags.
    TimecodeDefinition definition;
    std::vector<TimecodeSample> samples;
    std::optional<std::string> sourceName;
    uint32_t timecodeFlags = 0;
    /// The tracks this one refers to, by reference type, in order.
    std::vector<std::pair<uint32_t, MovieTrack*>> references;
};

class Movie {
public:
    /// Reads the file's tracks; null with `error` set when it cannot be read.
    static std::unique_ptr<Movie> open(const std::string& path, std::string& error);

    /// A movie of `duration` (in `timeScale`) with no tracks; for tests.
    Movie(int32_t timeScale, int64_t duration) : timeScale_(timeScale), duration_(duration) {
        retime(0, 0);
    }

    const std::string& path() const { return path_; }
    int32_t timeScale() const { return timeScale_; }
    int64_t duration() const { return duration_; }
    int32_t naturalWidth() const { return naturalWidth_; }
    int32_t naturalHeight() const { return naturalHeight_; }

    /// The tracks in the movie's order.
    std::vector<MovieTrack*> tracks() const;
    std::vector<MovieTrack*> tracksOfMediaType(uint32_t mediaType) const;

    /// A new empty track at the end of the movie's order.
    MovieTrack& newTrack(uint32_t mediaType, int32_t width, int32_t height);
    /// Removes the track; references other tracks hold to it are the caller's
    /// to delete first.
    void disposeTrack(MovieTrack* track);

    int64_t currentTime() const;
    /// Moves to `time` (held inside the movie), keeping the rate.
    void setCurrentTime(int64_t time);
    double rate() const;
    void setRate(double rate);
    void stop() { setRate(0); }
    MovieTiming timing() const { return timing_; }
    /// `changed` runs after every change of the current time or the rate.
    void setTimingChanged(std::function<void(const MovieTiming&)> changed);

private:
    std::string path_;
    int32_t timeScale_ = 1000;
    int64_t duration_ = 0;
    int32_t naturalWidth_ = 0, naturalHeight_ = 0;
    std::vector<std::unique_ptr<MovieTrack>> tracks_;
    MovieTiming timing_;
    std::function<void(const MovieTiming&)> timingChanged_;

    void retime(int64_t time, double rate);
};

/// The frame number a record stands for under the definition: drop-frame
/// counting (at multiples of 30 frames a second) and the 24-hour wrap as its
/// flags say. Fails (nullopt) for a definition without frames per second.
std::optional<int64_t> timecodeToFrameNumber(const TimecodeDefinition& definition,
                                             const TimecodeRecord& record);
TimecodeRecord frameNumberToTimecode(const TimecodeDefinition& definition, int64_t frameNumber);

/// The record at a media time of a timecode track: its sample's frame number
/// plus the whole frames elapsed since the sample began. None outside every sample.
std::optional<TimecodeRecord> timecodeAtTime(const MovieTrack& track, int64_t mediaTime);

/// " HH:MM:SS:FF": one leading character (a minus sign for a negative time),
/// then two digits each separated by one character.
std::string timecodeToString(const TimecodeRecord& record, bool negative = false);
