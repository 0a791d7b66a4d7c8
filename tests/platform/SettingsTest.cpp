// The settings store, its document, and other runs: this executable with --child MODE.

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/LogCapture.h"
#include "platform/PreferencesFile.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "tests/platform/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Calls = std::vector<std::string>;

// Records "name keyPath = value read back" for every call, then does `alsoDo`.
struct Recorder : SettingsObserver {
    Recorder(std::string name, Calls& calls, UserDefaultsController& store)
        : name(std::move(name)), calls(calls), store(store) {}
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override {
        const std::string path = keyPath.value_or("(null)");
        calls.push_back(name + " " + path + " = " + store.valueForKeyPath(path).dump());
        if (alsoDo) alsoDo();
    }
    std::string name;
    Calls& calls;
    UserDefaultsController& store;
    std::function<void()> alsoDo = nullptr;
};

std::string nested(size_t levels) {
    return std::string(levels, '[') + "0" + std::string(levels, ']');
}

TEST(UserDefaultsController, EveryWriteReachesTheKeyPathsObserversInOrderNestedWritesFirst) {
    UserDefaultsController store;
    store.registerDefaults({{"TransparentBgd", "1"}});
    Calls calls;
    Recorder first("first", calls, store), other("other", calls, store);
    store.addObserver(first, "values.OnTop");
    store.addObserver(other, "values.OnTop");
    store.addObserver(other, "values.TransparentBgd");

    EXPECT_TRUE(store.setValueForKeyPath("1", "values.OnTop"));
    store.removeObserver(other, "values.OnTop");
    store.setObjectForKey("0", "OnTop");
    EXPECT_FALSE(store.setValueForKeyPath("1", "OnTop")) << "not a key path";
    EXPECT_EQ(store.valueForKeyPath("OnTop"), nullptr) << "not a key path";
    store.setObjectForKey(nullptr, "TransparentBgd");  // hides the default
    store.removeObjectForKey("TransparentBgd");        // brings it back
    EXPECT_EQ(calls, (Calls{"first values.OnTop = \"1\"", "other values.OnTop = \"1\"",
                            "first values.OnTop = \"0\"", "other values.TransparentBgd = null",
                            "other values.TransparentBgd = \"1\""}));

    // A write made inside an observer is heard before the next observer of the first.
    calls.clear();
    Recorder writer("writer", calls, store);
    writer.alsoDo = [&] { store.setObjectForKey("2", "OnTop"); };
    store.addObserver(writer, "values.audioInput");
    store.addObserver(other, "values.audioInput");
    store.setValueForKeyPath("Studio A", "values.audioInput");
    EXPECT_EQ(calls, (Calls{"writer values.audioInput = \"Studio A\"", "first values.OnTop = \"2\"",
                            "other values.audioInput = \"Studio A\""}));

    // Too deep to save: refused, and heard by nobody.
    calls.clear();
    store.addObserver(first, "values.TextColor");
    const LogCapture log;
    EXPECT_FALSE(store.setValueForKeyPath(json::parse(nested(100000)), "values.TextColor"));
    store.setObjectForKey(json::parse(nested(65)), "TextColor");
    EXPECT_TRUE(store.setValueForKeyPath(json::parse(nested(63)), "values.TextColor"));
    EXPECT_EQ(calls.size(), 1u);
    const std::string refused =
        "Setting \"TextColor\" not changed: its value nests deeper than 64 levels";
    EXPECT_EQ(log.lines(), std::vector(2, refused));
}

const char* const kWritten = R"({"audioInput": "Studio \"A\" été", "HotKeyCode": 7,
    "HotKeyCommand": true, "audioInputList": ["Built-in Input", "Studio A"], "offset": -200,
    "fpsString": null, "OnTop": "1"})";

// The document as it is now; discarded when missing or not whole.
json documentAt(const std::string& path) {
    return json::parse(std::ifstream(path), nullptr, false);
}

// Each is moved aside word for word, logged once; the run starts from the defaults without
// waiting on a FIFO nobody writes, and saving goes on in its place, non-UTF-8 text included.
TEST(PreferencesFile, HostileDocumentsAreSetAsideWithoutHangingOrRecursing) {
    struct Case {
        std::string text;  ///< the document, unless `make` makes something else
        std::function<void(const std::string& path)> make = nullptr;
        const char* aside = ".corrupt-";
    };
    const Case cases[] = {
        {"{\"audioInput\": \"Stu"},
        {"[\"OnTop\"]"},
        {""},
        {"{\"timecodeRunning\": " + nested(100000) + "}"},
        {"{\"x\": " + nested(64) + "}"},  // 65 deep, in a key nobody knows
        {"{\"x\": \"" + std::string(PreferencesFile::kLargestDocument, 'a') + "\"}"},
        // Cannot be read, even by root.
        {"a directory", [](auto p) { fs::create_directory(p); }, ".unreadable-"},
        {"a link to /dev/zero", [](auto p) { fs::create_symlink("/dev/zero", p); }, ".unreadable-"},
        {"a FIFO", [](auto p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, ".unreadable-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        TempFolder temp;
        const std::string path = temp / "preferences.json";
        c.make ? c.make(path) : void(std::ofstream(path) << c.text);
        LogCapture log;
        PreferencesFile file(path);
        auto loading = std::async(std::launch::async, [&] { return file.load(); });
        if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "load() does not return";
            // A writer that comes and goes lets a reader blocked on the FIFO go.
            close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_EQ(loading.get(), json::object());
        EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
        const fs::path aside = fs::directory_iterator(temp.path())->path();
        EXPECT_EQ(aside.string().rfind(path + c.aside, 0), 0u) << aside;
        if (!c.make) {  // compared, not printed: one is a megabyte
            std::ifstream kept(aside);
            EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(kept), {}) == c.text);
        }
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find(aside.string()), std::string::npos) << log.lines()[0];

        ASSERT_TRUE(file.save({{"audioInput", "Caf\xe9 In"}}));
        EXPECT_EQ(PreferencesFile(path).load(), json({{"audioInput", "Caf\xef\xbf\xbd In"}}));
    }
}

TEST(PreferencesFile, ALinkedDocumentIsReadAndSavedThroughItsLink) {
    TempFolder temp;
    fs::create_directory(temp / "dotfiles");
    // Just inside the depth limit, too, it is a document like any other.
    const json document = {{"OnTop", "1"}, {"x", json::parse(nested(63))}};
    std::ofstream(temp / "dotfiles/mirel.json") << document;
    const std::string path = temp / "preferences.json";
    fs::create_symlink("dotfiles/mirel.json", path);
    PreferencesFile file(path);
    EXPECT_EQ(file.load(), document);
    ASSERT_TRUE(file.save({{"OnTop", "0"}}));
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(documentAt(temp / "dotfiles/mirel.json"), json({{"OnTop", "0"}}));
    // Nothing is left beside the target but the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp / "dotfiles"), {}), 1);
}

// The other run, under $XDG_CONFIG_HOME. "write" stores kWritten, one value from another thread,
// and exits without flushing; "hammer" counts "counter" up, saving each step, until killed.
int runAsChild(const std::string& mode) {
    UserDefaultsController& store = UserDefaultsController::shared();
    store.loadFile(PreferencesFile::standardPath());
    store.registerDefaults({{"counter", 0}});
    if (mode == "write") {
        const json written = json::parse(kWritten);
        for (const auto& [key, value] : written.items())
            if (key != "OnTop") store.setObjectForKey(value, key);
        std::thread([&] { store.setValueForKeyPath("1", "values.OnTop"); }).join();
        return 0;
    }
    // A bulky neighbour makes each save long enough to be caught half-way.
    json bulk = json::array();
    for (int i = 0; i < 2000; ++i) bulk.push_back("input " + std::to_string(i));
    store.setObjectForKey(bulk, "audioInputList");
    for (int64_t counter = store.valueForKeyPath("values.counter").get<int64_t>();;) {
        store.setObjectForKey(++counter, "counter");
        store.flush();
    }
}

// This executable as another run in `mode`, with its settings under `config`.
GPid startChild(const std::string& config, std::string mode) {
    std::string self = fs::read_symlink("/proc/self/exe"), flag = "--child";
    char* argv[] = {self.data(), flag.data(), mode.data(), nullptr};
    char** env = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", config.c_str(), TRUE);
    GPid pid = 0;
    g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr);
    g_strfreev(env);
    return pid;
}

TEST(SettingsProcesses, ASecondRunReadsWhatTheFirstWroteAndAKilledWriterLeavesAWholeDocument) {
    TempFolder config;
    int status = -1;
    waitpid(startChild(config.path(), "write"), &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string path = config / "mirel/preferences.json";
    const json written = json::parse(kWritten);
    EXPECT_EQ(documentAt(path), written);

    UserDefaultsController second;
    second.loadFile(path);
    second.registerDefaults(SettingsDefaults::registered());
    json expected = written, read;
    expected.update(json{{"HotKeyAlt", false}, {"TypedFormat", "%N%H:%M:%S.%F%T"}});
    for (const auto& [key, value] : expected.items()) read[key] = second.objectForKey(key);
    // Dumped text compares types too: 7 is not 7.0, "1" is not 1, true is not 1.
    EXPECT_EQ(read.dump(), expected.dump());

    // A writer killed at any moment leaves a whole, recent document.
    std::mt19937 random(20240601);
    int64_t seen = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const GPid child = startChild(config.path(), "hammer");
        ASSERT_GT(child, 0);
        // Wait until this run has saved past what the last one left.
        int64_t latest = seen, partial = 0;
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
        seen = left.value("counter", int64_t(0));
        EXPECT_GE(seen, latest);
        EXPECT_EQ(left["audioInputList"].size(), 2000u);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && argv[1] == std::string("--child")) return runAsChild(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
