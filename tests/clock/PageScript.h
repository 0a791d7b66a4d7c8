#pragma once

#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/platform/MainLoop.h"

// Script run in the page a web view shows, as the page's own script would run,
// and its answer: for tests that look at or act on a page from outside.

/// The value of `expression` in `view`'s page, as JSON; null when it throws or
/// is undefined.
inline nlohmann::json evaluateInPage(WebKitWebView* view, const std::string& expression) {
    GAsyncResult* result = nullptr;
    webkit_web_view_evaluate_javascript(
        view, expression.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject*, GAsyncResult* done, gpointer to) {
            *static_cast<GAsyncResult**>(to) = G_ASYNC_RESULT(g_object_ref(done));
        },
        &result);
    if (!runMainLoopUntil([&] { return result != nullptr; })) return "no answer to " + expression;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(view, result, nullptr);
    g_object_unref(result);
    gchar* text = value && !jsc_value_is_undefined(value) ? jsc_value_to_json(value, 0) : nullptr;
    const nlohmann::json parsed = nlohmann::json::parse(text != nullptr ? text : "null");
    g_free(text);
    if (value != nullptr) g_object_unref(value);
    return parsed;
}

/// Waits until `condition` holds in `view`'s page.
inline bool waitInPageFor(WebKitWebView* view, const std::string& condition) {
    return runMainLoopUntil([&] { return evaluateInPage(view, "!!(" + condition + ")") == true; });
}
