#include "network/TimecodeMessage.h"

#include <array>
#include <cstdio>
#include <random>

#include "network/MessageText.h"
#include "platform/LeadingInteger.h"

namespace {

constexpr std::string_view kNumberPrefix = "TCMD:";  // the number starts right after it
constexpr std::string_view kTimePrefix = "TC: ";
constexpr std::size_t kShortestTimeLine = 26;  // up to and with the drop-frame letter

// Receivers ignore the digit; it only has to differ from message to message.
int randomDigit() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int>(0, 9)(generator);
}

// A user-bit group is four bits wide; masking keeps one character per group,
// and so every later byte position, even for a record filled by hand.
char hexDigit(int32_t group) {
    return "0123456789ABCDEF"[group & 0xF];
}

// 96 bytes hold the line even with four 11-character numbers in it, and the
// line has no zero byte of its own, so the text ends where snprintf ended it.
std::string writeTimeLine(const SMPTE_tc& tc) {
    std::array<char, 96> line{};
    std::snprintf(line.data(), line.size(), "TC: %02d:%02d:%02d.%02d %c%c%c%c%c%c%c%c %c %d\n",
                  tc.h(), tc.m(), tc.s(), tc.f(), hexDigit(tc.u1), hexDigit(tc.u2), hexDigit(tc.u3),
                  hexDigit(tc.u4), hexDigit(tc.u5), hexDigit(tc.u6), hexDigit(tc.u7),
                  hexDigit(tc.u8), tc.dropFrame ? 'd' : 'n', randomDigit());
    return std::string(line.data());
}

// Upper-case only: a lower-case letter, or anything else, reads as 0.
int32_t hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// A time digit is its byte's value less "0", unchecked. The byte counts as
// unsigned so that a stray byte reads the same on every processor.
int32_t digitAt(std::string_view line, std::size_t position) {
    return static_cast<unsigned char>(line[position]) - '0';
}

SMPTE_tc timecodeFromLine(std::string_view line) {
    SMPTE_tc tc{};
    tc.ht = digitAt(line, 4);
    tc.hu = digitAt(line, 5);
    tc.mt = digitAt(line, 7);
    tc.mu = digitAt(line, 8);
    tc.st = digitAt(line, 10);
    tc.su = digitAt(line, 11);
    tc.ft = digitAt(line, 13);
    tc.fu = digitAt(line, 14);
    tc.u1 = hexValue(line[16]);
    tc.u2 = hexValue(line[17]);
    tc.u3 = hexValue(line[18]);
    tc.u4 = hexValue(line[19]);
    tc.u5 = hexValue(line[20]);
    tc.u6 = hexValue(line[21]);
    tc.u7 = hexValue(line[22]);
    tc.u8 = hexValue(line[23]);
    tc.dropFrame = line[25] == 'd';
    return tc;
}

}  // namespace

std::string makeTimecodeMessage(int number, std::string_view serviceName, const SMPTE_tc& tc) {
    std::string message = "TCMD: " + std::to_string(number) + "\nNAME: ";
    message.append(serviceName);
    message += '\n';
    message += writeTimeLine(tc);
    return message;
}

std::optional<TimecodeMessage> readTimecodeMessage(std::span<const char> datagram) {
    const auto text = messageText(datagram);
    if (!text) return std::nullopt;
    // Three lines and the empty remainder after the last line feed.
    const auto lines = messageLines(*text, 4);
    if (!lines) return std::nullopt;
    const std::string_view numberLine = (*lines)[0];
    const std::string_view timeLine = (*lines)[2];
    if (numberLine.size() < kNumberPrefix.size()) return std::nullopt;
    // No sender writes any other third line. Reading one as 00:00:00:00 would
    // make the clock jump to zero on a stray datagram, so it is dropped.
    if (!timeLine.starts_with(kTimePrefix) || timeLine.size() < kShortestTimeLine) {
        return std::nullopt;
    }
    return TimecodeMessage{leadingInteger(numberLine.substr(kNumberPrefix.size())),
                           timecodeFromLine(timeLine)};
}
