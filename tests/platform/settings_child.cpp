// A second Mirel-like process for the settings tests. It opens the standard
// settings document under $XDG_CONFIG_HOME, registers the defaults, and then
//   write   stores values of every kind, one from another thread, and exits
//           normally without flushing: the exit path must save them;
//   read    prints the settings the tests look at as one JSON object;
//   hammer  counts "counter" up, saving after every step, until it is killed.

#include <cstdio>
#include <string>
#include <thread>

#include "platform/PreferencesFile.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"

namespace {

const char* const kReadKeys[] = {"audioInput", "HotKeyCode",     "HotKeyCommand",
                                 "HotKeyAlt",  "audioInputList", "OnTop",
                                 "offset",     "fpsString",      "TypedFormat"};

int writeSettings(UserDefaultsController& store) {
    store.setObjectForKey("Studio \"A\" \xc3\xa9t\xc3\xa9", "audioInput");
    store.setObjectForKey(7, "HotKeyCode");
    store.setObjectForKey(true, "HotKeyCommand");
    store.setObjectForKey(nlohmann::json{"Built-in Input", "Studio A"}, "audioInputList");
    store.setObjectForKey(-200, "offset");
    store.setObjectForKey(nullptr, "fpsString");
    std::thread([&] { store.setValueForKeyPath("1", "values.OnTop"); }).join();
    return 0;
}

int readSettings(UserDefaultsController& store) {
    nlohmann::json read;
    for (const char* key : kReadKeys)
        read[key] = store.valueForKeyPath(std::string("values.") + key);
    std::puts(read.dump().c_str());
    return 0;
}

[[noreturn]] void hammerCounter(UserDefaultsController& store) {
    // A bulky neighbour makes each save long enough to be caught half-way.
    nlohmann::json bulk = nlohmann::json::array();
    for (int i = 0; i < 2000; ++i) bulk.push_back("input " + std::to_string(i));
    store.setObjectForKey(bulk, "audioInputList");
    int64_t counter = store.valueForKeyPath("values.counter").get<int64_t>();
    for (;;) {
        store.setObjectForKey(++counter, "counter");
        store.flush();
    }
}

}  // namespace

int main(int argc, char** argv) try {
    UserDefaultsController& store = UserDefaultsController::shared();
    store.loadFile(PreferencesFile::standardPath());
    store.registerDefaults(SettingsDefaults::registered());
    store.registerDefaults({{"counter", 0}});
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "write") return writeSettings(store);
    if (mode == "read") return readSettings(store);
    if (mode == "hammer") hammerCounter(store);
    return 2;
} catch (...) {
    return 3;
}
