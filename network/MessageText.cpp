#include "network/MessageText.h"

#include <glib.h>

#include <algorithm>

std::optional<std::string_view> messageText(std::span<const char> datagram) {
    const auto zero = std::find(datagram.begin(), datagram.end(), '\0');
    const std::string_view text(datagram.data(), static_cast<std::size_t>(zero - datagram.begin()));
    // The text holds no zero byte, so GLib checks exactly these bytes.
    if (!g_utf8_validate_len(text.data(), text.size(), nullptr)) return std::nullopt;
    return text;
}

std::optional<std::vector<std::string_view>> messageLines(std::string_view text,
                                                          std::size_t pieces) {
    // Count first: a datagram full of line feeds should not cost a long vector.
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1 != pieces) {
        return std::nullopt;
    }
    std::vector<std::string_view> lines;
    lines.reserve(pieces);
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    lines.push_back(text);
    return lines;
}
