#pragma once

#include <array>
#include <string_view>

// The application's own pages, by address prefix: the pages read from html/
// and the clock page that the source addresses answer. Only these documents
// get the "MirelClock" script object and may switch the source. The input
// list document and the not-found page carry text from outside (device and
// service names, failed addresses) and get neither, whatever a view makes of
// them.
inline constexpr std::array<std::string_view, 8> kApplicationPages = {
    "mirel:///home",    "mirel:///welcome",         "mirel:///preferences",
    "mirel:///help",    "mirel:///visitOnlineHelp", "mirel://audio/",
    "mirel://network/", "mirel://quicktime/",
};

inline bool isApplicationPage(std::string_view address) {
    for (const std::string_view page : kApplicationPages) {
        if (address.starts_with(page)) return true;
    }
    return false;
}
