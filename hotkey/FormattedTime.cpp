#include "hotkey/FormattedTime.h"

#include <array>
#include <cstdio>

namespace {

struct TimeFields {
    int32_t hours, minutes, seconds, frames;
};

// "%02d" rather than the record's two digits: a units digit above 9 from a
// damaged frame still prints as the number the clock shows.
void appendTwoDigits(std::string& text, int32_t value) {
    std::array<char, 16> digits{};
    std::snprintf(digits.data(), digits.size(), "%02d", value);
    text += digits.data();
}

char lowByte(char16_t unit) {
    return static_cast<char>(unit & 0xFF);
}

void appendEscape(std::string& text, char16_t escape, const TimeFields& time) {
    switch (escape) {
        case u'H':
        case u'h':
            appendTwoDigits(text, time.hours);
            break;
        case u'M':
        case u'm':
            appendTwoDigits(text, time.minutes);
            break;
        case u'S':
        case u's':
            appendTwoDigits(text, time.seconds);
            break;
        case u'F':
        case u'f':
            appendTwoDigits(text, time.frames);
            break;
        case u'N':
            text += '\r';
            break;
        case u'n':
            text += '\n';
            break;
        case u'T':
            text += '\t';
            break;
        case u't':
            text += '\a';
            break;
        case u'~':
            text += '\b';
            break;
        default:  // "%%" and every escape not above give their second unit
            text += lowByte(escape);
            break;
    }
}

}  // namespace

std::string formattedTime(std::u16string_view format, const SMPTE_tc& timecode) {
    const TimeFields time{timecode.h(), timecode.m(), timecode.s(), timecode.f()};
    std::string text;
    text.reserve(30);
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != u'%') {
            text += lowByte(format[i]);
        } else if (++i < format.size()) {
            appendEscape(text, format[i], time);
        }
    }
    return text;
}
