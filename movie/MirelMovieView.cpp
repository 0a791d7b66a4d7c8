#include "movie/MirelMovieView.h"

#include <cmath>

#include "platform/CallbackGuard.h"
#include "platform/Movie.h"
#include "platform/MoviePlayer.h"

class MirelMovieViewSignals {
public:
    static gboolean draw(GtkWidget*, cairo_t* cairo, gpointer self) {
        runGuarded("Movie view", [&] { static_cast<MirelMovieView*>(self)->draw(cairo); });
        return TRUE;
    }
};

MirelMovieView::MirelMovieView(GtkDrawingArea* area) : area_(area) {
    g_object_ref(area_);
    g_signal_connect(area_, "draw", G_CALLBACK(MirelMovieViewSignals::draw), this);
}

MirelMovieView::~MirelMovieView() {
    g_signal_handlers_disconnect_by_data(area_, this);
    g_object_unref(area_);
}

void MirelMovieView::setMovie(Movie* movie, MoviePlayer* player) {
    movie_ = movie;
    player_ = player;
    gtk_widget_queue_draw(widget());
}

bool MirelMovieView::keyDown(const Event& event) {
    if (event.type != Event::kKeyDown) return false;
    switch (event.keyCode) {
        case kLeftArrowKey:
            mpeg4AwareFrameStepper(-1);
            return true;
        case kRightArrowKey:
            mpeg4AwareFrameStepper(1);
            return true;
        case kKKey:
            if (movie_ != nullptr) movie_->setRate(0);
            return true;
        case kJKey:
            if (movie_ != nullptr) movie_->setRate(movie_->rate() - kShuttleStep);
            return true;
        case kLKey:
            if (movie_ != nullptr) movie_->setRate(movie_->rate() + kShuttleStep);
            return true;
        default:
            return false;
    }
}

void MirelMovieView::mpeg4AwareFrameStepper(int32_t frames) {
    if (movie_ == nullptr) return;
    const int64_t now = movie_->currentTime();
    const auto video = movie_->tracksOfMediaType(kVideoMediaType);
    if (video.empty()) return;
    const Media& media = video.front()->media;
    if (media.duration <= 0 || media.sampleCount <= 0) return;
    const double framesPerSecond = static_cast<double>(media.sampleCount) * media.timeScale /
                                   static_cast<double>(media.duration);
    const double frameLength = movie_->timeScale() / framesPerSecond;
    // The movie counts in its video's time scale, so a frame's length is a
    // whole number of units and the step lands exactly on the next frame.
    movie_->setCurrentTime(static_cast<int64_t>(frameLength * frames + static_cast<double>(now)));
}

void MirelMovieView::draw(cairo_t* cairo) {
    const double width = gtk_widget_get_allocated_width(widget());
    const double height = gtk_widget_get_allocated_height(widget());
    cairo_set_source_rgb(cairo, 0, 0, 0);
    cairo_paint(cairo);
    if (player_ == nullptr) return;
    const MoviePlayer::Picture& picture = player_->picture();
    if (picture.width <= 0 || picture.height <= 0 || picture.pixels.empty()) return;
    // Cairo only reads the pixels; the surface lives for this one paint.
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        const_cast<unsigned char*>(picture.pixels.data()), CAIRO_FORMAT_RGB24, picture.width,
        picture.height, picture.stride);
    const double scale = std::min(width / picture.width, height / picture.height);
    cairo_translate(cairo, (width - picture.width * scale) / 2,
                    (height - picture.height * scale) / 2);
    cairo_scale(cairo, scale, scale);
    cairo_set_source_surface(cairo, surface, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cairo), CAIRO_FILTER_GOOD);
    cairo_paint(cairo);
    cairo_surface_destroy(surface);
}
