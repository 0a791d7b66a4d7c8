// Settings across processes: what one run writes, keeping its types, the next
// reads; a process killed while saving leaves a whole, recent document.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "tests/platform/TempFolder.h"

namespace {

using nlohmann::json;

// Starts settings_child in `mode` with its settings under `config`.
GPid startChild(const std::string& config, const char* mode, int* out = nullptr) {
    char* argv[] = {const_cast<char*>(SETTINGS_CHILD), const_cast<char*>(mode), nullptr};
    char** env = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", config.c_str(), TRUE);
    GPid pid = 0;
    g_spawn_async_with_pipes(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                             nullptr, out, nullptr, nullptr);
    g_strfreev(env);
    return pid;
}

// Runs the child to its end; its standard output, or "failed" when it did not exit with 0.
std::string runChild(const std::string& config, const char* mode) {
    int out = -1;
    const GPid pid = startChild(config, mode, &out);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(out);
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "failed";
}

// The document as it is now; discarded when missing or not whole.
json documentAt(const std::string& path) {
    gchar* text = nullptr;
    if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr))
        return json::parse("", nullptr, false);
    json parsed = json::parse(text, nullptr, false);
    g_free(text);
    return parsed;
}

TEST(SettingsProcesses, ASecondRunReadsWhatTheFirstWroteWithItsTypesAndNoDefaults) {
    TempFolder config;
    ASSERT_EQ(runChild(config.path(), "write"), "");
    const json written = json::parse(R"({"audioInput": "Studio \"A\" été", "HotKeyCode": 7,
        "HotKeyCommand": true, "audioInputList": ["Built-in Input", "Studio A"], "OnTop": "1",
        "offset": -200, "fpsString": null})");
    EXPECT_EQ(documentAt(config / "mirel/preferences.json"), written);

    json expected = written;
    expected["HotKeyAlt"] = false;
    expected["TypedFormat"] = "%N%H:%M:%S.%F%T";
    // Dumped text compares types too: 7 is not 7.0, "1" is not 1, true is not 1.
    EXPECT_EQ(json::parse(runChild(config.path(), "read"), nullptr, false).dump(), expected.dump());
}

TEST(SettingsProcesses, AWriterKilledAtAnyMomentLeavesAWholeRecentDocument) {
    TempFolder config;
    const std::string path = config / "mirel/preferences.json";
    std::mt19937 random(20240601);
    int64_t seen = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const GPid child = startChild(config.path(), "hammer");
        ASSERT_GT(child, 0);
        // Wait until this run has saved past what the last one left.
        int64_t latest = seen;
        int partial = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (latest <= seen && std::chrono::steady_clock::now() < deadline) {
            const json now = documentAt(path);
            if (now.is_object())
                latest = now.value("counter", int64_t(0));
            else if (latest > 0)
                ++partial;  // once there is a document, it is always whole
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);

        EXPECT_EQ(partial, 0);
        ASSERT_GT(latest, seen) << "the child never saved";
        const json left = documentAt(path);
        ASSERT_TRUE(left.is_object());
        EXPECT_GE(left.value("counter", int64_t(0)), latest);
        EXPECT_EQ(left["audioInputList"].size(), 2000u);
        seen = left.value("counter", int64_t(0));
    }
}

}  // namespace
