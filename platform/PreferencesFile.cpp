#include "platform/PreferencesFile.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <utility>

#include "platform/Log.h"

namespace {

std::string dated(const std::string& path, const char* what) {
    GDateTime* now = g_date_time_new_now_local();
    gchar* stamp = g_date_time_format(now, "%Y%m%d-%H%M%S");
    g_date_time_unref(now);
    const std::string base = path + "." + what + "-" + stamp;
    g_free(stamp);
    std::string name = base;
    for (int n = 2; g_file_test(name.c_str(), G_FILE_TEST_EXISTS); ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

}  // namespace

PreferencesFile::PreferencesFile(std::string path) : path_(std::move(path)) {}

std::string PreferencesFile::standardPath() {
    gchar* path = g_build_filename(g_get_user_config_dir(), "mirel", "preferences.json", nullptr);
    std::string result(path);
    g_free(path);
    return result;
}

nlohmann::json PreferencesFile::load() {
    gchar* contents = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!g_file_get_contents(path_.c_str(), &contents, &length, &error)) {
        const bool missing = g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
        const std::string reason = error->message;
        g_error_free(error);
        if (!missing) setAside("unreadable", "could not be read (" + reason + ")");
        return nlohmann::json::object();
    }
    nlohmann::json parsed = nlohmann::json::parse(contents, contents + length, nullptr, false);
    g_free(contents);
    if (parsed.is_discarded()) {
        setAside("corrupt", "is not valid JSON");
    } else if (!parsed.is_object()) {
        setAside("corrupt", "does not hold a JSON object");
    } else {
        return parsed;
    }
    return nlohmann::json::object();
}

bool PreferencesFile::save(const nlohmann::json& values) {
    if (!writable_) return false;
    // Text that is not UTF-8 (a device name in a legacy encoding, say) cannot be
    // written as JSON; replacing the bad bytes beats losing every other setting.
    const std::string text =
        values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    gchar* folder = g_path_get_dirname(path_.c_str());
    g_mkdir_with_parents(folder, 0700);
    g_free(folder);

    GError* error = nullptr;
    const auto flags =
        GFileSetContentsFlags(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE);
    const bool saved = g_file_set_contents_full(path_.c_str(), text.data(), gssize(text.size()),
                                                flags, 0666, &error);
    if (!saved) {
        if (!lastSaveFailed_) {
            Log::line("Could not save the settings to %s: %s", path_.c_str(), error->message);
        }
        g_error_free(error);
    }
    lastSaveFailed_ = !saved;
    return saved;
}

void PreferencesFile::setAside(const char* what, const std::string& reason) {
    const std::string aside = dated(path_, what);
    if (g_rename(path_.c_str(), aside.c_str()) == 0) {
        Log::line("Settings file %s %s; moved it to %s and started from the defaults",
                  path_.c_str(), reason.c_str(), aside.c_str());
        return;
    }
    writable_ = false;
    Log::line(
        "Settings file %s %s and could not be moved aside (%s); started from the "
        "defaults and will not save over it",
        path_.c_str(), reason.c_str(), g_strerror(errno));
}
