// A bare web view with none of Mirel's own code: the clock's face (its style
// sheet and clockface.js) in a window of the given size, its value changed 25
// times a second by the page's own timer. What WebKit itself costs to paint
// the clock, the floor under mirel-clock-page-bench's figures, which runs it
// with --floor. The page's paint counts go to LOG as the program's would.
//
//   mirel-webview-floor LOG WIDTH HEIGHT

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kPage = R"(<html><head>
<link rel="stylesheet" href="mirel45t.css"><script src="clockface.js"></script></head>
<body>
<div id="timecodearea" style="text-align:center;"><span id="timecode">00:00:00.00</span></div>
<div id="userbits" style="display:none;">00000000</div>
<div id="stats"><div id="timecodefps">25 FPS</div><div id="timecodestatus">Running</div></div>
<script>
function two(n) { return (n < 10 ? '0' : '') + n; }
var frame = 0, given = 0, painted = 0, waiting = false;
function report() {
    webkit.messageHandlers.log.postMessage('e2e ' + Date.now() + ' paint ' + given + ' ' +
        painted + ' ' + innerWidth + 'x' + innerHeight);
}
addEventListener('load', function () {
    fitClock();
    addEventListener('resize', fitClock);
    setInterval(function () {
        ++frame;
        showClockValue({h: '10', m: two(Math.floor(frame / 1500) % 60),
                        s: two(Math.floor(frame / 25) % 60), f: two(frame % 25), r: 'Running'});
        ++given;
        if (waiting) return;
        waiting = true;
        requestAnimationFrame(function () { waiting = false; ++painted; });
    }, 40);
    setInterval(report, 1000);
});
</script></body></html>)";

FILE* logFile = nullptr;

void logged(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    g_autofree gchar* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
    std::fprintf(logFile, "JavaScript: %s\n", text);
    std::fflush(logFile);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 4 || (logFile = std::fopen(argv[1], "w")) == nullptr) {
        std::fprintf(stderr, "usage: mirel-webview-floor LOG WIDTH HEIGHT\n");
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), std::atoi(argv[2]), std::atoi(argv[3]));
    gtk_window_move(GTK_WINDOW(window), 0, 0);
    WebKitUserContentManager* scripts = webkit_user_content_manager_new();
    g_signal_connect(scripts, "script-message-received::log", G_CALLBACK(logged), nullptr);
    webkit_user_content_manager_register_script_message_handler(scripts, "log");
    GtkWidget* view = webkit_web_view_new_with_user_content_manager(scripts);
    // As the clock window draws without a GPU: directly, opaque in its colour.
    webkit_settings_set_hardware_acceleration_policy(
        webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view)),
        WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    const GdkRGBA colour{0.063, 0.071, 0.078, 1.0};
    webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(view), &colour);
    gtk_container_add(GTK_CONTAINER(window), view);
    const std::string base = std::string("file://") + MIREL_HTML + "/";
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), kPage, base.c_str());
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
