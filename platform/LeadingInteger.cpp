#include "platform/LeadingInteger.h"

#include <charconv>
#include <climits>

namespace {

// The C library's white space.
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int leadingInteger(std::string_view text) {
    const std::size_t start = text.find_first_not_of(kWhiteSpace);
    if (start == std::string_view::npos) return 0;
    text.remove_prefix(start);
    const bool negative = text.front() == '-';
    // from_chars takes the minus sign itself; the plus sign it does not know.
    const std::size_t sign = (negative || text.front() == '+') ? 1 : 0;
    if (text.size() <= sign || !isDigit(text[sign])) return 0;

    const char* first = text.data() + (text.front() == '+' ? 1 : 0);
    int value = 0;
    const auto parsed = std::from_chars(first, text.data() + text.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) return negative ? INT_MIN : INT_MAX;
    return value;
}
