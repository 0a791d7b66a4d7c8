#pragma once

#include <nlohmann/json.hpp>
#include <string>

// The settings document on disk: one JSON object whose members are the
// settings by their bare keys, so that an administrator can pre-seed it.
//
// A save never leaves a half-written document: it writes a temporary file
// beside it, flushes it to the disk and renames it over the old one. A
// document that cannot be read or is not a JSON object is moved aside under a
// dated name with one log line, so the user's settings are never silently
// overwritten; if it cannot be moved, nothing is saved over it this run.
//
// Thread contract: one thread at a time (the owner serialises saves).
class PreferencesFile {
public:
    explicit PreferencesFile(std::string path);

    /// $XDG_CONFIG_HOME/mirel/preferences.json (by default under ~/.config).
    static std::string standardPath();

    /// The stored settings; an empty object when the file is missing or was set aside.
    nlohmann::json load();

    /// Writes `values` (an object) in place of the document. False, with a log
    /// line on the first of a run of failures, when it could not.
    bool save(const nlohmann::json& values);

    const std::string& path() const { return path_; }

private:
    void setAside(const char* what, const std::string& reason);

    std::string path_;
    bool writable_ = true;  ///< false after a bad document could not be moved aside
    bool lastSaveFailed_ = false;
};
