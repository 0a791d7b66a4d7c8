// The clock window and the "mirel:" pages in a real WebKit web view, under xvfb-run.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "clock/ClockWindow.h"
#include "clock/MirelUrlScheme.h"
#include "platform/LogCapture.h"
#include "routing/TimecodeWrapper.h"
#include "tests/clock/FakeTimecodeSources.h"
#include "tests/clock/PageScript.h"
#include "tests/platform/TempFolder.h"

namespace {

using nlohmann::json;

TimecodeWrapper timecode(int h, int m, int s, int f) {
    SMPTE_tc tc{};
    tc.ht = h / 10, tc.hu = h % 10, tc.mt = m / 10, tc.mu = m % 10;
    tc.st = s / 10, tc.su = s % 10, tc.ft = f / 10, tc.fu = f % 10;
    return TimecodeWrapper(tc);
}

/// Lets the main loop run a little, for things that must not happen.
void settle() {
    runMainLoopUntil([] { return false; }, std::chrono::milliseconds(300));
}

bool logs(const LogCapture& log, const std::string& line) {
    return runMainLoopUntil([&] { return std::ranges::count(log.lines(), line) > 0; });
}

class ClockWindowTest : public ::testing::Test, public ClockWindowDelegate {
protected:
    ClockWindowTest() {
        MirelUrlScheme::registerWith(
            context_.get(),
            std::make_shared<MirelUrlProtocol>(sources_, settings_, environment_.openInBrowser));
    }

    bool show() {
        window_->showWindow();
        return window_->isNibLoaded() && waitForAddressBar(ClockWindow::kHomePage) && ready();
    }

    /// Loads `address` and waits until it, or `shown` in its place, has loaded.
    bool load(const std::string& address, const std::string& shown = "") {
        gtk_entry_set_text(window_->addressbar(), "");  // a reload finishes too
        window_->loadWebPage(address);
        return waitForAddressBar(shown.empty() ? address : shown) && ready();
    }

    /// Waits until the page's own ready handlers, which jQuery runs late, have run.
    bool ready() {
        evaluate("window.jQuery && void jQuery(function () { window.testReady = true; })");
        return waitFor("!window.jQuery || window.testReady");
    }

    bool waitForAddressBar(const std::string& address) {
        return runMainLoopUntil(
            [&] { return gtk_entry_get_text(window_->addressbar()) == address; });
    }

    json evaluate(const std::string& script) { return evaluateInPage(window_->webview(), script); }
    bool waitFor(const std::string& test) { return waitInPageFor(window_->webview(), test); }

    void showHotKeyPreferences() override { ++hotKeyPreferences_; }
    void open() override { ++openPanels_; }
    void updateMovieWindow(const std::string& path) override { movies_.push_back(path); }

    FakeTimecodeSources sources_;
    UserDefaultsController settings_;
    int hotKeyPreferences_ = 0, openPanels_ = 0;
    std::vector<std::string> movies_, alerts_, browser_;  ///< browser_: opened in the browser
    std::unique_ptr<WebKitWebContext, decltype(&g_object_unref)> context_{webkit_web_context_new(),
                                                                          &g_object_unref};
    ClockWindow::Environment environment_{
        .settings = &settings_,
        .context = context_.get(),
        .application = this,
        .interfaceFile = {},
        .alert = [this](const std::string& text) { alerts_.push_back(text); },
        .openInBrowser = [this](const std::string& address) { browser_.push_back(address); }};
    std::unique_ptr<ClockWindow> window_ = std::make_unique<ClockWindow>(environment_);
};

TEST_F(ClockWindowTest, AMissingOrBrokenInterfaceFileAlertsAndIsTriedAgain) {
    // A file without the web view: the window it did describe must not linger.
    const TempFolder folder;
    std::ofstream(folder / "broken.ui")
        << R"(<interface><object class="GtkWindow" id="clockWindow"/></interface>)";
    g_autoptr(GList) before = gtk_window_list_toplevels();
    for (const std::string& file :
         {std::string("/nonexistent/mirelweb.ui"), folder / "broken.ui"}) {
        alerts_.clear();
        environment_.interfaceFile = file;
        window_ = std::make_unique<ClockWindow>(environment_);
        window_->showWindow();
        window_->showWindow();
        EXPECT_FALSE(window_->isNibLoaded()) << file;
        EXPECT_EQ(window_->webview(), nullptr) << file;
        EXPECT_EQ(alerts_, std::vector<std::string>(2, ClockWindow::kLoadFailedText)) << file;
    }
    g_autoptr(GList) after = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(after), g_list_length(before));
}

TEST_F(ClockWindowTest, EveryPageLoadsShowingNamesAsTextAndPreferencesReachTheSettings) {
    settings_.registerDefaults(json::parse(
        R"({"OnTop": "1", "HotKeyString": "F5", "HotKeyCommand": true, "TextColor": "#5fd38d",
            "WebClockStatus": {"state": "on", "addresses": ["http://<b>h</b>.local:1/", "x"]}})"));
    // Names come from devices and other machines; and one entry is no input at all.
    for (const auto& [u, n, i] : std::vector<std::array<std::string, 3>>{
             {"mirel://audio/1", "Line <b>2</b>", "audio"},
             {"mirel://network/mirel%3A//studio", "mirel://<i>studio</i>", "network"},
             {"mirel://quicktime//Movies/Day%201.mov", "/Movies/Day%201.mov", "quicktime"},
             {"javascript:alert(1)", "Not an input", "audio"}})
        sources_.entries.push_back(json{{"u", u}, {"n", n}, {"i", i}}.dump());
    ASSERT_TRUE(show());
    EXPECT_TRUE(window_->isFloating()) << "floats from the moment it is set up";
    ASSERT_TRUE(waitFor("$('#input-status').is(':hidden')"));
    EXPECT_EQ(evaluate(R"($.map($('.inputs a'), function (link) {
        return [[$(link).attr('href'), $(link).find('.name').text()]];
    }).concat([$('.inputs b, .inputs i, .empty:visible').length]))"),
              json::parse(R"([["mirel://audio/1", "Line <b>2</b>"],
        ["mirel://network/mirel%3A//studio", "mirel://<i>studio</i>"],
        ["mirel://quicktime/", "Open a movie…"],
        ["mirel://quicktime//Movies/Day%201.mov", "Day 1.mov"], 0])"));
    // The input in use is marked, and the way back to its clock leads there; none, none.
    const auto inUse = [&](const std::string& chosen, const json& address) {
        settings_.setObjectForKey(chosen, "audioInput");
        ASSERT_TRUE(load(ClockWindow::kHomePage));
        EXPECT_TRUE(waitFor("$('#input-status').is(':hidden')"));
        EXPECT_EQ(
            evaluate("[$('.input.inuse').attr('href'), $('#clock-link:visible').attr('href')]"),
            json::array({address, address}))
            << chosen;
    };
    inUse("Line <b>2</b>", "mirel://audio/1");
    inUse("/Movies/Day 1.mov", "mirel://quicktime//Movies/Day%201.mov");
    inUse("Unplugged", nullptr);
    settings_.setObjectForKey("Line <b>2</b>", "audioInput");

    std::set<std::string> images;
    for (const std::string page : {"home", "welcome", "help", "preferences"}) {
        ASSERT_TRUE(load("mirel:///" + page));
        ASSERT_TRUE(
            waitFor("$('#input-status:visible').length == 0 && "
                    "$.grep($('img'), function (i) { return !i.complete; }).length == 0"));
        const json shown = evaluate(R"(({page: [document.characterSet, document.contentType,
            $('link[rel=stylesheet]').length,
            $.grep($('link[rel=stylesheet]'), function (link) { return link.sheet; }).length,
            getComputedStyle(document.documentElement).backgroundImage.indexOf('mirel4bgd') > 0,
            $.grep($('img'), function (image) { return !image.naturalWidth; }).length],
            images: $.map($('img'), function (image) { return image.getAttribute('src'); })}))");
        EXPECT_EQ(shown["page"], json::parse(R"(["UTF-8", "text/html", 2, 2, true, 0])")) << page;
        for (const json& image : shown["images"]) images.insert(image.get<std::string>());
    }
    // Together the pages show every image the routes serve, the background aside.
    EXPECT_EQ(images.size(), 9U) << json(images);

    // The preferences page, shown last, shows the settings and writes them.
    EXPECT_EQ(
        evaluate(R"([$('#OnTop')[0].checked, $('#TransparentBgd')[0].checked,
        $('#fpsDisplay')[0].checked, $('#userBitsDisplay')[0].checked, $('#hotkey').text(),
        $('.swatch.chosen').attr('title'), $('#preview').css('color'),
        MirelClock.getPreference('nothing')])"),
        json::parse(
            R"j([true, false, true, false, "Ctrl+F5", "Green", "rgb(95, 211, 141)", null])j"));
    EXPECT_TRUE(waitFor("$('#clock-link:visible').attr('href') == 'mirel://audio/1'"));
    // What came of sharing with browsers, as text; a failure says why.
    const std::string sharing = "$('#webclock-status').text() + $('#webclock-status b').length";
    EXPECT_EQ(evaluate(sharing),
              "Open http://<b>h</b>.local:1/ or x in a browser on this network.0");
    settings_.setObjectForKey(json{{"state", "failed"}, {"error", "Port taken"}}, "WebClockStatus");
    evaluate("showWebClock()");
    EXPECT_EQ(evaluate(sharing), "The clock is not shared: Port taken0");

    const LogCapture log;
    evaluate(
        R"($('#OnTop, #TransparentBgd, #fpsDisplay, #userBitsDisplay, .swatch[title=Amber]').click();
        $('#TextColor').val('no colour at all').change().val(' rgb(1, 2, 3) ').change();
        $('#TypedFormat').val('%H:%M:%S:%F%n').change(); $('#change-hotkey').click(); 0)");
    EXPECT_FALSE(window_->isFloating());
    EXPECT_TRUE(window_->hasTransparentBackground());
    EXPECT_EQ(hotKeyPreferences_, 1);
    evaluate("MirelClock.setPreference('1', 'OnTop')");
    EXPECT_TRUE(window_->isFloating());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "New Preference: OnTop: 0", "New Preference: TransparentBgd: 1",
                  "New Preference: fpsDisplay: 0", "New Preference: userBitsDisplay: 1",
                  "New Preference: TextColor: #f0a23b", "New Preference: TextColor: rgb(1, 2, 3)",
                  "New Preference: TypedFormat: %H:%M:%S:%F%n", "New Preference: OnTop: 1"}));
}

TEST_F(ClockWindowTest, ValuesReachThePageInOrderAndTheClockPageShowsThem) {
    const std::string recorder =
        "window.received = []; window.receiveTimecode = function (o) { received.push(o); }";
    ASSERT_TRUE(show());
    evaluate(recorder);
    // No text can end the string it travels in early.
    settings_.setObjectForKey("it's\\ \r\n\xE2\x80\xA8\xE2\x80\xA9 on", "timecodeRunning");
    settings_.setObjectForKey("25", "fpsString");
    window_->receiveTimecode(timecode(1, 2, 3, 4));
    window_->receiveTimecode(timecode(10, 0, 0, 0));  // frame 0 brings the rate first
    settings_.setObjectForKey("Stopped", "timecodeRunning");
    // A setting that holds a structure stands for no text at all.
    settings_.setObjectForKey(json::parse(R"([[{"deep": [1]}]])"), "fpsString");
    settings_.setObjectForKey(7, "timecodeRunning");
    EXPECT_EQ(evaluate("received"),
              json::parse(R"([{"r":"it's\\ \r\n\u2028\u2029 on"}, {"fps":"25"},
        {"h":"01","m":"02","s":"03","f":"04","u":"00000000","r":"it's\\ \r\n\u2028\u2029 on"}, {"fps":"25"},
        {"h":"10","m":"00","s":"00","f":"00","u":"00000000","r":"it's\\ \r\n\u2028\u2029 on"}, {"r":"Stopped"},
        {"fps":""}, {"r":"7"}])"));

    // Shown again: the home page comes back and every value is still shown once.
    gtk_entry_set_text(window_->addressbar(), "");
    ASSERT_TRUE(show());
    evaluate(recorder);
    window_->receiveTimecode(timecode(0, 0, 1, 1));
    EXPECT_EQ(evaluate("received.length"), 1);

    // fpsDisplay, TextColor: the stats' display and the digits' colour from the first fit on.
    const std::vector<std::array<json, 4>> settings = {
        {"0", nullptr, "none", "rgb(243, 239, 230)"},
        {0, "#00ff00", "none", "rgb(0, 255, 0)"},
        {"1", "red", "flex", "rgb(255, 0, 0)"},
        {nullptr, nullptr, "flex", "rgb(243, 239, 230)"}};
    for (const auto& [fps, color, display, rgb] : settings) {
        settings_.setObjectForKey(fps, "fpsDisplay");
        settings_.setObjectForKey(color, "TextColor");
        ASSERT_TRUE(load("mirel://audio/1"));
        EXPECT_EQ(evaluate("[$('#stats').css('display'), $('#timecode').css('color'), "
                           "$('link[rel=stylesheet]')[0].sheet != null]"),
                  json::array({display, rgb, true}))
            << fps << " " << color;
    }

    // Each object changes only what it carries.
    const std::string shown =
        "[$('#timecode').text(), $('#timecodefps').text(), $('#timecodestatus').text()]";
    EXPECT_EQ(evaluate(shown), json::parse(R"(["00:00:00.00", "", "Stopped"])"));
    const std::vector<std::pair<std::string, std::string>> pushes = {
        {"{'r':'<i>Lost</i>','fps':'<b>29.97</b>'}",
         R"(["00:00:00.00", "<b>29.97</b> FPS", "<i>Lost</i>"])"},
        {"{'fps':'25'}", R"(["00:00:00.00", "25 FPS", "<i>Lost</i>"])"},
        {"{'r':'Disconnected'}", R"(["00:00:00.00", "25 FPS", "Disconnected"])"},
        {"{'h':'10','m':'59','s':'47','f':'12','r':'Running'}",
         R"(["10:59:47;12", "25 FPS", "Running"])"},
        {"{'fps':''}", R"(["10:59:47;12", "", "Running"])"}};
    for (const auto& [object, expected] : pushes) {
        evaluate("receiveTimecode(" + object + ")");
        EXPECT_EQ(evaluate(shown), json::parse(expected)) << object;
    }
}

// The clock's brightest pixels in the window as X shows it (the digits; the lines under them
// are greyer), so that what a value leaves behind is seen.
int litPixels(GtkWidget* view) {
    GtkAllocation area;
    gtk_widget_get_allocation(view, &area);
    g_autoptr(GdkPixbuf) shot = gdk_pixbuf_get_from_window(gtk_widget_get_window(view), area.x,
                                                           area.y, area.width, area.height);
    if (shot == nullptr) return -1;
    const int stride = gdk_pixbuf_get_rowstride(shot), step = gdk_pixbuf_get_n_channels(shot);
    const guchar* pixels = gdk_pixbuf_read_pixels(shot);
    int lit = 0;
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const guchar* p = pixels + y * stride + x * step;
            lit += p[0] > 220 && p[1] > 220 && p[2] > 220;
        }
    }
    return lit;
}

TEST_F(ClockWindowTest, EveryValueIsPaintedInFullOverTheOneBefore) {
    ASSERT_TRUE(show());
    gtk_window_resize(window_->clockWindow(), 640, 460);
    GtkWidget* view = GTK_WIDGET(window_->webview());
    for (const char* transparent : {"0", "1"}) {
        SCOPED_TRACE(std::string("transparent: ") + transparent);
        settings_.setObjectForKey(transparent, "TransparentBgd");
        ASSERT_TRUE(load("mirel://audio/0"));
        // What the page was given, and what it showed at each rendering update after new values.
        evaluate(R"(window.given = []; window.painted = []; (function () {
            var show = receiveTimecode, waiting = false;
            receiveTimecode = function (tc) {
                show(tc);
                if (typeof tc.h == 'undefined') return;
                given.push(tc.h + ':' + tc.m + ':' + tc.s + ';' + tc.f);
                if (waiting) return;
                waiting = true;
                requestAnimationFrame(function () {
                    waiting = false;
                    painted.push($('#timecode').text());
                });
            };
        })())");

        // The first paint of a page may take long: the sequence starts after it.
        window_->receiveTimecode(timecode(10, 59, 59, 23));
        ASSERT_TRUE(waitFor("painted.length == 1"));
        evaluate("given.length = painted.length = 0");

        // Two seconds at 25 fps, carrying into every field.
        int next = 0;
        std::function<gboolean()> tick = [&] {
            const int frame = 25 * 3599 + 24 + next++;  // 10:59:59;24 onwards
            window_->receiveTimecode(
                timecode(10 + frame / 90000, frame / 1500 % 60, frame / 25 % 60, frame % 25));
            return gboolean(next < 50);
        };
        const guint timer = g_timeout_add(
            40, [](gpointer f) { return (*static_cast<std::function<gboolean()>*>(f))(); }, &tick);
        ASSERT_TRUE(waitFor("given.length == 50"));
        settle();
        if (next < 50) g_source_remove(timer);
        const json given = evaluate("given"), painted = evaluate("painted");
        EXPECT_EQ(given.size(), 50u);
        EXPECT_EQ(painted, given);
        EXPECT_EQ(given.front(), "10:59:59;24");
        EXPECT_EQ(given.back(), "11:00:01;23");

        // Ones after eights: the window keeps none of the eights' pixels (each one lies within
        // an eight, so anything kept would leave at least as many lit).
        window_->receiveTimecode(timecode(8, 8, 8, 8));
        int eights = 0;
        ASSERT_TRUE(runMainLoopUntil([&] {
            const int now = litPixels(view);
            if (now == eights && now > 0) return true;
            eights = now;
            settle();
            return false;
        }));
        window_->receiveTimecode(timecode(11, 11, 11, 11));
        EXPECT_TRUE(runMainLoopUntil([&] { return litPixels(view) < eights * 9 / 10; },
                                     std::chrono::seconds(5)))
            << "eights " << eights << ", ones " << litPixels(view);
    }
}

// Whether every line shown lies inside the view, and whether one pixel more would overflow it
// (less the page's margin): measured here, not by the page's own fit.
const std::string kFit = R"((function () {
    var box = function () {  // left, top, right, bottom, lines
        var rects = $('#timecode, #userbits, #stats').filter(function () {
            return $(this).css('display') != 'none';
        }).get().map(function (line) { return line.getBoundingClientRect(); });
        return ['left', 'top', 'right', 'bottom'].map(function (side, i) {
            return Math[i < 2 ? 'min' : 'max'].apply(null, rects.map(function (r) { return r[side]; }));
        }).concat(rects.length);
    };
    var size = parseFloat($('#timecode').css('font-size')), now = box();
    setTimecodeFontSize(size + 1);
    var larger = box();
    setTimecodeFontSize(size);
    return {view: [innerWidth, innerHeight], size: size, lines: now[4],
        inside: now[0] >= 0 && now[1] >= 0 && now[2] <= innerWidth && now[3] <= innerHeight,
        largest: larger[2] - larger[0] > innerWidth - 15 || larger[3] - larger[1] > innerHeight - 15,
        stats: parseFloat($('#stats').css('font-size')) * 2 == size,
        scrolls: document.documentElement.scrollWidth > innerWidth ||
            document.documentElement.scrollHeight > innerHeight};
})())";

// A key press at the window, or a double-click on the web view, as GDK delivers them.
void send(GtkWidget* to, GdkEventType type, guint key) {
    GdkEvent* event = gdk_event_new(type);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(to)));
    (type == GDK_KEY_PRESS ? event->key.keyval : event->button.button) = key;
    gtk_widget_event(to, event);
    gdk_event_free(event);
}

TEST_F(ClockWindowTest, TheClockFitsTheViewBothWaysAtEverySizeAndInFullScreen) {
    settings_.setObjectForKey("1", "userBitsDisplay");
    ASSERT_TRUE(show());
    ASSERT_TRUE(load("mirel://audio/0"));
    TimecodeWrapper value = timecode(10, 0, 0, 0);
    auto& tc = *value.timecode();
    std::tie(tc.u1, tc.u2, tc.u3, tc.u4, tc.u5, tc.u6, tc.u7, tc.u8) =
        std::make_tuple(1, 2, 3, 4, 5, 6, 7, 15);
    window_->receiveTimecode(value);
    EXPECT_EQ(evaluate("[$('#timecode').text(), $('#userbits:visible').text()]"),
              json::parse(R"(["10:00:00;00", "1234567F"])"));

    GtkWidget* view = GTK_WIDGET(window_->webview());
    const auto fitted = [&](int width, int height) {
        // Until the view has its size and the page has refitted to it.
        const bool settled = runMainLoopUntil([&] {
            const int w = gtk_widget_get_allocated_width(view);
            const int h = gtk_widget_get_allocated_height(view);
            return (width == 0 || w == width) && (height == 0 || h == height) &&
                   evaluate(kFit + ".view + '' == '" + std::to_string(w) + "," + std::to_string(h) +
                            "' && " + kFit + ".largest && " + kFit + ".inside") == true;
        });
        const json fit = evaluate(kFit);
        EXPECT_TRUE(settled) << fit;
        EXPECT_EQ(fit["lines"], 3) << fit;
        EXPECT_TRUE(fit["inside"] == true && fit["stats"] == true && fit["scrolls"] == false)
            << fit;
        return fit;
    };
    std::vector<double> sizes;
    for (const auto& [width, height] :
         {std::pair{1200, 180}, {300, 200}, {640, 460}, {1200, 900}}) {
        gtk_window_resize(window_->clockWindow(), width, height);
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        sizes.push_back(fitted(width, 0)["size"].get<double>());
    }
    EXPECT_LT(sizes[1], sizes[0]) << "a short wide window limits the digits by its height";
    EXPECT_LT(sizes[1], sizes[2]);
    EXPECT_LT(sizes[2], sizes[3]);

    // Full screen covers the monitor without the address bar; Esc brings both back.
    for (const bool byKey : {true, false}) {
        SCOPED_TRACE(byKey ? "F11" : "double-click");
        if (byKey) {
            send(GTK_WIDGET(window_->clockWindow()), GDK_KEY_PRESS, GDK_KEY_F11);
        } else {
            send(view, GDK_2BUTTON_PRESS, GDK_BUTTON_PRIMARY);
        }
        EXPECT_TRUE(window_->isFullScreen());
        EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window_->addressbar())));
        EXPECT_GT(fitted(3840, 2160)["size"].get<double>(), sizes[3] * 2);
        send(GTK_WIDGET(window_->clockWindow()), GDK_KEY_PRESS, GDK_KEY_Escape);
        EXPECT_FALSE(window_->isFullScreen());
        EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window_->addressbar())));
        EXPECT_EQ(fitted(1200, 0)["size"], sizes[3]);
    }

    // An area narrower than the margin leaves the smallest size, and the fit ends.
    EXPECT_EQ(evaluate("$('#timecodearea').css('width', '10px'); timecodeResizer(); "
                       "parseFloat($('#timecode').css('font-size'))"),
              1);

    // Off, the user bits take no room; the same value is still shown without them.
    settings_.setObjectForKey("0", "userBitsDisplay");
    ASSERT_TRUE(load("mirel://audio/0"));
    window_->receiveTimecode(value);
    EXPECT_EQ(evaluate("[$('#timecode').text(), $('#userbits').css('display')]"),
              json::parse(R"(["10:00:00;00", "none"])"));
}

// What a page embeds or fetches chooses nothing; web pages never load in the window.
TEST_F(ClockWindowTest, OnlyOwnNavigationsChooseTheSourceOpenMoviesOrTheBrowserOrShowNotFound) {
    sources_.audioNames = {{0, "Zero"}, {1, "One"}};
    ASSERT_TRUE(show());
    settings_.setObjectForKey("Before", "audioInput");
    const LogCapture log;
    const auto refusals = [&] {
        return std::ranges::count_if(
            log.lines(), [](const std::string& line) { return line.starts_with("Refused '"); });
    };
    evaluate(R"(new Image().src = 'mirel://quicktime/%2Fhome%2Fuser%2Fx.mov';
        for (var i = 0; i < 20; i++) fetch('mirel:///visitOnlineHelp?' + i).catch(function () {});
        $('<iframe>', {src: 'mirel://audio/1'}).appendTo('body'); 0)");
    ASSERT_TRUE(runMainLoopUntil([&] { return refusals() == 22; })) << refusals();
    settle();
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Before");
    EXPECT_TRUE(browser_.empty());

    evaluate("location.href = 'mirel://audio/1'");
    ASSERT_TRUE(waitForAddressBar("mirel://audio/1"));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "One");
    ASSERT_TRUE(load("mirel://audio/0"));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Zero");

    webkit_web_view_load_html(window_->webview(), "<a id=l href='mirel://audio/1'>elsewhere</a>",
                              nullptr);
    ASSERT_TRUE(waitForAddressBar("about:blank"));
    evaluate("document.getElementById('l').click()");
    ASSERT_TRUE(logs(
        log, "Refused mirel://audio/1 from about:blank: only Mirel's own pages choose the source"));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "Zero");

    ASSERT_TRUE(load(ClockWindow::kHomePage));
    evaluate(R"($('<a>', {href: 'https://example.org/a'}).appendTo('body')[0].click();
        location.href = 'https://example.org/b'; 0)");
    ASSERT_TRUE(runMainLoopUntil([&] { return !browser_.empty(); }));
    settle();
    EXPECT_EQ(browser_, std::vector<std::string>{"https://example.org/a"});
    EXPECT_STREQ(webkit_web_view_get_uri(window_->webview()), ClockWindow::kHomePage);
    EXPECT_TRUE(logs(
        log, "Not loading https://example.org/b: the clock window shows only Mirel's own pages"));

    // A dropped file arrives as a navigation of the browser's own, not of the page's.
    webkit_web_view_load_uri(window_->webview(), "file:///Movies/My%20Clip.mov");
    ASSERT_TRUE(runMainLoopUntil([&] { return !movies_.empty(); }));
    EXPECT_EQ(movies_, std::vector<std::string>{"/Movies/My Clip.mov"});
    EXPECT_TRUE(logs(log, "Loading file:///Movies/My%20Clip.mov as a potential movie"));

    evaluate("location.href = 'mirel://quicktime/'");
    ASSERT_TRUE(runMainLoopUntil([&] { return openPanels_ == 1; }));
    settle();
    EXPECT_STREQ(webkit_web_view_get_uri(window_->webview()), ClockWindow::kHomePage);
    // Only that very address: a movie's own is a source, whose path keeps its percent signs.
    ASSERT_TRUE(load("mirel://quicktime//Movies/100% é.mov",
                     "mirel://quicktime//Movies/100%25%20%C3%A9.mov"));
    EXPECT_EQ(settings_.valueForKeyPath("values.audioInput"), "/Movies/100% é.mov");
    EXPECT_EQ(openPanels_, 1);

    // A failed load ends on the not-found page, naming the address as loaded, never in the bar.
    std::vector<std::string> inBar;
    GtkEntry* bar = window_->addressbar();
    g_signal_connect(
        bar, "notify::text", G_CALLBACK(+[](GtkEntry* entry, GParamSpec*, gpointer to) {
            static_cast<std::vector<std::string>*>(to)->push_back(gtk_entry_get_text(entry));
        }),
        &inBar);
    const std::vector<std::array<std::string, 3>> failing = {
        // asked for, the not-found page's address, the address it names
        {"mirel:///nowhere", "mirel://404/mirel:///nowhere", "mirel:///nowhere"},
        {"mirel:///no where", "mirel://404/mirel:///no%2520where", "mirel:///no%20where"},
        {"mirel://static/nothing.png", "mirel://404/mirel://static/nothing.png", ""},
        {"mirel:///json/timecodeinputs", "mirel://404/mirel:///json/timecodeinputs", ""},
        {"mirel://network/Nobody", "mirel://404/mirel://network/Nobody", ""}};
    for (const auto& [address, notFound, named] : failing) {
        ASSERT_TRUE(load(address, notFound));
        const std::string name = named.empty() ? address : named;
        EXPECT_TRUE(waitFor("document.body.textContent.indexOf('" + name + "') > 0")) << name;
    }
    // In the pages' look, with the way back to the inputs.
    EXPECT_TRUE(
        waitFor("document.styleSheets.length == 2 && "
                "document.querySelectorAll('a.button[href=\"mirel:///home\"]').length"));
    g_signal_handlers_disconnect_by_data(bar, &inBar);
    for (const auto& text : inBar)
        EXPECT_TRUE(text.empty() || text.starts_with("mirel://404/")) << text;
}

TEST_F(ClockWindowTest, OwnPagesGrowTheWindowKeepingItsTopEdgeAndNeverShrinkIt) {
    // Asked before the window is laid out, the size comes when it is.
    window_->showWindow();
    window_->ensureMinimumWidth(800, 500);
    GtkWindow* window = window_->clockWindow();
    GtkWidget* view = GTK_WIDGET(window_->webview());
    int width = 0, height = 0, top = 0;
    const auto until = [&](const auto& holds) {
        return runMainLoopUntil([&] {
            width = gtk_widget_get_allocated_width(view);
            height = gtk_widget_get_allocated_height(view);
            gtk_window_get_position(window, nullptr, &top);
            return holds();
        });
    };
    EXPECT_TRUE(until([&] { return width >= 800 && height >= 500; }));
    gtk_window_move(window, 40, 120);
    gtk_window_resize(window, 500, 300);
    ASSERT_TRUE(until([&] { return width == 500 && top == 120; }));
    ASSERT_TRUE(load("mirel:///help"));
    settle();
    EXPECT_TRUE(until([&] { return width >= 600 && height >= 400; }));
    EXPECT_EQ(top, 120);

    gtk_window_resize(window, 900, 700);
    ASSERT_TRUE(until([&] { return width == 900; }));
    const int larger = height;
    ASSERT_TRUE(load("mirel:///welcome"));
    settle();
    EXPECT_TRUE(until([&] { return width == 900 && height == larger; }));
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
