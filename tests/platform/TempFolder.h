#pragma once

#include <glib.h>

#include <filesystem>
#include <string>

// A fresh folder under the temporary directory, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        g_autofree gchar* made = g_dir_make_tmp("mirel-test-XXXXXX", nullptr);
        path_ = made != nullptr ? made : "";
    }
    ~TempFolder() { std::filesystem::remove_all(path_, ignored_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }

private:
    std::filesystem::path path_;
    std::error_code ignored_;
};
