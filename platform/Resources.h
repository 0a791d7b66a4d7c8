#pragma once

#include <string>
#include <string_view>

// The folder of the application's resources: the interface files and html/
// with the pages, style sheets, script and images. It is looked for next to
// the executable: share/mirel beside or above its folder, which is the
// installed layout (bin/mirel, share/mirel) and the build tree's (the build
// links share/mirel to the sources' resources). Tests point it elsewhere.
//
// Thread contract: any thread.
class Resources {
public:
    /// The folder in use; when none is found, where the installed layout would
    /// have it, so that loads fail as for a missing file.
    static std::string folder();

    /// folder() + "/" + `relative`.
    static std::string path(std::string_view relative);

    /// Uses `folder` from now on; an empty text goes back to the search.
    static void setFolder(std::string folder);

    /// The search itself, for the executable at `executablePath`.
    static std::string findFolder(const std::string& executablePath);
};
