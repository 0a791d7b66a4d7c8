#include "platform/PreferencesFile.h"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/Log.h"

namespace {

std::string dated(const std::string& path, const char* what) {
    GDateTime* now = g_date_time_new_now_local();
    g_autofree gchar* stamp = g_date_time_format(now, "%Y%m%d-%H%M%S");
    g_date_time_unref(now);
    const std::string base = path + "." + what + "-" + stamp;
    std::string name = base;
    for (int n = 2; g_file_test(name.c_str(), G_FILE_TEST_EXISTS); ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

// How deep arrays and objects nest in JSON text, brackets inside strings aside.
// Malformed text is the parser's to refuse; this only has to be bounded.
size_t textNesting(const std::string& text) {
    size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}

// The file a save must replace: where `path` leads through symbolic links, so
// that a link the user made keeps pointing at the settings.
std::string linkTarget(const std::string& path) {
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        g_autofree gchar* link = g_file_read_link(at.c_str(), nullptr);
        if (link == nullptr) return at;
        g_autofree gchar* folder = g_path_get_dirname(at.c_str());
        g_autofree gchar* next = g_canonicalize_filename(link, folder);
        at = next;
    }
    return at;  // a loop of links: the save fails on it and says so
}

}  // namespace

bool PreferencesFile::nestsTooDeep(const nlohmann::json& value) {
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&value, 0}};
    while (!pending.empty()) {
        const auto [at, depth] = pending.back();
        pending.pop_back();
        if (!at->is_structured()) continue;
        if (depth + 1 > kDeepestNesting) return true;
        for (const nlohmann::json& member : *at) pending.emplace_back(&member, depth + 1);
    }
    return false;
}

PreferencesFile::PreferencesFile(std::string path) : path_(std::move(path)) {}

std::string PreferencesFile::standardPath() {
    g_autofree gchar* path =
        g_build_filename(g_get_user_config_dir(), "mirel", "preferences.json", nullptr);
    return path;
}

nlohmann::json PreferencesFile::load() {
    std::string text;
    if (readDocument(text) != Read::kRead) return nlohmann::json::object();
    if (textNesting(text) > kDeepestNesting) {
        setAside("corrupt", "nests deeper than " + std::to_string(kDeepestNesting) + " levels");
        return nlohmann::json::object();
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        setAside("corrupt", "is not valid JSON");
    } else if (!parsed.is_object()) {
        setAside("corrupt", "does not hold a JSON object");
    } else {
        return parsed;
    }
    return nlohmann::json::object();
}

// Non-blocking, so that a FIFO in the document's place cannot hold the start;
// only a plain file is read, and never more than kLargestDocument of it.
PreferencesFile::Read PreferencesFile::readDocument(std::string& text) {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return Read::kMissing;
        setAside("unreadable", std::string("could not be read (") + g_strerror(errno) + ")");
        return Read::kUnusable;
    }
    struct stat info {};
    std::string problem;
    const char* what = "unreadable";
    if (fstat(fd, &info) != 0) {
        problem = std::string("could not be read (") + g_strerror(errno) + ")";
    } else if (!S_ISREG(info.st_mode)) {
        problem = std::string("is ") + fileKind(info.st_mode) + ", not a settings file";
    } else {
        text.resize(kLargestDocument + 1);
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) problem = std::string("could not be read (") + g_strerror(errno) + ")";
            if (n <= 0) break;
            got += size_t(n);
        }
        text.resize(got);
        if (problem.empty() && got > kLargestDocument) {
            what = "corrupt";
            problem = "is larger than " + std::to_string(kLargestDocument / 1024) + " KB";
        }
    }
    close(fd);
    if (problem.empty()) return Read::kRead;
    setAside(what, problem);
    return Read::kUnusable;
}

bool PreferencesFile::save(const nlohmann::json& values) {
    if (!writable_) return false;
    // Text that is not UTF-8 (a device name in a legacy encoding, say) cannot be
    // written as JSON; replacing the bad bytes beats losing every other setting.
    const std::string text =
        values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::string target = linkTarget(path_);
    g_autofree gchar* folder = g_path_get_dirname(target.c_str());
    g_mkdir_with_parents(folder, 0700);

    GError* error = nullptr;
    const auto flags =
        GFileSetContentsFlags(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE);
    const bool saved = g_file_set_contents_full(target.c_str(), text.data(), gssize(text.size()),
                                                flags, 0666, &error);
    if (!saved) {
        if (!lastSaveFailed_) {
            Log::line("Could not save the settings to %s: %s", target.c_str(), error->message);
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
