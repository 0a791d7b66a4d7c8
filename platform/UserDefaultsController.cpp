#include "platform/UserDefaultsController.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/Log.h"
#include "platform/MainThread.h"

namespace {

using Handle = std::weak_ptr<UserDefaultsController*>;

// The key of a "values.KEY" path; empty for any other path.
std::string_view keyOf(std::string_view keyPath) {
    const std::string_view prefix = UserDefaultsController::kKeyPathPrefix;
    if (keyPath.substr(0, prefix.size()) != prefix) return {};
    return keyPath.substr(prefix.size());
}

}  // namespace

UserDefaultsController& UserDefaultsController::shared() {
    // Never destroyed: other threads may use it while the process exits.
    static UserDefaultsController* instance = [] {
        auto* store = new UserDefaultsController;
        std::atexit([] { UserDefaultsController::shared().flushQuietly(); });
        return store;
    }();
    return *instance;
}

UserDefaultsController::UserDefaultsController()
    : self_(std::make_shared<UserDefaultsController*>(this)) {}

UserDefaultsController::~UserDefaultsController() {
    flushQuietly();
}

// For the destructor and the exit path, where nothing may throw. Only memory
// can run out here, and a failed save has already been logged by the file.
void UserDefaultsController::flushQuietly() noexcept {
    try {
        flush();
    } catch (...) {
    }
}

void UserDefaultsController::loadFile(const std::string& path) {
    auto file = std::make_unique<PreferencesFile>(path);
    nlohmann::json loaded = file->load();
    std::lock_guard saveLock(saveMutex_);
    file_ = std::move(file);
    std::lock_guard lock(mutex_);
    values_ = std::move(loaded);
    savedGeneration_ = generation_;
    hasFile_ = true;
}

void UserDefaultsController::registerDefaults(const nlohmann::json& defaults) {
    if (!defaults.is_object()) return;
    std::lock_guard lock(mutex_);
    defaults_.update(defaults);
}

std::string UserDefaultsController::textForKey(std::string_view key) const {
    const nlohmann::json value = objectForKey(key);
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number() || value.is_boolean()) return value.dump();
    return "";
}

nlohmann::json UserDefaultsController::valueForKeyPath(std::string_view keyPath) const {
    const std::string_view key = keyOf(keyPath);
    return key.empty() ? nlohmann::json() : objectForKey(key);
}

nlohmann::json UserDefaultsController::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return *it;
    if (auto it = defaults_.find(key); it != defaults_.end()) return *it;
    return nullptr;
}

bool UserDefaultsController::setValueForKeyPath(const nlohmann::json& value,
                                                std::string_view keyPath) {
    const std::string_view key = keyOf(keyPath);
    return !key.empty() && change(key, &value);
}

void UserDefaultsController::setObjectForKey(const nlohmann::json& value, std::string_view key) {
    if (!key.empty()) change(key, &value);
}

void UserDefaultsController::removeObjectForKey(std::string_view key) {
    if (!key.empty()) change(key, nullptr);
}

void UserDefaultsController::addObserver(SettingsObserver& observer, std::string_view keyPath) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(keyPath);
    if (it == observers_.end()) it = observers_.emplace(std::string(keyPath), Observers()).first;
    it->second.push_back(&observer);
}

void UserDefaultsController::removeObserver(SettingsObserver& observer, std::string_view keyPath) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(keyPath);
    if (it == observers_.end()) return;
    Observers& list = it->second;
    auto last = std::find(list.rbegin(), list.rend(), &observer);
    if (last != list.rend()) list.erase(std::next(last).base());
}

// By pointer, not by a copy: copying a value recurses as deep as it nests,
// and it must be measured first.
bool UserDefaultsController::change(std::string_view key, const nlohmann::json* value) {
    // Such a value could never be saved: the writer recurses once per level.
    if (value != nullptr && PreferencesFile::nestsTooDeep(*value)) {
        Log::line("Setting \"%.*s\" not changed: its value nests deeper than %zu levels",
                  static_cast<int>(key.size()), key.data(), PreferencesFile::kDeepestNesting);
        return false;
    }
    const std::optional<std::string> keyPath(std::string(kKeyPathPrefix) + std::string(key));
    Observers toCall;
    {
        std::lock_guard lock(mutex_);
        if (value) {
            values_[std::string(key)] = *value;
        } else if (auto it = values_.find(key); it != values_.end()) {
            values_.erase(it);
        }
        ++generation_;
        if (auto it = observers_.find(*keyPath); it != observers_.end()) toCall = it->second;
    }
    scheduleSave();
    for (SettingsObserver* observer : toCall) observer->observeValueForKeyPath(keyPath);
    return true;
}

bool UserDefaultsController::flush() {
    std::lock_guard saveLock(saveMutex_);
    if (!file_) return true;
    nlohmann::json snapshot;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (generation_ == savedGeneration_) return true;
        snapshot = values_;
        generation = generation_;
    }
    if (!file_->save(snapshot)) return false;
    savedGeneration_ = generation;
    return true;
}

// Any thread. The one-shot timer is made on the main thread so that writers on
// other threads never touch GLib sources; posting does not wait for the main
// thread, and one pending save covers every change until it runs.
void UserDefaultsController::scheduleSave() {
    if (!hasFile_ || savePending_.exchange(true)) return;
    MainThread::post([handle = Handle(self_)] {
        if (auto self = handle.lock()) (*self)->startSaveTimer();
    });
}

void UserDefaultsController::startSaveTimer() {
    g_timeout_add_full(G_PRIORITY_DEFAULT, kSaveDelayMs,
                       &UserDefaultsController::saveTimerTrampoline, new Handle(self_),
                       [](void* handle) { delete static_cast<Handle*>(handle); });
}

int UserDefaultsController::saveTimerTrampoline(void* handle) {
    if (auto self = static_cast<Handle*>(handle)->lock()) {
        UserDefaultsController& store = **self;
        // Cleared first: a change made during the save schedules another one.
        store.savePending_ = false;
        store.flush();
    }
    return G_SOURCE_REMOVE;
}
