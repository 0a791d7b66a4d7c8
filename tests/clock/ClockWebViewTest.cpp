// The "mirel:" scheme, the pages and the clock in a real WebKit web view,
// under the Xvfb that the test command starts: every page with its style
// sheets, script and images; the input list; the preferences; the clock's
// values, fitting and display settings; failed loads. Leaves screenshots of
// the four pages and of the running clock in SCREENSHOT_FOLDER, for people to
// look at.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "clock/MirelUrlScheme.h"
#include "platform/UserDefaultsController.h"
#include "tests/clock/FakeTimecodeSources.h"
#include "tests/platform/MainLoop.h"

namespace {

using nlohmann::json;

// The pages call MirelClock, which the clock window provides; this stand-in
// keeps the settings in the page and records what the page writes.
constexpr const char* kMirelClockStandIn = R"(
window.MirelClock = {
    preferences: PREFERENCES,
    written: [],
    hotkeyRequests: 0,
    log: function (text) {},
    changeHotkey: function () { this.hotkeyRequests++; },
    getPreference: function (key) {
        return this.preferences.hasOwnProperty(key) ? this.preferences[key] : null;
    },
    setPreference: function (value, key) {
        this.preferences[key] = value;
        this.written.push([key, value]);
    }
};
)";

std::string entry(const std::string& u, const std::string& n, const std::string& i) {
    return json{{"u", u}, {"n", n}, {"i", i}}.dump();
}

// One window with a web view whose own web context serves "mirel:".
class WebView {
public:
    struct Load {
        bool failed = false;
        int code = 0;
        std::string domain;
    };

    WebView() {
        sources_.audioNames = {{0, "Desk A"}, {1, "Line <b>2</b>"}};
        sources_.networkNames = {"mirel://studio"};
        sources_.entries = {
            entry("mirel://audio/0", "Desk A", "audio"),
            entry("mirel://audio/1", "Line <b>2</b>", "audio"),
            entry("mirel://network/mirel%3A//studio", "mirel://studio", "network"),
            entry("mirel://quicktime//Movies/Day%201.mov", "/Movies/Day%201.mov", "quicktime"),
            entry("javascript:alert(1)", "Not an input", "audio"),
        };
        context_ = webkit_web_context_new();
        MirelUrlScheme::registerWith(
            context_, std::make_shared<MirelUrlProtocol>(
                          sources_, settings_,
                          [this](const std::string& address) { opened_.push_back(address); }));
        content_ = webkit_user_content_manager_new();
        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_,
                                             "user-content-manager", content_, nullptr));
        // What the clock window shows behind the clock page.
        const GdkRGBA windowBackground{0.063, 0.071, 0.078, 1.0};
        webkit_web_view_set_background_color(view_, &windowBackground);
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window_), 900, 560);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        setPreferences(json::object());

        // Every signal of the view, wired here; the destructor disconnects them.
        auto finished = +[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
            if (event == WEBKIT_LOAD_FINISHED) static_cast<WebView*>(self)->loading_ = false;
        };
        auto failed =
            +[](WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer self) -> gboolean {
            static_cast<WebView*>(self)->load_ = {true, error->code,
                                                  g_quark_to_string(error->domain)};
            return TRUE;  // no error page of WebKit's own
        };
        g_signal_connect(view_, "load-changed", G_CALLBACK(finished), this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(failed), this);
        gtk_widget_show_all(window_);
    }

    ~WebView() {
        g_signal_handlers_disconnect_by_data(view_, this);
        gtk_widget_destroy(window_);
        g_object_unref(content_);
        g_object_unref(context_);
    }

    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    /// Loads `url` and waits for it to finish, failed or not.
    Load load(const std::string& url) {
        load_ = {};
        loading_ = true;
        webkit_web_view_load_uri(view_, url.c_str());
        EXPECT_TRUE(runMainLoopUntil([&] { return !loading_; })) << url;
        return load_;
    }

    /// The value of `expression` in the page, as JSON; null when it throws.
    json evaluate(const std::string& expression) {
        bool done = false;
        std::string result = "null";
        struct Call {
            bool* done;
            std::string* result;
        } call{&done, &result};
        webkit_web_view_evaluate_javascript(
            view_, expression.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* view, GAsyncResult* async, gpointer data) {
                auto* call = static_cast<Call*>(data);
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                             async, nullptr);
                if (value != nullptr && !jsc_value_is_undefined(value)) {
                    gchar* text = jsc_value_to_json(value, 0);
                    if (text != nullptr) *call->result = text;
                    g_free(text);
                }
                if (value != nullptr) g_object_unref(value);
                *call->done = true;
            },
            &call);
        EXPECT_TRUE(runMainLoopUntil([&] { return done; })) << expression;
        return json::parse(result);
    }

    /// Waits until `condition` holds in the page.
    bool waitFor(const std::string& condition) {
        return runMainLoopUntil([&] { return evaluate("!!(" + condition + ")") == true; });
    }

    void resize(int width, int height) {
        gtk_window_resize(GTK_WINDOW(window_), width, height);
        EXPECT_TRUE(waitFor("window.innerWidth == " + std::to_string(width))) << width;
    }

    /// What MirelClock answers from the next load on.
    void setPreferences(const json& preferences) {
        std::string source = kMirelClockStandIn;
        source.replace(source.find("PREFERENCES"), 11, preferences.dump());
        webkit_user_content_manager_remove_all_scripts(content_);
        WebKitUserScript* script =
            webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(content_, script);
        webkit_user_script_unref(script);
    }

    /// Saves what the view shows as a PNG, the window's background included.
    bool screenshot(const std::string& name) {
        std::filesystem::create_directories(SCREENSHOT_FOLDER);
        struct Call {
            bool done = false;
            cairo_surface_t* surface = nullptr;
        } call;
        webkit_web_view_get_snapshot(
            view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
            [](GObject* view, GAsyncResult* async, gpointer data) {
                auto* call = static_cast<Call*>(data);
                call->surface =
                    webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(view), async, nullptr);
                call->done = true;
            },
            &call);
        if (!runMainLoopUntil([&] { return call.done; }) || call.surface == nullptr) return false;
        const std::string path = std::string(SCREENSHOT_FOLDER) + "/" + name;
        const bool saved =
            cairo_surface_write_to_png(call.surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(call.surface);
        return saved;
    }

    std::string uri() const { return webkit_web_view_get_uri(view_); }
    UserDefaultsController& settings() { return settings_; }
    const std::vector<std::string>& opened() const { return opened_; }

private:
    FakeTimecodeSources sources_;
    UserDefaultsController settings_;
    std::vector<std::string> opened_;
    WebKitWebContext* context_ = nullptr;
    WebKitUserContentManager* content_ = nullptr;
    WebKitWebView* view_ = nullptr;
    GtkWidget* window_ = nullptr;
    bool loading_ = false;
    Load load_;
};

WebView* gView = nullptr;  ///< one for the whole run: WebKit starts once

class ClockWebView : public ::testing::Test {
protected:
    void SetUp() override {
        view.setPreferences(json::object());
        view.resize(900, 560);
    }

    WebView& view = *gView;
};

TEST_F(ClockWebView, EveryPageLoadsInUtf8WithItsStyleSheetsScriptAndImages) {
    const std::string probe = R"((function () {
        var links = $('link[rel=stylesheet]'), sheets = 0, images = [];
        links.each(function () { if (this.sheet) sheets++; });
        $('img').each(function () {
            images.push([this.getAttribute('src'), this.complete && this.naturalWidth > 0]);
        });
        return {charset: document.characterSet, type: document.contentType, links: links.length,
                sheets: sheets, jquery: typeof jQuery, images: images,
                background: getComputedStyle(document.documentElement).backgroundImage};
    })())";
    std::set<std::string> seen;
    for (const std::string name : {"home", "welcome", "preferences", "help"}) {
        const std::string url = "mirel:///" + name;
        ASSERT_FALSE(view.load(url).failed) << url;
        ASSERT_TRUE(
            view.waitFor("$('#input-status:visible').length == 0 && "
                         "$('img').filter(function () { return !this.complete; }).length == 0"));
        EXPECT_TRUE(view.screenshot(name + ".png"));
        const json page = view.evaluate(probe);
        EXPECT_EQ(page["charset"], "UTF-8") << url;
        EXPECT_EQ(page["type"], "text/html") << url;
        EXPECT_EQ(page["links"], 2) << url;
        EXPECT_EQ(page["sheets"], 2) << url;
        EXPECT_EQ(page["jquery"], "function") << url;
        EXPECT_NE(page["background"].get<std::string>().find("mirel4bgd.png"), std::string::npos);
        for (const json& image : page["images"]) {
            EXPECT_TRUE(image[1].get<bool>()) << url << " " << image[0];
            seen.insert(image[0].get<std::string>());
        }
    }
    // Together the pages show every image but the background, which is checked above.
    EXPECT_EQ(seen.size(), 9U);
    EXPECT_TRUE(view.waitFor(R"((function () {
        if (!window.everyImage) {
            window.everyImage = $.map(['home.mirel', 'question-mark-icon', 'help-icon', 'file-icon',
                'qt-icon', 'mirel4bgd', 'LineIn', 'NetIn', 'QtIn', 'HomeArrow'], function (name) {
                var image = new Image();
                image.src = 'mirel://static/' + name + '.png';
                return image;
            });
        }
        return $.grep(window.everyImage, function (image) { return image.naturalWidth > 0; }).length == 10;
    })())"));
}

TEST_F(ClockWebView, HomeListsTheInputsAsTextAndItsLinksSelectTheSource) {
    ASSERT_FALSE(view.load("mirel:///home").failed);
    ASSERT_TRUE(view.waitFor("$('#input-status').is(':hidden')"));
    const json tiles = view.evaluate(R"($.map($('.inputs a'), function (link) {
        return [[$(link).attr('href'), $(link).find('.name').text(), $(link).find('b').length]];
    }))");
    EXPECT_EQ(tiles, json::parse(R"([
        ["mirel://audio/0", "Desk A", 0],
        ["mirel://audio/1", "Line <b>2</b>", 0],
        ["mirel://network/mirel%3A//studio", "mirel://studio", 0],
        ["mirel://quicktime/", "Open a movie…", 0],
        ["mirel://quicktime//Movies/Day%201.mov", "Day 1.mov", 0]
    ])"));
    EXPECT_EQ(view.evaluate("$('.empty:visible').length"), 0);

    view.evaluate("$('#audio-inputs a')[1].click()");
    ASSERT_TRUE(runMainLoopUntil([&] { return view.uri() == "mirel://audio/1"; }));
    ASSERT_TRUE(view.waitFor("document.readyState == 'complete' && $('#timecode').length == 1"));
    EXPECT_EQ(view.settings().valueForKeyPath("values.audioInput"), "Line <b>2</b>");
}

TEST_F(ClockWebView, OnlineHelpOpensTheBrowserOnceAndShowsHome) {
    ASSERT_FALSE(view.load("mirel:///visitOnlineHelp").failed);
    EXPECT_TRUE(view.waitFor("document.title == 'Mirel – Inputs'"));
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(view.opened(),
              std::vector<std::string>{std::string(MirelUrlProtocol::kOnlineHelpAddress)});
}

TEST_F(ClockWebView, PreferencesShowAndWriteTheDisplaySettingsAndAskForAHotKey) {
    view.setPreferences({{"OnTop", "1"},
                         {"HotKeyString", "F5"},
                         {"HotKeyCommand", true},
                         {"TextColor", "#5fd38d"}});
    ASSERT_FALSE(view.load("mirel:///preferences").failed);
    ASSERT_TRUE(view.waitFor("document.readyState == 'complete'"));
    EXPECT_EQ(
        view.evaluate(R"([$('#OnTop')[0].checked, $('#TransparentBgd')[0].checked,
        $('#fpsDisplay')[0].checked, $('#hotkey').text(), $('.swatch.chosen').attr('title'),
        $('#preview').css('color')])"),
        json::parse(R"json([true, false, true, "Ctrl+F5", "Green", "rgb(95, 211, 141)"])json"));

    view.evaluate(R"((function () {
        $('#OnTop').click();
        $('#TransparentBgd').click();
        $('#fpsDisplay').click();
        $('.swatch[title=Amber]').click();
        $('#TextColor').val('no colour at all').change();
        $('#TextColor').val(' rgb(1, 2, 3) ').change();
        $('#TypedFormat').val('%H:%M:%S:%F%n').change();
        $('#change-hotkey').click();
    })())");
    EXPECT_EQ(view.evaluate("MirelClock.written"), json::parse(R"json([
        ["OnTop", "0"], ["TransparentBgd", "1"], ["fpsDisplay", "0"],
        ["TextColor", "#f0a23b"], ["TextColor", "rgb(1, 2, 3)"], ["TypedFormat", "%H:%M:%S:%F%n"]
    ])json"));
    EXPECT_EQ(view.evaluate("MirelClock.hotkeyRequests"), 1);
}

TEST_F(ClockWebView, ClockShowsEveryObjectShapeAsTextAndChangesOnlyWhatItCarries) {
    ASSERT_FALSE(view.load("mirel://audio/0").failed);
    EXPECT_EQ(view.settings().valueForKeyPath("values.audioInput"), "Desk A");
    const std::string shown = R"([document.title, $('#timecode').text(), $('#timecodefps').text(),
        $('#timecodestatus').text(), $('#timecodearea').css('text-align'),
        $('link[rel=stylesheet]')[0].sheet != null, $('#stats *').length])";
    EXPECT_EQ(view.evaluate(shown),
              json::parse(R"(["Mirel", "00:00:00.00", "", "Stopped", "center", true, 2])"));
    const std::vector<std::pair<std::string, std::string>> pushes = {
        {"{'fps':'25'}", R"(["Mirel", "00:00:00.00", "25 FPS", "Stopped", "center", true, 2])"},
        {"{'r':'Disconnected'}",
         R"(["Mirel", "00:00:00.00", "25 FPS", "Disconnected", "center", true, 2])"},
        {"{'h':'10','m':'00','s':'00','f':'00','r':'Running'}",
         R"(["Mirel", "10:00:00;00", "25 FPS", "Running", "center", true, 2])"},
        {"{'r':'<i>Running</i>','fps':'<b>29.97</b>'}",
         R"(["Mirel", "10:00:00;00", "<b>29.97</b> FPS", "<i>Running</i>", "center", true, 2])"},
    };
    for (const auto& [object, expected] : pushes) {
        view.evaluate("receiveTimecode(" + object + ")");
        EXPECT_EQ(view.evaluate(shown), json::parse(expected)) << object;
    }
}

// The span's size, the usable width and the text's width one step either side.
constexpr const char* kFit = R"((function () {
    var timecode = $('#timecode'), size = parseFloat(timecode.css('font-size'));
    var at = function (px) { timecode.css('font-size', px + 'px'); return timecode.width(); };
    var fit = {size: size, usable: $('#timecodearea').width() - 15,
               below: at(size - 1), width: at(size), above: at(size + 1),
               stats: parseFloat($('#stats').css('font-size'))};
    timecode.css('font-size', size + 'px');
    return fit;
})())";

TEST_F(ClockWebView, FittingEndsWithinOneStepOfTheUsableWidthWithTheStatsAtHalfSize) {
    ASSERT_FALSE(view.load("mirel://audio/0").failed);
    double lastSize = 0;
    int lastWidth = 0;
    for (int width : {420, 900, 1240, 640, 300}) {
        view.resize(width, 400);
        // The window's resize event refits: wait until the size settles.
        ASSERT_TRUE(view.waitFor(std::string(kFit) + ".below <= " + std::to_string(width - 15) +
                                 " && " + kFit + ".above >= " + std::to_string(width - 15)))
            << width;
        const json fit = view.evaluate(kFit);
        EXPECT_EQ(fit["usable"], width - 15);
        EXPECT_LE(fit["below"].get<double>(), fit["usable"].get<double>()) << fit;
        EXPECT_GE(fit["above"].get<double>(), fit["usable"].get<double>()) << fit;
        EXPECT_DOUBLE_EQ(fit["stats"].get<double>(), fit["size"].get<double>() / 2) << fit;
        EXPECT_EQ(fit["size"].get<double>() > lastSize, width > lastWidth) << fit;
        lastSize = fit["size"].get<double>();
        lastWidth = width;
    }
    // An area narrower than the margin leaves the smallest size, and the loop ends.
    EXPECT_EQ(view.evaluate("$('#timecodearea').css('width', '10px'); timecodeResizer(); "
                            "parseFloat($('#timecode').css('font-size'))"),
              1);
    EXPECT_EQ(view.evaluate("$('#timecodearea').css('width', ''); timecodeResizer(); " +
                            std::string(kFit) + ".usable"),
              285);
}

TEST_F(ClockWebView, DisplaySettingsApplyFromTheFirstFit) {
    const std::vector<std::pair<json, json>> cases = {
        {json::object(), json::parse(R"json(["flex", "rgb(243, 239, 230)"])json")},
        {{{"fpsDisplay", "0"}}, json::parse(R"json(["none", "rgb(243, 239, 230)"])json")},
        {{{"fpsDisplay", 0}}, json::parse(R"json(["none", "rgb(243, 239, 230)"])json")},
        {{{"fpsDisplay", "1"}}, json::parse(R"json(["flex", "rgb(243, 239, 230)"])json")},
        {{{"TextColor", "red"}}, json::parse(R"json(["flex", "rgb(255, 0, 0)"])json")},
        {{{"TextColor", "#00ff00"}, {"fpsDisplay", "0"}},
         json::parse(R"json(["none", "rgb(0, 255, 0)"])json")},
    };
    for (const auto& [preferences, expected] : cases) {
        view.setPreferences(preferences);
        ASSERT_FALSE(view.load("mirel://audio/1").failed);
        ASSERT_TRUE(view.waitFor("document.readyState == 'complete'"));
        EXPECT_EQ(view.evaluate("[$('#stats').css('display'), $('#timecode').css('color')]"),
                  expected)
            << preferences;
    }
}

TEST_F(ClockWebView, FailedLoadsReportTheResourceUnavailable) {
    view.settings().setObjectForKey("Before", "audioInput");
    for (const char* url : {"mirel:///nowhere", "mirel://static/nothing.png",
                            "mirel:///json/timecodeinputs", "mirel://network/Nobody"}) {
        const WebView::Load load = view.load(url);
        EXPECT_TRUE(load.failed) << url;
        EXPECT_EQ(load.code, -1008) << url;
        EXPECT_EQ(load.domain, g_quark_to_string(WEBKIT_NETWORK_ERROR)) << url;
    }
    EXPECT_EQ(view.settings().valueForKeyPath("values.audioInput"), "Before");
}

TEST_F(ClockWebView, ScreenshotOfTheRunningClock) {
    ASSERT_FALSE(view.load("mirel://audio/0").failed);
    ASSERT_TRUE(view.waitFor("document.readyState == 'complete'"));
    view.evaluate(
        "receiveTimecode({'fps':'25'}); "
        "receiveTimecode({'h':'10','m':'59','s':'47','f':'12','r':'Running'})");
    EXPECT_TRUE(view.screenshot("clock.png"));
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    auto view = std::make_unique<WebView>();
    gView = view.get();
    const int failed = RUN_ALL_TESTS();
    gView = nullptr;
    view.reset();
    return failed;
}
