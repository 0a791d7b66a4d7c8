#include "platform/Resources.h"

#include <glib.h>

#include <filesystem>
#include <mutex>
#include <utility>

namespace {

std::mutex gMutex;
std::string gFolder;  ///< the folder in use; empty until found or set

std::string executablePath() {
    g_autofree gchar* target = g_file_read_link("/proc/self/exe", nullptr);
    return target != nullptr ? target : "";
}

}  // namespace

std::string Resources::findFolder(const std::string& executablePath) {
    namespace fs = std::filesystem;
    const fs::path bin = fs::path(executablePath).parent_path();
    fs::path up = bin;
    // Tests sit deeper in the build tree than the program; three levels cover both.
    for (int level = 0; level <= 3; ++level) {
        const fs::path candidate = up / "share" / "mirel";
        std::error_code error;
        if (fs::is_directory(candidate, error)) return candidate.lexically_normal().string();
        up = up / "..";
    }
    return (bin / ".." / "share" / "mirel").lexically_normal().string();
}

std::string Resources::folder() {
    std::lock_guard lock(gMutex);
    if (gFolder.empty()) gFolder = findFolder(executablePath());
    return gFolder;
}

std::string Resources::path(std::string_view relative) {
    return folder() + "/" + std::string(relative);
}

void Resources::setFolder(std::string folder) {
    std::lock_guard lock(gMutex);
    gFolder = std::move(folder);
}
