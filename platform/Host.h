#pragma once

#include <string>

// The machine Mirel runs on.
//
// Thread contract: any thread.
class Host {
public:
    /// The host's name as the system reports it, e.g. "studio-1"; never empty.
    static std::string currentName();
};
