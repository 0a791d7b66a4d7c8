#pragma once

#include <gtk/gtk.h>

#include <cstdint>

#include "platform/Event.h"

class Movie;
class MoviePlaybackController;
class MoviePlayer;

// The movie window's picture, drawn to fit the view with its aspect kept, and
// its keys: J, K and L shuttle (each J or L press takes 1 off or adds 1 to the
// rate, K stops) and the left and right arrows step one frame.
//
// Thread contract: main thread.
class MirelMovieView {
public:
    static constexpr uint16_t kLeftArrowKey = 123;
    static constexpr uint16_t kRightArrowKey = 124;
    static constexpr uint16_t kKKey = 40;
    static constexpr uint16_t kJKey = 38;
    static constexpr uint16_t kLKey = 37;
    static constexpr double kShuttleStep = 1.0;

    /// Draws in and takes the keys of `area`, which the window owns.
    explicit MirelMovieView(GtkDrawingArea* area);
    ~MirelMovieView();

    MirelMovieView(const MirelMovieView&) = delete;
    MirelMovieView& operator=(const MirelMovieView&) = delete;

    void setMoviePlaybackController(MoviePlaybackController* controller) { mpc_ = controller; }
    /// The movie the keys act on and the player whose pictures are drawn;
    /// either may be null.
    void setMovie(Movie* movie, MoviePlayer* player);

    /// True when the key was one of the view's.
    bool keyDown(const Event& event);
    /// Moves the movie's current time by `frames` frames of the video's
    /// average frame duration.
    void mpeg4AwareFrameStepper(int32_t frames);

    GtkWidget* widget() const { return GTK_WIDGET(area_); }

private:
    friend class MirelMovieViewSignals;

    void draw(cairo_t* cairo);

    GtkDrawingArea* area_;
    MoviePlaybackController* mpc_ = nullptr;
    Movie* movie_ = nullptr;
    MoviePlayer* player_ = nullptr;
};
