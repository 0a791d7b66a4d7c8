#include "platform/Movie.h"

extern "C" {
#include <glib.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr uint32_t kNameItem = 0x6e616d65;  // 'name'

// The timecode sample description as libavformat keeps it (its first 16
// bytes left out): flags, time scale, frame duration, frames, then user data
// items, one of which may name the source.
void readDescription(const AVCodecParameters& codec, MovieTrack& track) {
    const uint8_t* data = codec.extradata;
    const int size = codec.extradata_size;
    if (data == nullptr || size < 17) return;
    track.definition.flags = AV_RB32(data + 4);
    track.definition.timeScale = static_cast<int32_t>(AV_RB32(data + 8));
    track.definition.frameDuration = static_cast<int32_t>(AV_RB32(data + 12));
    track.definition.framesPerSecond = data[16];
    for (int at = 18; at + 12 <= size;) {
        const int itemSize = static_cast<int>(AV_RB32(data + at));
        if (itemSize < 12 || at + itemSize > size) break;
        if (AV_RB32(data + at + 4) == kNameItem) {
            const int length = std::min<int>(AV_RB16(data + at + 8), itemSize - 12);
            track.sourceName.emplace(reinterpret_cast<const char*>(data + at + 12), length);
        }
        at += itemSize;
    }
}

// Each sample is one big-endian frame number; in a file written for fast
// start it is not the first packet, so it is read where the index says.
void readSamples(AVFormatContext& format, AVStream& stream, MovieTrack& track) {
    const int count = avformat_index_get_entries_count(&stream);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(&stream, i);
        if (entry == nullptr || entry->size < 4) continue;
        std::array<uint8_t, 4> bytes{};
        if (avio_seek(format.pb, entry->pos, SEEK_SET) < 0 ||
            avio_read(format.pb, bytes.data(), 4) != 4) {
            continue;
        }
        const AVIndexEntry* next =
            i + 1 < count ? avformat_index_get_entry(&stream, i + 1) : nullptr;
        const int64_t end = next != nullptr ? next->timestamp : track.media.duration;
        track.samples.push_back(TimecodeSample{static_cast<int64_t>(AV_RB32(bytes.data())),
                                               entry->timestamp, end - entry->timestamp});
    }
    track.media.sampleCount = static_cast<int64_t>(track.samples.size());
}

uint32_t mediaTypeOf(const AVStream& stream) {
    const AVCodecParameters& codec = *stream.codecpar;
    if (codec.codec_tag == MKTAG('t', 'm', 'c', 'd')) return kTimecodeMediaType;
    // A cover picture is stored as a video stream but is no video track.
    if (codec.codec_type == AVMEDIA_TYPE_VIDEO &&
        (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0)
        return kVideoMediaType;
    if (codec.codec_type == AVMEDIA_TYPE_AUDIO) return kSoundMediaType;
    return 0;
}

std::string errorText(int error) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(error, text.data(), text.size());
    return text.data();
}

}  // namespace

std::unique_ptr<Movie> Movie::open(const std::string& path, std::string& error) {
    AVFormatContext* format = nullptr;
    if (const int status = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
        status < 0) {
        error = errorText(status);
        return nullptr;
    }
    if (const int status = avformat_find_stream_info(format, nullptr); status < 0) {
        error = errorText(status);
        avformat_close_input(&format);
        return nullptr;
    }
    auto movie = std::make_unique<Movie>(1000, 0);
    movie->path_ = path;
    std::vector<MovieTrack*> timecodeTracks;
    MovieTrack* firstVideo = nullptr;
    bool videoRefersToTimecode = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream& stream = *format->streams[i];
        const uint32_t type = mediaTypeOf(stream);
        if (type == 0) continue;
        MovieTrack& track = movie->newTrack(type, stream.codecpar->width, stream.codecpar->height);
        track.media.timeScale = stream.time_base.den;
        track.media.duration = std::max<int64_t>(stream.duration, 0);
        track.media.sampleCount = stream.nb_frames;
        if (type == kTimecodeMediaType) {
            readDescription(*stream.codecpar, track);
            readSamples(*format, stream, track);
            if (track.samples.empty() || track.definition.framesPerSecond == 0) {
                // A cut file: no usable timecode in this track.
                movie->disposeTrack(&track);
                continue;
            }
            timecodeTracks.push_back(&track);
        } else if (type == kVideoMediaType && firstVideo == nullptr) {
            firstVideo = &track;
            videoRefersToTimecode = av_dict_get(stream.metadata, "timecode", nullptr, 0) != nullptr;
            movie->timeScale_ = track.media.timeScale;
            movie->naturalWidth_ = track.width;
            movie->naturalHeight_ = track.height;
        }
    }
    // libavformat hides track references, but copies the timecode to the
    // video stream that refers to a timecode track.
    if (firstVideo != nullptr && videoRefersToTimecode) {
        for (MovieTrack* track : timecodeTracks)
            firstVideo->references.emplace_back(kTimecodeReference, track);
    }
    if (format->duration > 0) {
        movie->duration_ = av_rescale(format->duration, movie->timeScale_, AV_TIME_BASE);
    }
    avformat_close_input(&format);
    movie->retime(0, 0);
    return movie;
}

int64_t Movie::currentTime() const {
    return timing_.timeAt(g_get_monotonic_time());
}

double Movie::rate() const {
    return timing_.rateAt(g_get_monotonic_time());
}

void Movie::setCurrentTime(int64_t time) {
    retime(time, timing_.rate);
}

void Movie::setRate(double rate) {
    retime(currentTime(), rate);
}

void Movie::setTimingChanged(std::function<void(const MovieTiming&)> changed) {
    timingChanged_ = std::move(changed);
}

void Movie::retime(int64_t time, double rate) {
    timing_ = {.time = std::clamp<int64_t>(time, 0, std::max<int64_t>(duration_, 0)),
               .instant = g_get_monotonic_time(),
               .rate = std::isfinite(rate) ? rate : 0,
               .timeScale = timeScale_ > 0 ? timeScale_ : 1000,
               .duration = duration_};
    if (timingChanged_) timingChanged_(timing_);
}

std::vector<MovieTrack*> Movie::tracks() const {
    std::vector<MovieTrack*> all;
    for (const auto& track : tracks_) all.push_back(track.get());
    return all;
}

std::vector<MovieTrack*> Movie::tracksOfMediaType(uint32_t mediaType) const {
    std::vector<MovieTrack*> found;
    for (const auto& track : tracks_) {
        if (track->mediaType == mediaType) found.push_back(track.get());
    }
    return found;
}

MovieTrack& Movie::newTrack(uint32_t mediaType, int32_t width, int32_t height) {
    auto track = std::make_unique<MovieTrack>();
    track->mediaType = mediaType;
    track->width = width;
    track->height = height;
    tracks_.push_back(std::move(track));
    return *tracks_.back();
}

void Movie::disposeTrack(MovieTrack* track) {
    std::erase_if(tracks_, [&](const auto& t) { return t.get() == track; });
}

namespace {

struct Counting {
    int64_t perSecond, perMinute, perTenMinutes, perDay;
    int64_t dropped;  ///< labels skipped at each minute but every tenth
};

Counting countingOf(const TimecodeDefinition& definition) {
    const int64_t fps = definition.framesPerSecond;
    const bool drop = (definition.flags & TimecodeDefinition::kDropFrame) != 0 && fps % 30 == 0;
    const int64_t dropped = drop ? fps / 15 : 0;
    const int64_t perMinute = fps * 60 - dropped;
    const int64_t perTenMinutes = perMinute * 10 + dropped;
    return Counting{fps, perMinute, perTenMinutes, perTenMinutes * 6 * 24, dropped};
}

}  // namespace

std::optional<int64_t> timecodeToFrameNumber(const TimecodeDefinition& definition,
                                             const TimecodeRecord& record) {
    if (definition.framesPerSecond == 0) return std::nullopt;
    const Counting c = countingOf(definition);
    const int64_t minutes = int64_t(record.hours) * 60 + record.minutes;
    return (minutes * 60 + record.seconds) * c.perSecond + record.frames -
           c.dropped * (minutes - minutes / 10);
}

TimecodeRecord frameNumberToTimecode(const TimecodeDefinition& definition, int64_t frameNumber) {
    TimecodeRecord record;
    if (definition.framesPerSecond == 0) return record;
    const Counting c = countingOf(definition);
    int64_t n = std::max<int64_t>(frameNumber, 0);
    if ((definition.flags & TimecodeDefinition::k24HourMax) != 0) n %= c.perDay;
    if (c.dropped > 0) {
        const int64_t tens = n / c.perTenMinutes, rest = n % c.perTenMinutes;
        n += c.dropped * 9 * tens +
             (rest > c.dropped ? c.dropped * ((rest - c.dropped) / c.perMinute) : 0);
    }
    record.frames = static_cast<uint8_t>(n % c.perSecond);
    record.seconds = static_cast<uint8_t>(n / c.perSecond % 60);
    record.minutes = static_cast<uint8_t>(n / (c.perSecond * 60) % 60);
    record.hours = static_cast<uint8_t>(n / (c.perSecond * 3600));
    return record;
}

std::optional<TimecodeRecord> timecodeAtTime(const MovieTrack& track, int64_t mediaTime) {
    const TimecodeDefinition& d = track.definition;
    if (d.frameDuration <= 0 || d.timeScale <= 0 || track.media.timeScale <= 0) return std::nullopt;
    for (const TimecodeSample& sample : track.samples) {
        if (mediaTime < sample.time || mediaTime >= sample.time + sample.duration) continue;
        // Whole frames elapsed, in exact integers: media units over the
        // media's scale, times frames per second as the definition gives them.
        const __int128 elapsed = static_cast<__int128>(mediaTime - sample.time) * d.timeScale /
                                 (static_cast<__int128>(track.media.timeScale) * d.frameDuration);
        return frameNumberToTimecode(d, sample.frameNumber + static_cast<int64_t>(elapsed));
    }
    return std::nullopt;
}

std::string timecodeToString(const TimecodeRecord& record, bool negative) {
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "%c%02u:%02u:%02u:%02u", negative ? '-' : ' ',
                  unsigned(record.hours), unsigned(record.minutes), unsigned(record.seconds),
                  unsigned(record.frames));
    return text.data();
}
