#include "network/MessageText.h"

#include <glib.h>

#include <algorithm>
#include <charconv>
#include <climits>

namespace {

// The C library's white space; a line feed cannot occur inside a line.
constexpr std::string_view kWhiteSpace = " \t\v\f\r";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

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

int messageInteger(std::string_view text) {
    const std::size_t start = text.find_first_not_of(kWhiteSpace);
    if (start == std::string_view::npos) return 0;
    text.remove_prefix(start);
    const bool negative = text.front() == '-';
    // from_chars takes the minus sign itself; the plus sign it does not know.
    const std::size_t digits = (negative || text.front() == '+') ? 1 : 0;
    if (text.size() <= digits || !isDigit(text[digits])) return 0;

    const char* first = text.data() + (text.front() == '+' ? 1 : 0);
    int value = 0;
    const auto parsed = std::from_chars(first, text.data() + text.size(), value);
    // Saturate as strtol does: wrapping around could turn a huge number into
    // a small one that belongs to a live subscription.
    if (parsed.ec == std::errc::result_out_of_range) return negative ? INT_MIN : INT_MAX;
    return value;
}
