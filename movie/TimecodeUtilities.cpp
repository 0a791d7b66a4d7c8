#include "movie/TimecodeUtilities.h"

#include <glib.h>

#include "platform/Log.h"
#include "platform/Movie.h"

namespace TimecodeUtilities {

namespace {

constexpr uint32_t kShowTimecodeFlag = 1;
constexpr int32_t kAddedTrackHeight = 320;

// Source names are Mac Roman text in the file; every byte has a character there.
std::string fromMacRoman(const std::string& bytes) {
    g_autofree gchar* text = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                       "MACINTOSH", nullptr, nullptr, nullptr);
    return text != nullptr ? text : std::string();
}

std::optional<std::string> timecodeStringAt(Movie* movie, int64_t movieTime) {
    const MovieTrack* track = getTimecodeMediaHandler(movie);
    if (track == nullptr || movie->timeScale() <= 0) return std::nullopt;
    const auto mediaTime = static_cast<int64_t>(static_cast<__int128>(movieTime) *
                                                track->media.timeScale / movie->timeScale());
    const std::optional<TimecodeRecord> record = timecodeAtTime(*track, mediaTime);
    if (!record) return std::nullopt;
    return timecodeToString(*record);
}

}  // namespace

MovieTrack* getFirstTimecodeTrack(Movie* movie) {
    if (movie == nullptr) return nullptr;
    const std::vector<MovieTrack*> tracks = movie->tracksOfMediaType(kTimecodeMediaType);
    return tracks.empty() ? nullptr : tracks.front();
}

bool movieHasTimecodeTrack(Movie* movie) {
    return getFirstTimecodeTrack(movie) != nullptr;
}

MovieTrack* getTimecodeMediaHandler(Movie* movie) {
    return getFirstTimecodeTrack(movie);
}

void hideTimecodeDisplay(Movie* movie) {
    MovieTrack* track = getTimecodeMediaHandler(movie);
    if (track == nullptr) return;
    track->timecodeFlags &= ~kShowTimecodeFlag;
    track->enabled = true;
}

void toggleTimecodeDisplay(Movie* movie) {
    MovieTrack* track = getTimecodeMediaHandler(movie);
    if (track == nullptr) return;
    track->timecodeFlags ^= kShowTimecodeFlag;
    track->enabled = (track->timecodeFlags & 0xFF) != 0;
}

std::optional<std::string> getTimecodeSourceString(Movie* movie) {
    const MovieTrack* track = getTimecodeMediaHandler(movie);
    if (track == nullptr) return std::nullopt;
    if (!track->sourceName || track->sourceName->empty()) return std::string("No Source Name");
    return fromMacRoman(track->sourceName->substr(0, 255));
}

std::optional<std::string> getFirstTimecodeString(Movie* movie) {
    const MovieTrack* track = getTimecodeMediaHandler(movie);
    if (track == nullptr || track->samples.empty()) return std::nullopt;
    const std::optional<TimecodeRecord> record =
        timecodeAtTime(*track, track->samples.front().time);
    if (!record) return std::nullopt;
    return timecodeToString(*record);
}

std::optional<std::string> getCurrentTimecodeString(Movie* movie) {
    if (movie == nullptr) return std::nullopt;
    return timecodeStringAt(movie, movie->currentTime());
}

// Walked from the end, so that a deletion does not move what is still to be visited.
int32_t deleteAllReferencesToTrack(const std::vector<MovieTrack*>* tracks, MovieTrack* target) {
    if (tracks == nullptr || target == nullptr) return kParamErr;
    for (MovieTrack* track : *tracks) {
        if (track == target) continue;
        auto& references = track->references;
        for (size_t i = references.size(); i-- > 0;) {
            if (references[i].second == target) references.erase(references.begin() + long(i));
        }
    }
    return kNoErr;
}

void deleteTimecodeTracks(Movie* movie) {
    while (MovieTrack* track = getFirstTimecodeTrack(movie)) {
        const std::vector<MovieTrack*> tracks = movie->tracks();
        deleteAllReferencesToTrack(&tracks, track);
        movie->disposeTrack(track);
    }
}

int32_t addTimecodeTrackToMovie(Movie* movie, SimpleTimecodeTrackSettings settings) {
    if (movie == nullptr) return kParamErr;
    TimecodeDefinition definition;
    definition.flags =
        TimecodeDefinition::k24HourMax | (settings.isDf ? TimecodeDefinition::kDropFrame : 0);
    definition.timeScale = settings.fps * 100 - (settings.isDf ? 3 : 0);
    definition.frameDuration = 100;
    definition.framesPerSecond = static_cast<uint8_t>(settings.fps);
    const TimecodeRecord first{
        static_cast<uint8_t>(settings.hours), static_cast<uint8_t>(settings.minutes),
        static_cast<uint8_t>(settings.seconds), static_cast<uint8_t>(settings.frames)};
    const std::optional<int64_t> frameNumber = timecodeToFrameNumber(definition, first);
    if (!frameNumber || definition.timeScale <= 0) {
        Log::line("Could not TCTimeCodeToFrameNumber");
        Log::line("Something went wrong");
        return kBadTimecodeErr;
    }
    MovieTrack& track =
        movie->newTrack(kTimecodeMediaType, movie->naturalWidth(), kAddedTrackHeight);
    track.media = Media{movie->timeScale(), movie->duration(), 1};
    track.definition = definition;
    track.sourceName = kSourceName;
    track.samples.push_back(TimecodeSample{*frameNumber, 0, movie->duration()});
    // A movie without video has no track to carry the reference; the track
    // still gives the movie its timecode.
    const std::vector<MovieTrack*> video = movie->tracksOfMediaType(kVideoMediaType);
    if (!video.empty()) video.front()->references.emplace_back(kTimecodeReference, &track);
    return kNoErr;
}

}  // namespace TimecodeUtilities
