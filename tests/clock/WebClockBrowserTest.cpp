// The browser clock as a browser shows it: a WebKit web view, under xvfb-run, on the page a
// headless mirel-decode serves while a virtual capture card plays LTC, and across a restart.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tests/clock/PageScript.h"
#include "tests/platform/TempFolder.h"
#include "tools/LtcSignal.h"
#include "tools/virtual-card/VirtualCard.h"

namespace {

using nlohmann::json;

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

/// mirel-decode serving the browser clock on `port`, once it says so (0 if it ends first, as
/// when the port is taken); it dies with the test, whatever happens.
GPid serve(const TempFolder& dir, int port, const std::string& env) {
    std::filesystem::remove(dir / "err");
    const std::string command = env + " exec '" MIREL_DECODE "' --live --share --web " +
                                std::to_string(port) + " >/dev/null 2>'" + dir / "err" + "'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    GPid pid = 0;
    g_spawn_async(
        nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
        [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, &pid, nullptr);
    const auto serving = [&] {
        return slurp(dir / "err").find("Sharing the clock") != std::string::npos;
    };
    runMainLoopUntil([&] { return serving() || waitpid(pid, nullptr, WNOHANG) != 0; });
    return serving() ? pid : 0;
}

const std::string kShown = "document.getElementById('timecode').textContent";
const std::string kStatus = "document.getElementById('timecodestatus').textContent";

// Running, and two readings of the timecode in the clock's format that differ.
bool advances(WebKitWebView* view) {
    const std::string format = "/^\\d\\d:\\d\\d:\\d\\d;\\d\\d$/.test(" + kShown + ")";
    if (!waitInPageFor(view, format + " && " + kStatus + " == 'Running'")) return false;
    return waitInPageFor(view,
                         format + " && " + kShown + " != " + evaluateInPage(view, kShown).dump());
}

TEST(WebClockBrowser, ThePageShowsTheAdvancingClockAndComesBackByItselfAfterARestart) {
    const TempFolder dir;
    LtcSignalOptions ltc{.hours = 10};
    ltc.frameCount = 25 * 20;
    writeRawFloat32(dir / "ltc.f32", makeLtcSignal(ltc).samples);
    const std::string alsa = writeAlsaConfig(
        dir.path(),
        {{.name = "ltc_card", .channels = 1, .rawFile = dir / "ltc.f32", .loop = true}});
    std::filesystem::create_directories(dir / "mirel");
    std::ofstream(dir / "mirel/preferences.json") << json{{"audioInput", "ltc_card"}};
    // No system bus: nothing is advertised on the machine's network.
    const std::string env = "ALSA_CONFIG_PATH='" + alsa + "' XDG_CONFIG_HOME='" +
                            dir.path().string() +
                            "' DBUS_SYSTEM_BUS_ADDRESS='unix:path=" + dir / "no-bus" + "'";
    int port = 0;
    GPid decoder = 0;
    // Below the kernel's ephemeral ports; one taken by another program is passed over.
    for (int attempt = 0; attempt < 5 && decoder == 0; ++attempt)
        decoder = serve(dir, port = g_random_int_range(20000, 32000), env);
    ASSERT_NE(decoder, 0) << slurp(dir / "err");

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 800, 300);
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(view, ("http://127.0.0.1:" + std::to_string(port) + "/").c_str());
    EXPECT_TRUE(advances(view)) << evaluateInPage(view, kShown);
    EXPECT_TRUE(
        waitInPageFor(view, "document.getElementById('timecodefps').textContent == '25 FPS'"));

    // The program gone, the page says so; back on the same port, the same page shows it again.
    evaluateInPage(view, "window.neverReloaded = true");
    kill(decoder, SIGKILL);
    waitpid(decoder, nullptr, 0);
    EXPECT_TRUE(waitInPageFor(view, kStatus + " == 'Disconnected'"));
    decoder = serve(dir, port, env);
    ASSERT_NE(decoder, 0) << slurp(dir / "err");
    EXPECT_TRUE(advances(view)) << evaluateInPage(view, kShown);
    EXPECT_EQ(evaluateInPage(view, "window.neverReloaded"), true);

    gtk_widget_destroy(window);
    kill(decoder, SIGTERM);
    int status = 0;
    waitpid(decoder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(dir / "err");
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
