#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Movie;
class MovieTrack;

// A movie's timecode tracks: find, test, read, hide, toggle, delete and add
// them. The movie window reads the current timecode as text from the first
// timecode track, and adds a track counting from 00:00:00:00 to a movie that
// has none (in the model only: the file is never written).
//
// The functions keep their original names without the framework prefix
// (QTKitTC_QTMovieHasTimeCodeTrack is movieHasTimecodeTrack, and so on).
// Every one that takes a movie does nothing for a null movie and returns its
// "none" result, or kParamErr for a status.
//
// Thread contract: main thread, where the movie lives.
namespace TimecodeUtilities {

inline constexpr int32_t kNoErr = 0;
inline constexpr int32_t kParamErr = -50;
/// The first frame's record cannot be counted under its definition (no frames per second).
inline constexpr int32_t kBadTimecodeErr = -2070;

struct SimpleTimecodeTrackSettings {
    int32_t hours = 0, minutes = 0, seconds = 0, frames = 0;  ///< low eight bits used
    int32_t fps = 0;                                          ///< nominal whole frames per second
    bool isDf = false;
};

/// The source name that tracks added here carry.
inline constexpr const char* kSourceName = "Mirel Timecode";

MovieTrack* getFirstTimecodeTrack(Movie* movie);
bool movieHasTimecodeTrack(Movie* movie);
/// The first timecode track, which carries its media's handler state; null without one.
MovieTrack* getTimecodeMediaHandler(Movie* movie);

void hideTimecodeDisplay(Movie* movie);
void toggleTimecodeDisplay(Movie* movie);

/// The current timecode's source name, "No Source Name" when it has none.
std::optional<std::string> getTimecodeSourceString(Movie* movie);
/// " HH:MM:SS:FF" of the first timecode track's first frame.
std::optional<std::string> getFirstTimecodeString(Movie* movie);
/// " HH:MM:SS:FF" at the movie's current time.
std::optional<std::string> getCurrentTimecodeString(Movie* movie);

/// Deletes every reference to `target` that the other tracks of the list
/// hold; the status of the last deletion, kNoErr when none was made.
int32_t deleteAllReferencesToTrack(const std::vector<MovieTrack*>* tracks, MovieTrack* target);
void deleteTimecodeTracks(Movie* movie);

/// Adds a timecode track spanning the whole movie, starting at the settings'
/// time, named kSourceName, referred to by the first video track.
int32_t addTimecodeTrackToMovie(Movie* movie, SimpleTimecodeTrackSettings settings);

}  // namespace TimecodeUtilities
