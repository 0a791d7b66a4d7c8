#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserDefaultsController.h"

class TimecodeController;

// The timecode inputs the user can choose from, in the two forms the
// application offers them: the input list document the clock window's pages
// fetch (one JSON object per input: "u" the source URL, "n" the name shown,
// "i" the kind), and the "audioInputList" setting the preferences window's
// pop-up shows, shaped by "sourceType".
//
// Nothing is cached: every call enumerates the audio devices afresh and reads
// the receiver's visible sources as they are now.
//
// URL escaping: everything but ASCII letters, digits, "-", ".", "_", "~" and
// "/" is percent-escaped, byte by byte in UTF-8. A name then survives any
// URL parser whole ("#" and "?" would otherwise cut it short), slashes keep a
// path readable, and names that are not ASCII travel as their UTF-8 bytes,
// which unescaping gives back exactly.
//
// Thread contract: main thread (the receiver's visible list is main-thread state).
class TimecodeInputList {
public:
    /// The open movie's file path, or nothing while no movie controller exists.
    using MovieName = std::function<std::optional<std::string>()>;

    explicit TimecodeInputList(TimecodeController& controller, MovieName movieName = {},
                               UserDefaultsController& settings = UserDefaultsController::shared());

    /// The input list document's entries, each one JSON object: audio
    /// devices with input channels, then visible network sources, then the movie.
    std::vector<std::string> getInputDeviceList() const;

    /// Rebuilds "audioInputList" for the current "sourceType" and brings
    /// "audioInput" in line with it. What the preferences window runs as it
    /// comes up.
    void refreshDevicesList();

    /// Rebuilds "audioInputList" alone, leaving the chosen source as it is.
    /// What network sources appearing and going run: the user's choice must
    /// not be undone because another copy came or went.
    void refreshAudioInputList();

    /// The names of the other copies on the network, as the lists show them.
    std::vector<std::string> networkSourceNames() const;

    /// "/Movies/a b.mov" -> "/Movies/a%20b.mov".
    static std::string percentEscaped(const std::string& text);

private:
    enum class Reconcile { kAudioInput, kLeaveAlone };
    void rebuild(Reconcile reconcile);
    std::vector<std::string> audioInputEntries() const;
    void storeList(const std::vector<std::string>& list);
    std::optional<std::string> audioInput() const;

    TimecodeController& controller_;
    MovieName movieName_;
    UserDefaultsController& settings_;
};
