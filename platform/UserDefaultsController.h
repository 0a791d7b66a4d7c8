#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PreferencesFile.h"
#include "platform/SettingsObserver.h"

// The user's settings: stored values over registered defaults, readable and
// observable under the key paths "values.KEY", writable by bare key or by key
// path. A value is any JSON value; the settings use text, integers, booleans,
// arrays of text and null. Writing null stores null, which reads as null even
// where a default exists; removeObjectForKey() brings the default back.
//
// Observers of a key path are called after every write of that key, however
// it was written, synchronously on the writer's thread, in the order they were
// added, with no lock held: an observer may read and write settings, and the
// writes it makes reach their own observers before the next observer of the
// first write is called.
//
// With a file attached (loadFile), a change reaches the disk about half a
// second later through the main loop, or at flush(); the shared store also
// flushes at a normal exit. Registered defaults are never written.
//
// Thread contract: reads, writes and flush() from any thread. Add and remove
// observers on the main thread, and remove one only once no other thread can
// be writing the keys it follows. Destroy on the main thread.
class UserDefaultsController {
public:
    static constexpr std::string_view kKeyPathPrefix = "values.";
    static constexpr unsigned kSaveDelayMs = 500;

    /// The process's store: in memory until loadFile(); flushed at a normal exit.
    static UserDefaultsController& shared();

    UserDefaultsController();
    ~UserDefaultsController();  ///< flushes

    UserDefaultsController(const UserDefaultsController&) = delete;
    UserDefaultsController& operator=(const UserDefaultsController&) = delete;

    /// Start-up, main thread, before anything is written: takes the stored
    /// values from the document at `path` and saves every later change there.
    void loadFile(const std::string& path);

    /// Merges `defaults` (an object of key to value) into the registered defaults.
    void registerDefaults(const nlohmann::json& defaults);

    /// The value at "values.KEY": stored, else registered default, else null.
    /// Any other key path reads as null.
    nlohmann::json valueForKeyPath(std::string_view keyPath) const;
    nlohmann::json objectForKey(std::string_view key) const;
    /// The value of `key` as a page shows it: a text as it is, a number or a
    /// boolean written out, anything else (null, a structure) empty.
    std::string textForKey(std::string_view key) const;

    /// False, storing nothing, for a key path that is not "values." and a key,
    /// or a value nested deeper than the settings document may be.
    bool setValueForKeyPath(const nlohmann::json& value, std::string_view keyPath);
    void setObjectForKey(const nlohmann::json& value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    /// Observes a key path such as "values.OnTop". Adding twice means two calls per change.
    void addObserver(SettingsObserver& observer, std::string_view keyPath);
    /// Removes one registration of `observer` for `keyPath`.
    void removeObserver(SettingsObserver& observer, std::string_view keyPath);

    /// Writes any unsaved change now. False when the file could not be written.
    bool flush();

private:
    using Observers = std::vector<SettingsObserver*>;

    void flushQuietly() noexcept;
    /// Stores `value`, or removes the key for null. False, changing nothing,
    /// for a value nested too deep to be saved.
    bool change(std::string_view key, const nlohmann::json* value);
    void scheduleSave();
    void startSaveTimer();
    static int saveTimerTrampoline(void* handle);

    mutable std::mutex mutex_;  ///< guards the four members below
    nlohmann::json defaults_ = nlohmann::json::object();
    nlohmann::json values_ = nlohmann::json::object();
    std::map<std::string, Observers, std::less<>> observers_;
    uint64_t generation_ = 0;  ///< counts changes to values_

    std::mutex saveMutex_;  ///< serialises saves; taken before mutex_, never after
    std::unique_ptr<PreferencesFile> file_;
    uint64_t savedGeneration_ = 0;
    std::atomic<bool> hasFile_{false};
    std::atomic<bool> savePending_{false};  ///< a save is on its way through the main loop
    // Main-loop callbacks hold weak handles to this, so a late one finds it gone.
    std::shared_ptr<UserDefaultsController*> self_;
};
