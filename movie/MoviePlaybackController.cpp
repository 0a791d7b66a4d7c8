#include "movie/MoviePlaybackController.h"

#include <cmath>
#include <cstdio>

#include "movie/MirelMovieView.h"
#include "movie/TimecodeUtilities.h"
#include "platform/CallbackGuard.h"
#include "platform/InterfaceFile.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/X11Keyboard.h"

namespace {

constexpr std::chrono::milliseconds kUpdateInterval{33};  // a thirtieth of a second
constexpr double kRateRoundingAllowance = 0.05;

int32_t digit(char c) {
    return c - '0';
}

}  // namespace

// The window's C callbacks; each casts its user data and calls one member.
class MoviePlaybackSignals {
public:
    static void sizeAction(GSimpleAction* action, GVariant*, gpointer self) {
        auto* controller = static_cast<MoviePlaybackController*>(self);
        const std::string name = g_action_get_name(G_ACTION(action));
        runGuarded("Movie window", [&] {
            if (name == "setMovieSizeHalf") controller->setMovieSizeHalf();
            if (name == "setMovieSizeActual") controller->setMovieSizeActual();
            if (name == "setMovieSizeDouble") controller->setMovieSizeDouble();
        });
    }

    static void togglePlay(GSimpleAction*, GVariant*, gpointer self) {
        Movie* movie = static_cast<MoviePlaybackController*>(self)->movie();
        if (movie == nullptr) return;
        if (movie->rate() != 0) {
            movie->stop();
            return;
        }
        // Played to its end, a movie plays again from the start.
        if (movie->currentTime() >= movie->duration()) movie->setCurrentTime(0);
        movie->setRate(1.0);
    }

    static gboolean keyPressed(GtkWidget* window, GdkEventKey* key, gpointer self) {
        return runGuarded("Movie window", FALSE, [&] {
            MirelMovieView* view = static_cast<MoviePlaybackController*>(self)->movieView();
            return view != nullptr && view->keyDown(keyEvent(*key, window)) ? TRUE : FALSE;
        });
    }

    // Closing the window hides it: the movie stays open and its values keep
    // coming, but it no longer plays (nor sounds) unseen.
    static gboolean closing(GtkWidget* window, GdkEvent*, gpointer self) {
        Movie* movie = static_cast<MoviePlaybackController*>(self)->movie();
        if (movie != nullptr) movie->stop();
        gtk_widget_hide(window);
        return TRUE;
    }

    // The user's resizes keep the video's aspect: the height follows the
    // width, as windowWillResize() says. (X11's aspect hint would take the
    // control bar into the ratio.)
    static gboolean configured(GtkWidget* window, GdkEventConfigure*, gpointer self) {
        auto* controller = static_cast<MoviePlaybackController*>(self);
        int width = 0, height = 0;
        gtk_window_get_size(GTK_WINDOW(window), &width, &height);
        const MoviePlaybackController::Size kept =
            controller->windowWillResize(GTK_WINDOW(window), {double(width), double(height)});
        if (std::abs(kept.height - height) > 1)
            gtk_window_resize(GTK_WINDOW(window), width, static_cast<int>(kept.height));
        return FALSE;
    }

    static void positionMoved(GtkRange* range, gpointer self) {
        auto* controller = static_cast<MoviePlaybackController*>(self);
        if (controller->refreshing_ || controller->movie() == nullptr) return;
        controller->movie()->setCurrentTime(static_cast<int64_t>(gtk_range_get_value(range)));
    }
};

MoviePlaybackController::MoviePlaybackController(Environment environment)
    : environment_(std::move(environment)), updateTimer_(kUpdateInterval, [this] {
          updateTime();
          refreshControls();
      }) {}

MoviePlaybackController::~MoviePlaybackController() {
    Log::line("Removing window");
    updateTimer_.stop();
    releaseMovie();
    aMovieView_.reset();
    if (myWindow_ != nullptr) {
        g_signal_handlers_disconnect_by_data(myWindow_, this);
        if (position_ != nullptr) g_signal_handlers_disconnect_by_data(position_, this);
        gtk_widget_destroy(GTK_WIDGET(myWindow_));
    }
    if (actions_ != nullptr) g_object_unref(actions_);
}

void MoviePlaybackController::openNewMovie(const std::string& path) {
    releaseMovie();
    movieName_ = path;
    std::string error;
    std::unique_ptr<Movie> movie = Movie::open(path, error);
    if (!movie) {
        Log::line("Error opening movie");
        Log::line("%s: %s", path.c_str(), error.c_str());
        return;
    }
    aMovie_ = std::move(movie);
    showMovieWindow();
    showPicturesOf(*aMovie_);
    aMovie_->stop();
    workOutFrameRate();
    addInitialTimecodeTrackIfNecessary();
    setMovieSizeActual();
}

void MoviePlaybackController::showPicturesOf(Movie& movie) {
    if (environment_.player) {
        std::string error;
        player_ = environment_.player(movie, error);
        if (!player_) Log::line("%s shows no picture: %s", movie.path().c_str(), error.c_str());
    }
    if (player_) {
        MoviePlayer* player = player_.get();
        movie.setTimingChanged([player](const MovieTiming& timing) { player->follow(timing); });
        player->setPictureReady([this] {
            if (aMovieView_) gtk_widget_queue_draw(aMovieView_->widget());
        });
    }
    if (aMovieView_) {
        aMovieView_->setMovie(&movie, player_.get());
        aMovieView_->setMoviePlaybackController(this);
    }
}

void MoviePlaybackController::releaseMovie() {
    if (aMovieView_) aMovieView_->setMovie(nullptr, nullptr);
    if (aMovie_) aMovie_->setTimingChanged({});
    player_.reset();
    aMovie_.reset();
}

void MoviePlaybackController::workOutFrameRate() {
    const std::vector<MovieTrack*> video = aMovie_->tracksOfMediaType(kVideoMediaType);
    if (video.empty()) {
        fps_ = 0;
        return;
    }
    const Media& media = video.front()->media;
    if (media.duration <= 0 || media.sampleCount <= 0 || media.timeScale <= 0) {
        // A video without a length has no rate to count timecode at.
        fps_ = 0;
        return;
    }
    const double rate = static_cast<double>(media.sampleCount) * media.timeScale /
                        static_cast<double>(media.duration);
    fps_ = static_cast<int32_t>(rate + kRateRoundingAllowance);
    isDf_ = fps_ != static_cast<int32_t>(rate);
}

bool MoviePlaybackController::addInitialTimecodeTrackIfNecessary() {
    if (TimecodeUtilities::movieHasTimecodeTrack(aMovie_.get())) return false;
    const int32_t status = TimecodeUtilities::addTimecodeTrackToMovie(
        aMovie_.get(),
        {.hours = 0, .minutes = 0, .seconds = 0, .frames = 0, .fps = fps_, .isDf = isDf_});
    if (status == TimecodeUtilities::kNoErr) return true;
    Log::line("Added timecode returned %d", status);
    showCannotUtilize(status);
    return false;
}

void MoviePlaybackController::showCannotUtilize(int32_t status) {
    char informative[200];
    std::snprintf(informative, sizeof informative,
                  "This movie does not support adding of timecode due to QuickTime error "
                  "%d.\n\nYou will not be able to use this movie in Mirel.",
                  status);
    if (environment_.sheet) {
        environment_.sheet("Cannot Utilize Movie", informative);
        return;
    }
    GtkWidget* sheet =
        gtk_message_dialog_new(myWindow_, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_WARNING,
                               GTK_BUTTONS_NONE, "%s", "Cannot Utilize Movie");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(sheet), "%s", informative);
    gtk_dialog_add_button(GTK_DIALOG(sheet), "Close", GTK_RESPONSE_CLOSE);
    // Modal to the movie window only, as a sheet; nothing follows its end.
    gtk_window_set_modal(GTK_WINDOW(sheet), myWindow_ != nullptr);
    g_signal_connect(sheet, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(sheet);
}

void MoviePlaybackController::updateMovieTimecode() {
    if (!aMovie_) return;
    const std::optional<std::string> text =
        TimecodeUtilities::getCurrentTimecodeString(aMovie_.get());
    if (!text || text->size() < 12) return;
    auto tc = std::make_unique<SMPTE_tc>();
    const std::string& t = *text;
    tc->ht = digit(t[1]);
    tc->hu = digit(t[2]);
    tc->mt = digit(t[4]);
    tc->mu = digit(t[5]);
    tc->st = digit(t[7]);
    tc->su = digit(t[8]);
    tc->ft = digit(t[10]);
    tc->fu = digit(t[11]);
    tc->dropFrame = isDf_;
    if (environment_.deliver) environment_.deliver(std::move(tc));
}

MoviePlaybackController::Size MoviePlaybackController::videoNativeSize() const {
    if (!aMovie_) return {};
    const std::vector<MovieTrack*> video = aMovie_->tracksOfMediaType(kVideoMediaType);
    if (video.empty()) return {};
    return {static_cast<double>(video.front()->width), static_cast<double>(video.front()->height)};
}

MoviePlaybackController::Size MoviePlaybackController::scaled(double factor) const {
    const Size native = videoNativeSize();
    return {native.width * factor, native.height * factor};
}

void MoviePlaybackController::setWindowSizeNotMoving(Size size) {
    if (myWindow_ == nullptr) return;
    // X11 windows grow and shrink from their top-left corner: the corner stays.
    gtk_window_resize(myWindow_, std::max(1, static_cast<int>(size.width)),
                      std::max(1, static_cast<int>(size.height + kWindowHeightAllowance)));
}

MoviePlaybackController::Size MoviePlaybackController::windowWillResize(GtkWindow*,
                                                                        Size proposed) const {
    const Size native = videoNativeSize();
    if (native.width == 0) return proposed;
    return {proposed.width, native.height / native.width * proposed.width + kWindowHeightAllowance};
}

void MoviePlaybackController::showMovieWindow() {
    InterfaceFile::showLoadingOnce(
        isNibLoaded_, [this] { return loadInterface(); }, [this] { awakeFromNib(); },
        environment_.alert);
}

void MoviePlaybackController::awakeFromNib() {
    if (myWindow_ != nullptr) gtk_window_present(myWindow_);
}

bool MoviePlaybackController::loadInterface() {
    const std::string file = environment_.interfaceFile.empty()
                                 ? Resources::path("MoviePlayback.ui")
                                 : environment_.interfaceFile;
    InterfaceFile parts(file);
    GObject* window = parts.object("myWindow");
    GObject* view = parts.object("aMovieView");
    if (!parts.read() || !GTK_IS_WINDOW(window) || !GTK_IS_DRAWING_AREA(view)) {
        parts.discard("movie window");
        return false;
    }
    myWindow_ = GTK_WINDOW(window);
    aMovieView_ = std::make_unique<MirelMovieView>(GTK_DRAWING_AREA(view));
    // The bar's parts are welcome, not needed: the keys do what they do.
    GObject* position = parts.object("position");
    position_ = GTK_IS_RANGE(position) ? GTK_RANGE(position) : nullptr;
    GObject* play = parts.object("playButton");
    playButton_ = GTK_IS_BUTTON(play) ? GTK_BUTTON(play) : nullptr;
    wireSignals();
    return true;
}

void MoviePlaybackController::wireSignals() {
    actions_ = g_simple_action_group_new();
    for (const char* name : {"setMovieSizeHalf", "setMovieSizeActual", "setMovieSizeDouble"}) {
        GSimpleAction* action = g_simple_action_new(name, nullptr);
        g_signal_connect(action, "activate", G_CALLBACK(MoviePlaybackSignals::sizeAction), this);
        g_action_map_add_action(G_ACTION_MAP(actions_), G_ACTION(action));
        g_object_unref(action);
    }
    GSimpleAction* play = g_simple_action_new("togglePlay", nullptr);
    g_signal_connect(play, "activate", G_CALLBACK(MoviePlaybackSignals::togglePlay), this);
    g_action_map_add_action(G_ACTION_MAP(actions_), G_ACTION(play));
    g_object_unref(play);
    gtk_widget_insert_action_group(GTK_WIDGET(myWindow_), "movie", G_ACTION_GROUP(actions_));
    g_signal_connect(myWindow_, "key-press-event", G_CALLBACK(MoviePlaybackSignals::keyPressed),
                     this);
    g_signal_connect(myWindow_, "delete-event", G_CALLBACK(MoviePlaybackSignals::closing), this);
    g_signal_connect(myWindow_, "configure-event", G_CALLBACK(MoviePlaybackSignals::configured),
                     this);
    if (position_ != nullptr) {
        g_signal_connect(position_, "value-changed",
                         G_CALLBACK(MoviePlaybackSignals::positionMoved), this);
    }
}

void MoviePlaybackController::refreshControls() {
    if (!aMovie_ || myWindow_ == nullptr) return;
    refreshing_ = true;
    if (position_ != nullptr) {
        gtk_range_set_range(position_, 0, std::max(1.0, static_cast<double>(aMovie_->duration())));
        gtk_range_set_value(position_, static_cast<double>(aMovie_->currentTime()));
    }
    const char* label = aMovie_->rate() == 0 ? "Play" : "Pause";
    if (playButton_ != nullptr && g_strcmp0(gtk_button_get_label(playButton_), label) != 0)
        gtk_button_set_label(playButton_, label);
    refreshing_ = false;
}
