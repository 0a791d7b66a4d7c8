// The settings: defaults under stored values, the order and nesting of observer
// calls, writes from other threads, a document on disk that cannot be used, and
// other processes: a second run reads what the first wrote with its types, and
// a run killed while saving leaves a whole, recent document. The other runs
// are this executable started with --child=MODE.

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Calls = std::vector<std::string>;

// Records "name keyPath = value read back" for every call, then does `alsoDo`.
struct Recorder : SettingsObserver {
    Recorder(std::string name, Calls& calls, UserDefaultsController& store,
             std::function<void()> alsoDo = {})
        : name(std::move(name)), calls(calls), store(store), alsoDo(std::move(alsoDo)) {}
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override {
        const std::string path = keyPath.value_or("(null)");
        calls.push_back(name + " " + path + " = " + store.valueForKeyPath(path).dump());
        if (alsoDo) alsoDo();
    }
    std::string name;
    Calls& calls;
    UserDefaultsController& store;
    std::function<void()> alsoDo;
};

TEST(UserDefaultsController, EveryWriteReachesTheKeyPathsObserversInOrderNestedWritesFirst) {
    UserDefaultsController store;
    store.registerDefaults({{"TransparentBgd", "1"}});
    Calls calls;
    Recorder first("first", calls, store), twice("twice", calls, store),
        other("other", calls, store);
    store.addObserver(first, "values.OnTop");
    store.addObserver(twice, "values.OnTop");
    store.addObserver(twice, "values.OnTop");
    store.addObserver(other, "values.TransparentBgd");

    EXPECT_TRUE(store.setValueForKeyPath("1", "values.OnTop"));
    store.removeObserver(twice, "values.OnTop");
    store.setObjectForKey("0", "OnTop");
    EXPECT_FALSE(store.setValueForKeyPath("1", "OnTop")) << "not a key path";
    EXPECT_EQ(store.valueForKeyPath("OnTop"), nullptr) << "not a key path";
    store.setObjectForKey(nullptr, "TransparentBgd");  // hides the default
    store.removeObjectForKey("TransparentBgd");        // brings it back
    EXPECT_EQ(calls, (Calls{"first values.OnTop = \"1\"", "twice values.OnTop = \"1\"",
                            "twice values.OnTop = \"1\"", "first values.OnTop = \"0\"",
                            "twice values.OnTop = \"0\"", "other values.TransparentBgd = null",
                            "other values.TransparentBgd = \"1\""}));

    // The null key path is the observers' own convention: the store never sends it.
    calls.clear();
    other.refreshAll();
    EXPECT_EQ(calls, (Calls{"other (null) = null"}));

    // A write made inside an observer is heard before the next observer of the first.
    calls.clear();
    Recorder writer("writer", calls, store, [&] { store.setObjectForKey("2", "OnTop"); });
    store.addObserver(writer, "values.audioInput");
    store.addObserver(other, "values.audioInput");
    store.setValueForKeyPath("Studio A", "values.audioInput");
    EXPECT_EQ(calls,
              (Calls{"writer values.audioInput = \"Studio A\"", "first values.OnTop = \"2\"",
                     "twice values.OnTop = \"2\"", "other values.audioInput = \"Studio A\""}));
}

// Values of every kind, as a first run writes them.
const char* const kWritten = R"({"audioInput": "Studio \"A\" été", "HotKeyCode": 7,
    "HotKeyCommand": true, "audioInputList": ["Built-in Input", "Studio A"], "offset": -200,
    "fpsString": null, "OnTop": "1"})";

// The document as it is now; discarded when missing or not whole.
json documentAt(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in, nullptr, false);
}

TEST(UserDefaultsController, WritesFromOtherThreadsReachObserversAndTheDiskThroughTheMainLoop) {
    constexpr int kWrites = 2000;
    TempFolder temp;
    const std::string path = temp / "preferences.json";
    UserDefaultsController store;
    store.loadFile(path);
    struct : SettingsObserver {
        void observeValueForKeyPath(const std::optional<std::string>&) override { ++calls; }
        std::atomic<int> calls{0};
    } counter;
    store.addObserver(counter, "values.audioInput");

    std::atomic<int> running{2};
    auto write = [&](int t) {
        for (int i = 0; i < kWrites; ++i) store.setObjectForKey(i, "audioInput");
        store.setObjectForKey(true, "done" + std::to_string(t));
        --running;
    };
    std::thread first(write, 0), second(write, 1);
    // The main thread reads meanwhile, then waits for the debounced save: nobody flushes.
    int torn = 0;
    ASSERT_TRUE(runMainLoopUntil([&] {
        const json now = store.valueForKeyPath("values.audioInput");
        torn += !now.is_number_integer() && !now.is_null();
        const json saved = running == 0 ? documentAt(path) : json();
        return saved.is_object() && saved.contains("done0") && saved.contains("done1");
    }));
    first.join();
    second.join();
    EXPECT_EQ(counter.calls, 2 * kWrites);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(documentAt(path)["audioInput"], kWrites - 1);
}

// A directory in the document's place cannot be read, even by root.
TEST(PreferencesFile, UnusableDocumentIsMovedAsideWordForWordWithOneLogLine) {
    for (const std::string bad : {"{\"audioInput\": \"Stu", "[\"OnTop\"]", "", "(directory)"}) {
        SCOPED_TRACE(bad);
        TempFolder temp;
        const std::string path = temp / "preferences.json";
        const bool unreadable = bad == "(directory)";
        if (unreadable)
            fs::create_directory(path);
        else
            std::ofstream(path) << bad;
        LogCapture log;
        PreferencesFile file(path);
        EXPECT_EQ(file.load(), json::object());

        const fs::path aside = fs::directory_iterator(temp.path())->path();
        EXPECT_FALSE(fs::exists(path));
        const std::string what = unreadable ? ".unreadable-" : ".corrupt-";
        EXPECT_EQ(aside.string().rfind(path + what, 0), 0u) << aside;
        std::ifstream kept(unreadable ? "" : aside.string());
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), unreadable ? "" : bad);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find(aside.string()), std::string::npos) << "where it went";

        // Saving goes on in its place, and text that is not UTF-8 does not stop it.
        ASSERT_TRUE(file.save({{"audioInput", "Caf\xe9 In"}}));
        EXPECT_EQ(PreferencesFile(path).load(), json({{"audioInput", "Caf\xef\xbf\xbd In"}}));
    }
}

// Text of `levels` nested arrays around a zero.
std::string nested(size_t levels) {
    return std::string(levels, '[') + "0" + std::string(levels, ']');
}

// Each hostile document is set aside with one line and the run starts from the
// defaults, quickly: a FIFO that nobody writes must not hold the start.
TEST(PreferencesFile, HostileDocumentsAreSetAsideWithoutHangingOrRecursing) {
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> make;
        const char* aside;
    };
    const Case cases[] = {
        {"nested 100000 deep in a known key",
         [](const std::string& path) {
             std::ofstream(path) << "{\"timecodeRunning\": " << nested(100000) << "}";
         },
         ".corrupt-"},
        {"nested 65 deep in an unknown key",
         [](const std::string& path) { std::ofstream(path) << "{\"x\": " << nested(64) << "}"; },
         ".corrupt-"},
        {"larger than 1 MB",
         [](const std::string& path) {
             std::ofstream(path) << "{\"x\": \""
                                 << std::string(PreferencesFile::kLargestDocument, 'a') << "\"}";
         },
         ".corrupt-"},
        {"a link to /dev/zero",
         [](const std::string& path) { fs::create_symlink("/dev/zero", path); }, ".unreadable-"},
        {"a FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
         ".unreadable-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder temp;
        const std::string path = temp / "preferences.json";
        c.make(path);
        LogCapture log;
        auto loading = std::async(std::launch::async, [&] { return PreferencesFile(path).load(); });
        if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "load() does not return";
            // A writer that comes and goes lets a reader blocked on the FIFO go.
            close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_EQ(loading.get(), json::object());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find(path + c.aside), std::string::npos) << log.lines()[0];
        EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    }
    // Just inside the limit is a document like any other.
    TempFolder temp;
    std::ofstream(temp / "preferences.json") << "{\"x\": " << nested(63) << "}";
    EXPECT_EQ(PreferencesFile(temp / "preferences.json").load(),
              json({{"x", json::parse(nested(63))}}));
}

TEST(PreferencesFile, ALinkedDocumentIsReadAndSavedThroughItsLink) {
    TempFolder temp;
    fs::create_directory(temp / "dotfiles");
    std::ofstream(temp / "dotfiles/mirel.json") << R"({"OnTop": "1"})";
    const std::string path = temp / "preferences.json";
    fs::create_symlink("dotfiles/mirel.json", path);
    PreferencesFile file(path);
    EXPECT_EQ(file.load(), json({{"OnTop", "1"}}));
    ASSERT_TRUE(file.save({{"OnTop", "0"}}));
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(documentAt(temp / "dotfiles/mirel.json"), json({{"OnTop", "0"}}));
    // Nothing is left beside the target but the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp / "dotfiles"), {}), 1);
}

TEST(UserDefaultsController, AValueNestedTooDeepToSaveIsRefusedAndObserversHearNothing) {
    UserDefaultsController store;
    Calls calls;
    Recorder recorder("recorder", calls, store);
    store.addObserver(recorder, "values.TextColor");
    const LogCapture log;
    EXPECT_FALSE(store.setValueForKeyPath(json::parse(nested(100000)), "values.TextColor"));
    store.setObjectForKey(json::parse(nested(65)), "TextColor");
    EXPECT_TRUE(store.setValueForKeyPath(json::parse(nested(63)), "values.TextColor"));
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               2,
                               "Setting \"TextColor\" not changed: its value nests deeper than "
                               "64 levels"));
}

// The other run, as far as its settings go, under $XDG_CONFIG_HOME:
//   write   stores kWritten, one value from another thread, and exits
//           normally without flushing: the exit path must save them;
//   hammer  counts "counter" up, saving after every step, until it is killed.
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
GPid startChild(const std::string& config, const std::string& mode) {
    std::string self = fs::read_symlink("/proc/self/exe"), flag = "--child=" + mode;
    char* argv[] = {self.data(), flag.data(), nullptr};
    char** env = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", config.c_str(), TRUE);
    GPid pid = 0;
    g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr);
    g_strfreev(env);
    return pid;
}

TEST(SettingsProcesses, ASecondRunReadsWhatTheFirstWroteWithItsTypesAndNoDefaults) {
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
    expected["HotKeyAlt"] = false;
    expected["TypedFormat"] = "%N%H:%M:%S.%F%T";
    for (const auto& [key, value] : expected.items()) read[key] = second.objectForKey(key);
    // Dumped text compares types too: 7 is not 7.0, "1" is not 1, true is not 1.
    EXPECT_EQ(read.dump(), expected.dump());
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

int main(int argc, char** argv) {
    const std::string child = "--child=";
    if (argc == 2 && std::string(argv[1]).starts_with(child))
        return runAsChild(argv[1] + child.size());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
