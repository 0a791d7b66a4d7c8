#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "decode/SMPTE_tc.h"
#include "platform/Movie.h"
#include "platform/MoviePlayer.h"
#include "platform/RepeatingTimer.h"

class MirelMovieView;

// The open movie, its window ("MoviePlayback.ui", loaded on first use) and a
// timer that reads the movie's current timecode thirty times a second and
// hands it on as a timecode value, whether the movie plays or not. A movie
// without a timecode track gets one in memory, counting from 00:00:00:00 at
// the video's rate. The application makes one on the first movie and keeps
// it; each movie opened replaces the one before.
//
// Thread contract: main thread.
class MoviePlaybackController {
public:
    struct Size {
        double width = 0;
        double height = 0;
        bool operator==(const Size&) const = default;
    };

    struct Environment {
        /// Takes each value read (the timecode controller's timecode()).
        std::function<void(std::unique_ptr<SMPTE_tc>)> deliver;
        /// Opens the player that shows the movie (MoviePlayer::open); empty:
        /// the movie is read but not shown.
        std::function<std::unique_ptr<MoviePlayer>(const Movie&, std::string& error)> player;
        /// Empty: the installed "MoviePlayback.ui".
        std::string interfaceFile;
        /// Shows the load failure; empty: the modal alert.
        std::function<void(const std::string& text)> alert;
        /// Shows a sheet on the movie window (message, informative text);
        /// empty: a window-modal dialog with its one button, "Close".
        std::function<void(const std::string& message, const std::string& informative)> sheet;
    };

    /// The difference between the window's height and the video's: the
    /// window's control bar.
    static constexpr double kWindowHeightAllowance = 38.0;

    explicit MoviePlaybackController(Environment environment);
    ~MoviePlaybackController();

    MoviePlaybackController(const MoviePlaybackController&) = delete;
    MoviePlaybackController& operator=(const MoviePlaybackController&) = delete;

    /// Opens the movie at `path` in place of the open one; a movie that
    /// cannot be read is logged ("Error opening movie") and none is open.
    void openNewMovie(const std::string& path);
    /// The path given to the last openNewMovie(), whether it opened or not.
    const std::optional<std::string>& movieName() const { return movieName_; }

    void showMovieWindow();
    void awakeFromNib();
    /// True only when it added a timecode track.
    bool addInitialTimecodeTrackIfNecessary();
    void updateMovieTimecode();
    void updateTime() { updateMovieTimecode(); }

    /// The first video track's size; 0 by 0 without a movie or video.
    Size videoNativeSize() const;
    void setMovieSizeHalf() { setWindowSizeNotMoving(scaled(0.5)); }
    void setMovieSizeActual() { setWindowSizeNotMoving(scaled(1.0)); }
    void setMovieSizeDouble() { setWindowSizeNotMoving(scaled(2.0)); }
    /// Sizes the window for a video of `size`, keeping its top-left corner.
    void setWindowSizeNotMoving(Size size);
    /// The size a resize to `proposed` keeps: the proposed width, with the
    /// height that keeps the video's aspect.
    Size windowWillResize(GtkWindow* window, Size proposed) const;
    void alertDidEnd() {}

    Movie* movie() const { return aMovie_.get(); }
    int32_t fps() const { return fps_; }
    bool isDf() const { return isDf_; }
    bool isNibLoaded() const { return isNibLoaded_; }
    GtkWindow* window() const { return myWindow_; }
    MirelMovieView* movieView() const { return aMovieView_.get(); }

private:
    friend class MoviePlaybackSignals;

    bool loadInterface();
    void wireSignals();
    void workOutFrameRate();
    void showPicturesOf(Movie& movie);
    void releaseMovie();
    void showCannotUtilize(int32_t status);
    void refreshControls();
    Size scaled(double factor) const;

    Environment environment_;
    std::unique_ptr<Movie> aMovie_;
    std::unique_ptr<MoviePlayer> player_;
    std::optional<std::string> movieName_;
    std::unique_ptr<MirelMovieView> aMovieView_;
    GtkWindow* myWindow_ = nullptr;
    GtkRange* position_ = nullptr;
    GtkButton* playButton_ = nullptr;
    GSimpleActionGroup* actions_ = nullptr;
    bool isNibLoaded_ = false;
    bool refreshing_ = false;
    int32_t fps_ = 0;
    bool isDf_ = false;
    RepeatingTimer updateTimer_;
};
