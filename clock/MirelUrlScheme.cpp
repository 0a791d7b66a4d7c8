#include "clock/MirelUrlScheme.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"

namespace {

using SharedProtocol = std::shared_ptr<const MirelUrlProtocol>;

// What a view's policy let through, kept on the view itself so that it goes
// with it.
struct Permissions {
    std::string decided;  ///< the navigation used last
    bool decidedMayAct = false;
    std::vector<std::string> started;  ///< main-frame loads that may act, not yet requested
};

constexpr const char* kPermissionsKey = "mirel-navigation-permissions";
constexpr size_t kStartedKept = 4;  // loads started faster than their requests come: a few

Permissions& permissionsOf(WebKitWebView* view) {
    auto* kept = static_cast<Permissions*>(g_object_get_data(G_OBJECT(view), kPermissionsKey));
    if (kept == nullptr) {
        kept = new Permissions;
        g_object_set_data_full(G_OBJECT(view), kPermissionsKey, kept,
                               [](gpointer p) { delete static_cast<Permissions*>(p); });
    }
    return *kept;
}

}  // namespace

void MirelUrlScheme::registerWith(WebKitWebContext* context, SharedProtocol protocol) {
    webkit_web_context_register_uri_scheme(
        context, kScheme,
        [](WebKitURISchemeRequest* request, gpointer data) {
            serve(request, **static_cast<SharedProtocol*>(data));
        },
        new SharedProtocol(std::move(protocol)),
        [](gpointer data) { delete static_cast<SharedProtocol*>(data); });
}

void MirelUrlScheme::navigationDecided(WebKitWebView* view, const std::string& address,
                                       bool mayAct) {
    Permissions& permissions = permissionsOf(view);
    permissions.decided = address;
    permissions.decidedMayAct = mayAct && MirelUrlProtocol::changesState(address);
}

void MirelUrlScheme::mainFrameLoadStarted(WebKitWebView* view) {
    Permissions& permissions = permissionsOf(view);
    if (!permissions.decidedMayAct) return;
    permissions.decidedMayAct = false;
    if (permissions.started.size() == kStartedKept)
        permissions.started.erase(permissions.started.begin());
    permissions.started.push_back(std::move(permissions.decided));
}

bool MirelUrlScheme::takePermission(WebKitWebView* view, const std::string& address) {
    if (view == nullptr) return false;
    std::vector<std::string>& started = permissionsOf(view).started;
    const auto found = std::find(started.begin(), started.end(), address);
    if (found == started.end()) return false;
    started.erase(found);
    return true;
}

void MirelUrlScheme::serve(WebKitURISchemeRequest* request, const MirelUrlProtocol& protocol) {
    const char* url = webkit_uri_scheme_request_get_uri(request);
    // A request that throws fails like a missing file.
    const std::optional<std::string> body =
        runGuarded("Serving a mirel: address", std::optional<std::string>(), [&] {
            const bool navigation =
                MirelUrlProtocol::changesState(url) &&
                takePermission(webkit_uri_scheme_request_get_web_view(request), url);
            return protocol.startLoading(url, navigation ? MirelUrlProtocol::Loading::kNavigation
                                                         : MirelUrlProtocol::Loading::kReadOnly);
        });
    if (!body) {
        GError* error = g_error_new_literal(
            WEBKIT_NETWORK_ERROR, MirelUrlProtocol::kResourceUnavailable, "Resource unavailable");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }

    const std::string& text = *body;
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, -1);
    // The charset rides on the content type: WebKit takes the encoding from it.
    webkit_uri_scheme_response_set_content_type(response, "text/html; charset=utf-8");
    // A timecode source address switches the source on every load, so nothing
    // may answer it from a cache. No Content-Type header goes with it: WebKit
    // checks a style sheet's type against that header, and none passes.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
    g_bytes_unref(bytes);
}

void MirelUrlScheme::openInBrowser(const std::string& address) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(address.c_str(), nullptr, &error)) {
        Log::line("Could not open %s: %s", address.c_str(), error->message);
        g_error_free(error);
    }
}
