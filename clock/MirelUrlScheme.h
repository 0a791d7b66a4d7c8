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
// Thread contract: main thread; WebKit calls the handler there too.
class MirelUrlScheme {
public:
    static constexpr const char* kScheme = "mirel";

    /// Serves the scheme in `context` from now on. WebKit has no way to take a
    /// scheme back, so the context keeps `protocol` for as long as it lives.
    static void registerWith(WebKitWebContext* context,
                             std::shared_ptr<const MirelUrlProtocol> protocol);

    /// Opens `address` in the user's default browser; logs when it cannot.
    static void openInBrowser(const std::string& address);

private:
    static void serve(WebKitURISchemeRequest* request, const MirelUrlProtocol& protocol);
};
