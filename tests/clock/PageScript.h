#pragma once

#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/platform/MainLoop.h"

// Script that records what the clock window pushes into a page, in place of
// the page's own receiveTimecode; inject it at document start.
constexpr const char* kReceiveTimecodeRecorder = R"(
window.received = [];
window.receiveTimecode = function (object) { window.received.push(object); };
)";

inline void injectAtDocumentStart(WebKitWebView* view, const char* source) {
    WebKitUserScript* script =
        webkit_user_script_new(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(webkit_web_view_get_user_content_manager(view), script);
    webkit_user_script_unref(script);
}

/// The value of `expression` in the page `view` shows, as JSON; null when it
/// throws or gives undefined.
inline nlohmann::json evaluateInPage(WebKitWebView* view, const std::string& expression) {
    struct Call {
        bool done = false;
        std::string result = "null";
    } call;
    webkit_web_view_evaluate_javascript(
        view, expression.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            auto* call = static_cast<Call*>(data);
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), async, nullptr);
            if (value != nullptr && !jsc_value_is_undefined(value)) {
                gchar* text = jsc_value_to_json(value, 0);
                if (text != nullptr) call->result = text;
                g_free(text);
            }
            if (value != nullptr) g_object_unref(value);
            call->done = true;
        },
        &call);
    EXPECT_TRUE(runMainLoopUntil([&] { return call.done; })) << expression;
    return nlohmann::json::parse(call.result);
}
