// The clock window in a real WebKit web view, under the Xvfb that the test
// command starts: the interface file, the values, status and frame rate pushed
// into the page, the observed settings, "MirelClock" from page script and its
// refusal on foreign pages, the navigation policy, failed loads and the
// minimum size.

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "clock/ClockWindow.h"
#include "clock/MirelUrlScheme.h"
#include "platform/LogCapture.h"
#include "routing/ZebTimecodeWrapper.h"
#include "tests/clock/FakeTimecodeSources.h"
#include "tests/clock/PageScript.h"
#include "tests/platform/MainLoop.h"

namespace {

using nlohmann::json;

class RecordedApplication : public ClockWindowDelegate {
public:
    void showHotKeyPreferences() override { ++hotKeyPreferences; }
    void open() override { ++openPanels; }
    void updateMovieWindow(const std::string& path) override { movies.push_back(path); }

    int hotKeyPreferences = 0;
    int openPanels = 0;
    std::vector<std::string> movies;
};

SMPTE_tc timecode(int h, int m, int s, int f) {
    SMPTE_tc tc{};
    tc.hu = h % 10;
    tc.ht = h / 10;
    tc.mu = m % 10;
    tc.mt = m / 10;
    tc.su = s % 10;
    tc.st = s / 10;
    tc.fu = f % 10;
    tc.ft = f / 10;
    return tc;
}

class ClockWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        context_ = webkit_web_context_new();
        MirelUrlScheme::registerWith(context_, std::make_shared<MirelUrlProtocol>(
                                                   sources_, settings_, [](const std::string&) {}));
        window_ = std::make_unique<ClockWindow>(environment(""));
    }

    void TearDown() override {
        window_.reset();
        g_object_unref(context_);
    }

    ClockWindow::Environment environment(const std::string& interfaceFile) {
        ClockWindow::Environment environment;
        environment.settings = &settings_;
        environment.context = context_;
        environment.application = &application_;
        environment.interfaceFile = interfaceFile;
        environment.alert = [this](const std::string& text) { alerts_.push_back(text); };
        return environment;
    }

    /// Shows the window and waits for the home page, with the recorder in it.
    void showAndWaitForHome() {
        window_->showWindow();
        ASSERT_TRUE(window_->isNibLoaded());
        injectAtDocumentStart(window_->webview(), kReceiveTimecodeRecorder);
        window_->loadWebviewHome();
        ASSERT_TRUE(waitForAddressBar("mirel:///home"));
        ASSERT_TRUE(waitFor("window.received && document.readyState == 'complete'"));
    }

    bool waitForAddressBar(const std::string& address) {
        return runMainLoopUntil(
            [&] { return gtk_entry_get_text(window_->addressbar()) == address; });
    }

    json evaluate(const std::string& expression) {
        return evaluateInPage(window_->webview(), expression);
    }

    bool waitFor(const std::string& condition) {
        return runMainLoopUntil([&] { return evaluate("!!(" + condition + ")") == true; });
    }

    /// What the page has been given since the last call, each as JSON.
    json received() {
        EXPECT_TRUE(waitFor("true"));  // earlier script calls have run by now
        return evaluate("window.received.splice(0)");
    }

    /// Lets the main loop run a little, for things that must not happen.
    static void settle() {
        const gint64 end = g_get_monotonic_time() + 300000;
        runMainLoopUntil([&] { return g_get_monotonic_time() > end; });
    }

    FakeTimecodeSources sources_;
    UserDefaultsController settings_;
    RecordedApplication application_;
    std::vector<std::string> alerts_;
    WebKitWebContext* context_ = nullptr;
    std::unique_ptr<ClockWindow> window_;
};

TEST(ClockWindowObjects, TextsPushedIntoThePage) {
    EXPECT_EQ(ClockWindow::timecodeObject(timecode(1, 2, 3, 4), "Running"),
              "{'h':'01','m':'02','s':'03','f':'04','r':'Running'}");
    EXPECT_EQ(ClockWindow::timecodeObject(timecode(23, 59, 59, 29), ""),
              "{'h':'23','m':'59','s':'59','f':'29','r':''}");
    EXPECT_EQ(ClockWindow::frameRateObject("29.97 DF"), "{'fps':'29.97 DF'}");
    EXPECT_EQ(ClockWindow::statusObject("Stopped"), "{'r':'Stopped'}");
    // A setting's text cannot end its string early, whatever it holds.
    EXPECT_EQ(ClockWindow::statusObject("a'b\\c\nd"), "{'r':'a\\'b\\\\c\\nd'}");
    EXPECT_EQ(ClockWindow::quoted("x\xE2\x80\xA8y"), "'x\\u2028y'");
}

TEST(ClockWindowObjects, AddressesAreEscapedLikeTheBrowserWould) {
    EXPECT_EQ(ClockWindow::addingPercentEscapes("mirel:///help/"), "mirel:///help/");
    EXPECT_EQ(ClockWindow::addingPercentEscapes("mirel://quicktime//Movies/My Clip.mov"),
              "mirel://quicktime//Movies/My%20Clip.mov");
    // A path's own percent sign survives the page server's unescaping.
    EXPECT_EQ(ClockWindow::addingPercentEscapes("/a%20b/\xC3\xA9t\xC3\xA9.mov"),
              "/a%2520b/%C3%A9t%C3%A9.mov");
}

TEST_F(ClockWindowTest, AMissingOrBrokenInterfaceFileAlertsAndIsTriedAgain) {
    // A file without the web view: the window it did describe must not linger.
    const std::string broken = g_get_tmp_dir() + std::string("/mirel-broken.ui");
    ASSERT_TRUE(g_file_set_contents(broken.c_str(),
                                    "<interface><object class=\"GtkWindow\" id=\"clockWindow\"/>"
                                    "</interface>",
                                    -1, nullptr));
    GList* before = gtk_window_list_toplevels();
    for (const std::string& file : {std::string("/nonexistent/mirelweb.ui"), broken}) {
        alerts_.clear();
        window_ = std::make_unique<ClockWindow>(environment(file));
        window_->showWindow();
        window_->showWindow();
        EXPECT_FALSE(window_->isNibLoaded()) << file;
        EXPECT_EQ(alerts_, std::vector<std::string>(
                               2, "Could not load application data!\n\nPlease reinstall Mirel."))
            << file;
        EXPECT_EQ(window_->webview(), nullptr) << file;
    }
    GList* after = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(after), g_list_length(before));
    g_list_free(before);
    g_list_free(after);
    g_remove(broken.c_str());
}

TEST_F(ClockWindowTest, ValuesStatusAndFrameRateReachThePageInOrder) {
    showAndWaitForHome();
    received();
    settings_.setObjectForKey("Running", "timecodeRunning");
    settings_.setObjectForKey("25", "fpsString");
    EXPECT_EQ(received(), json::parse(R"([{"r":"Running"},{"fps":"25"}])"));

    window_->receiveTimecode(ZebTimecodeWrapper(timecode(1, 2, 3, 4)));
    window_->receiveTimecode(ZebTimecodeWrapper(timecode(10, 0, 0, 0)));
    settings_.setObjectForKey("Stopped", "timecodeRunning");
    EXPECT_EQ(received(), json::parse(R"([
        {"h":"01","m":"02","s":"03","f":"04","r":"Running"},
        {"fps":"25"},
        {"h":"10","m":"00","s":"00","f":"00","r":"Running"},
        {"r":"Stopped"}])"));

    // Shown again: the home page comes back and every value is still shown once.
    window_->showWindow();
    ASSERT_TRUE(waitFor("document.readyState == 'complete' && window.received"));
    received();
    window_->receiveTimecode(ZebTimecodeWrapper(timecode(0, 0, 1, 1)));
    EXPECT_EQ(received().size(), 1U);
}

TEST_F(ClockWindowTest, PagesReadAndWriteSettingsThroughMirelClock) {
    settings_.setObjectForKey("1", "OnTop");
    showAndWaitForHome();
    EXPECT_TRUE(window_->isFloating()) << "floats from the moment it is set up";

    const LogCapture log;
    EXPECT_EQ(evaluate("MirelClock.getPreference('nothing')"), nullptr);
    EXPECT_EQ(evaluate("MirelClock.getPreference('OnTop')"), "1");
    evaluate("MirelClock.setPreference('0', 'OnTop')");
    EXPECT_FALSE(window_->isFloating());
    evaluate("MirelClock.setPreference('1', 'TransparentBgd')");
    EXPECT_TRUE(window_->hasTransparentBackground());
    evaluate("MirelClock.setPreference('0', 'TransparentBgd')");
    EXPECT_FALSE(window_->hasTransparentBackground());
    evaluate("MirelClock.log('hi'); MirelClock.changeHotkey()");
    EXPECT_EQ(settings_.valueForKeyPath("values.OnTop"), "0");
    EXPECT_EQ(application_.hotKeyPreferences, 1);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "New Preference: OnTop: 0", "New Preference: TransparentBgd: 1",
                               "New Preference: TransparentBgd: 0", "JavaScript: hi"}));
}

TEST_F(ClockWindowTest, ForeignPagesFindNoMirelClockAndCannotForgeIt) {
    showAndWaitForHome();
    webkit_web_view_load_html(window_->webview(), "<p>elsewhere</p>", "https://example.org/");
    ASSERT_TRUE(waitForAddressBar("https://example.org/"));
    EXPECT_EQ(evaluate("typeof MirelClock"), "undefined");
    const LogCapture log;
    evaluate(R"(prompt(JSON.stringify(
        {mirelClock: "guess", call: "setPreference", args: ["1", "OnTop"]})))");
    EXPECT_EQ(settings_.valueForKeyPath("values.OnTop"), nullptr);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Refused a MirelClock call from https://example.org/"});
}

TEST_F(ClockWindowTest, MoviesAndTheMoviePanelAreTakenFromNavigation) {
    showAndWaitForHome();
    const LogCapture log;
    // A dropped file arrives as a navigation of the browser's own, not of the page's.
    webkit_web_view_load_uri(window_->webview(), "file:///Movies/My%20Clip.mov");
    ASSERT_TRUE(runMainLoopUntil([&] { return !application_.movies.empty(); }));
    EXPECT_EQ(application_.movies, std::vector<std::string>{"/Movies/My Clip.mov"});
    EXPECT_EQ(log.lines().at(0), "Loading file:///Movies/My%20Clip.mov as a potential movie");

    evaluate("location.href = 'mirel://quicktime/'");
    ASSERT_TRUE(runMainLoopUntil([&] { return application_.openPanels == 1; }));
    settle();
    EXPECT_STREQ(webkit_web_view_get_uri(window_->webview()), "mirel:///home");
}

TEST_F(ClockWindowTest, AFailedLoadShowsTheNotFoundPageOnce) {
    showAndWaitForHome();
    window_->loadWebPage("mirel:///nowhere");
    ASSERT_TRUE(waitForAddressBar("mirel://404/mirel:///nowhere"));
    EXPECT_TRUE(waitFor("document.body.textContent.indexOf('mirel:///nowhere') >= 0"));
}

TEST_F(ClockWindowTest, OwnPagesGrowTheWindowAndOthersLeaveItAlone) {
    // Asked before the window is laid out, the size comes when it is.
    window_->showWindow();
    window_->ensureMinimumWidth(800, 500);
    showAndWaitForHome();
    GtkWidget* view = GTK_WIDGET(window_->webview());
    EXPECT_TRUE(runMainLoopUntil([&] {
        return gtk_widget_get_allocated_width(view) >= 800 &&
               gtk_widget_get_allocated_height(view) >= 500;
    }));

    gtk_window_resize(window_->clockWindow(), 900, 700);
    ASSERT_TRUE(runMainLoopUntil([&] { return gtk_widget_get_allocated_width(view) == 900; }));
    const int height = gtk_widget_get_allocated_height(view);
    window_->loadWebPage("mirel:///help");
    ASSERT_TRUE(waitForAddressBar("mirel:///help"));
    settle();
    EXPECT_EQ(gtk_widget_get_allocated_width(view), 900) << "a larger window keeps its size";
    EXPECT_EQ(gtk_widget_get_allocated_height(view), height);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
