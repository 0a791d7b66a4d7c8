#pragma once

#include <nlohmann/json.hpp>
#include <string>

// The settings document on disk: one JSON object whose members are the
// settings by their bare keys, so that an administrator can pre-seed it.
//
// A save never leaves a half-written document: it writes a temporary file
// beside it, flushes it to the disk and renames it over the old one. Where the
// document is a symbolic link, the save goes to the file it points to, and the
// link stays. A document that cannot be used is moved aside under a dated name
// with one log line, so the user's settings are never silently overwritten; if
// it cannot be moved, nothing is saved over it this run. Unusable means:
// unreadable, not a plain file (a FIFO would hang the start, a device never
// end), larger than kLargestDocument, nested deeper than kDeepestNesting (the
// writer recurses once per level), not JSON, or not a JSON object.
//
// Thread contract: one thread at a time (the owner serialises saves).
class PreferencesFile {
public:
    static constexpr size_t kLargestDocument = 1 << 20;
    static constexpr size_t kDeepestNesting = 64;

    explicit PreferencesFile(std::string path);

    /// Whether arrays and objects in `value` nest deeper than kDeepestNesting.
    /// Never recurses, however deep the value.
    static bool nestsTooDeep(const nlohmann::json& value);

    /// $XDG_CONFIG_HOME/mirel/preferences.json (by default under ~/.config).
    static std::string standardPath();

    /// The stored settings; an empty object when the file is missing or was set aside.
    nlohmann::json load();

    /// Writes `values` (an object) in place of the document. False, with a log
    /// line on the first of a run of failures, when it could not.
    bool save(const nlohmann::json& values);

    const std::string& path() const { return path_; }

private:
    enum class Read { kRead, kMissing, kUnusable };
    /// The document's bytes into `text`; kUnusable after it was set aside.
    Read readDocument(std::string& text);
    void setAside(const char* what, const std::string& reason);

    std::string path_;
    bool writable_ = true;  ///< false after a bad document could not be moved aside
    bool lastSaveFailed_ = false;
};
