#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "clock/TimecodeSources.h"

class UserDefaultsController;

// The pages' server: answers every address of the private "mirel:" scheme
// with one whole body, read from the resource folder's html/ or generated
// here, or with nothing when the load must fail (kResourceUnavailable). A
// timecode source address also stores the source in "audioInput", which the
// timecode controller follows, and "mirel:///visitOnlineHelp" opens the online
// help in the user's browser.
//
// The routes are prefix tests in a fixed order, so anything may follow a
// prefix: "mirel:///homepage" is the home page.
//
// The addresses that change state (a source switch, the online help) act only
// for a navigation that the clock window let through; any other request for
// them (an image, a script's fetch, a frame no policy approved) fails with a
// log line, so that nothing a page embeds can choose what Mirel reads or open
// browsers.
//
// Thread contract: the thread that serves the scheme, which is the main thread
// (WebKit calls its scheme handlers there); so the "audioInput" write and its
// observers run where the controller expects them. The help is opened from the
// main loop afterwards, never while a request is being served.
class MirelUrlProtocol {
public:
    /// The error code of a failed load: the resource is unavailable.
    static constexpr int kResourceUnavailable = -1008;
    static constexpr std::string_view kOnlineHelpAddress = "https://mirel.example.org/help/";

    /// Opens a web address in the user's browser.
    using OpenAddress = std::function<void(const std::string& address)>;

    /// `sources` and `settings` must outlive this.
    MirelUrlProtocol(const TimecodeSources& sources, UserDefaultsController& settings,
                     OpenAddress openAddress);

    /// What a request may do beyond answering.
    enum class Loading {
        kReadOnly,    ///< anything a page asks for
        kNavigation,  ///< a navigation of the clock window that its policy let through
    };

    /// The whole body for `url`; none when the load fails, after the log line
    /// "Could not locate '<url>'" unless `url` is one of the images, or after
    /// one saying so when a read-only request asks for an address that acts.
    std::optional<std::string> startLoading(std::string_view url, Loading loading) const;

    /// Whether loading `url` switches the source or opens the online help.
    static bool changesState(std::string_view url);

    /// The pages, style sheets, script, generated pages and the input list.
    std::optional<std::string> processUrlRequest(std::string_view url) const;
    /// The images; logs when no image route matches.
    std::optional<std::string> processBinaryUrlRequest(std::string_view url) const;

    /// A file of html/ by base name; none when it is missing or unreadable.
    static std::optional<std::string> getHtml(std::string_view page);
    static std::optional<std::string> getCss(std::string_view page);
    static std::optional<std::string> getJs(std::string_view page);
    static std::optional<std::string> getPng(std::string_view page);

    /// The clock itself, html/timecode.html: the one page every timecode
    /// source address answers.
    static std::optional<std::string> getTimecodePage();
    /// The not-found page (html/notfound.html) naming what follows
    /// "mirel://404/", as text; none when the page cannot be read.
    static std::optional<std::string> get404(std::string_view url);
    /// "[" + the input list's entries joined by "," + "]".
    std::string inputListDocument() const;

    /// Stores the source a timecode source address names as "audioInput"; an
    /// audio index with no device stores null. False, storing nothing, when
    /// the address is none of the three forms or its escapes do not decode.
    bool switchTimecodeSource(std::string_view url) const;
    /// Opens kOnlineHelpAddress from the main loop, after the current work there.
    void openOnlineHelp() const;

    /// `text` with its percent escapes replaced, read as UTF-8; none when an
    /// escape is malformed, stands for a NUL byte or the result is not UTF-8.
    static std::optional<std::string> replacePercentEscapes(std::string_view text);

private:
    std::optional<std::string> networkSourcePage(std::string_view url) const;

    const TimecodeSources& sources_;
    UserDefaultsController& settings_;
    OpenAddress openAddress_;
};
