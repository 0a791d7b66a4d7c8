#pragma once

#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/platform/MainLoop.h"

/// `expression` run in `view`'s page as its own script; JSON, null when it throws or is undefined.
inline nlohmann::json evaluateInPage(WebKitWebView* view, const std::string& expression) {
    g_autoptr(GAsyncResult) result = nullptr;
    webkit_web_view_evaluate_javascript(
        view, expression.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject*, GAsyncResult* done, gpointer to) {
            *static_cast<GAsyncResult**>(to) = G_ASYNC_RESULT(g_object_ref(done));
        },
        &result);
    if (!runMainLoopUntil([&] { return result != nullptr; })) return "no answer to " + expression;
    g_autoptr(JSCValue) value = webkit_web_view_evaluate_javascript_finish(view, result, nullptr);
    g_autofree gchar* text =
        value && !jsc_value_is_undefined(value) ? jsc_value_to_json(value, 0) : nullptr;
    return nlohmann::json::parse(text != nullptr ? text : "null");
}

inline bool waitInPageFor(WebKitWebView* view, const std::string& condition) {
    return runMainLoopUntil([&] { return evaluateInPage(view, "!!(" + condition + ")") == true; });
}
