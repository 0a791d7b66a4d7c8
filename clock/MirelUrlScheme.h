#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "clock/MirelUrlProtocol.h"

// The "mirel:" scheme in WebKit: every request of the context's web views is
// answered by a MirelUrlProtocol. A body goes out as one response of type
// "text/html" in "utf-8" that no cache may keep, whatever the body holds
// (WebKit reads style sheets, scripts and images served so); no body fails the
// load with MirelUrlProtocol::kResourceUnavailable in WEBKIT_NETWORK_ERROR.
//
// A request may do what its address does (switch the source, open the help)
// only when it loads the main frame of a view whose navigation policy let
// that navigation through and said it may act: WebKit tells the scheme
// handler neither which frame a request is for nor whether it is a
// navigation, so the policy reports each navigation it uses, and the main
// frame's start of a load tells which of them the main frame's is. Images,
// scripts' requests and frames only read.
//
// Thread contract: main thread; WebKit calls the handler there too.
class MirelUrlScheme {
public:
    static constexpr const char* kScheme = "mirel";

    /// Serves the scheme in `context` from now on. WebKit has no way to take a
    /// scheme back, so the context keeps `protocol` for as long as it lives.
    static void registerWith(WebKitWebContext* context,
                             std::shared_ptr<const MirelUrlProtocol> protocol);

    /// `view`'s policy uses a navigation to `address`; `mayAct` when it comes
    /// from one of the application's pages or from Mirel itself.
    static void navigationDecided(WebKitWebView* view, const std::string& address, bool mayAct);
    /// `view`'s main frame starts a load: the navigation decided last.
    static void mainFrameLoadStarted(WebKitWebView* view);

    /// Opens `address` in the user's default browser; logs when it cannot.
    static void openInBrowser(const std::string& address);

private:
    static void serve(WebKitURISchemeRequest* request, const MirelUrlProtocol& protocol);
    /// Whether the request for `address` in `view` loads a main frame that may
    /// act; each such load answers one request.
    static bool takePermission(WebKitWebView* view, const std::string& address);
};
