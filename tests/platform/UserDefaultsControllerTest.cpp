// The settings store: registered defaults, the two ways of writing, the order
// and nesting of observer calls, and writes from other threads.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "tests/platform/MainLoop.h"
#include "tests/platform/TempFolder.h"

namespace {

using nlohmann::json;
using Calls = std::vector<std::string>;

// Records "name keyPath = value read back" for every call, then does `alsoDo`.
class Recorder : public SettingsObserver {
public:
    Recorder(std::string name, Calls& calls, UserDefaultsController& store,
             std::function<void()> alsoDo = {})
        : name_(std::move(name)), calls_(calls), store_(store), alsoDo_(std::move(alsoDo)) {}

    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override {
        const std::string path = keyPath.value_or("(null)");
        calls_.push_back(name_ + " " + path + " = " + store_.valueForKeyPath(path).dump());
        if (alsoDo_) alsoDo_();
    }

private:
    std::string name_;
    Calls& calls_;
    UserDefaultsController& store_;
    std::function<void()> alsoDo_;
};

TEST(UserDefaultsController, ReadsStoredValueElseRegisteredDefaultElseNull) {
    UserDefaultsController store;
    store.registerDefaults(SettingsDefaults::registered());
    EXPECT_EQ(store.valueForKeyPath("values.TypedFormat"), "%N%H:%M:%S.%F%T");
    EXPECT_EQ(store.valueForKeyPath("values.sourceType"), "Audio Input");
    EXPECT_EQ(store.valueForKeyPath("values.audioInput"), "Built-in Input (2)");
    EXPECT_EQ(store.valueForKeyPath("values.HotKeyString"), "`");
    EXPECT_TRUE(store.valueForKeyPath("values.HotKeyCode").is_number_integer());
    EXPECT_EQ(store.valueForKeyPath("values.HotKeyCode"), 50);
    EXPECT_EQ(store.valueForKeyPath("values.HotKeyCommand"), false);
    EXPECT_EQ(store.valueForKeyPath("values.HotKeyAlt"), false);
    EXPECT_EQ(store.valueForKeyPath("values.timecodeRunning"), nullptr);
    EXPECT_EQ(store.valueForKeyPath("TypedFormat"), nullptr) << "a bare key is no key path";

    // A stored null hides the default; removing the value brings it back.
    store.setObjectForKey(nullptr, "audioInput");
    EXPECT_EQ(store.valueForKeyPath("values.audioInput"), nullptr);
    store.removeObjectForKey("audioInput");
    EXPECT_EQ(store.valueForKeyPath("values.audioInput"), "Built-in Input (2)");
}

TEST(UserDefaultsController, WritesByKeyAndByKeyPathReachTheKeyPathsObserversInOrder) {
    UserDefaultsController store;
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
    EXPECT_EQ(calls, (Calls{"first values.OnTop = \"1\"", "twice values.OnTop = \"1\"",
                            "twice values.OnTop = \"1\"", "first values.OnTop = \"0\"",
                            "twice values.OnTop = \"0\""}));

    // The null key path is the observers' own convention: the store never sends it.
    calls.clear();
    other.refreshAll();
    EXPECT_EQ(calls, (Calls{"other (null) = null"}));
}

TEST(UserDefaultsController, AWriteInsideAnObserverIsHeardBeforeTheNextObserverOfTheFirst) {
    UserDefaultsController store;
    Calls calls;
    Recorder writer("writer", calls, store,
                    [&] { store.setObjectForKey("Stopped", "timecodeRunning"); });
    Recorder status("status", calls, store), later("later", calls, store);
    store.addObserver(writer, "values.audioInput");
    store.addObserver(status, "values.timecodeRunning");
    store.addObserver(later, "values.audioInput");

    store.setValueForKeyPath("Studio A", "values.audioInput");
    EXPECT_EQ(calls, (Calls{"writer values.audioInput = \"Studio A\"",
                            "status values.timecodeRunning = \"Stopped\"",
                            "later values.audioInput = \"Studio A\""}));
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
    std::vector<std::thread> writers;
    writers.reserve(2);
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) store.setObjectForKey(i, "audioInput");
            store.setObjectForKey(true, "done" + std::to_string(t));
            --running;
        });
    }
    // The main thread reads meanwhile, then waits for the debounced save: nobody flushes.
    int torn = 0;
    auto saved = [&] {
        std::ifstream in(path);
        const json document = json::parse(in, nullptr, false);
        return document.is_object() && document.contains("done0") && document.contains("done1");
    };
    ASSERT_TRUE(runMainLoopUntil([&] {
        const json now = store.valueForKeyPath("values.audioInput");
        torn += !now.is_number_integer() && !now.is_null();
        return running == 0 && saved();
    }));
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(counter.calls, 2 * kWrites);
    EXPECT_EQ(torn, 0);
    std::ifstream in(path);
    EXPECT_EQ(json::parse(in)["audioInput"], kWrites - 1);
}

}  // namespace
