#include "network/SubscriptionMessage.h"

#include "network/MessageText.h"
#include "platform/LeadingInteger.h"

namespace {

// "TCMDPing: #". Only its length is checked, not its text: every copy reads
// the number from the same byte whatever the prefix holds.
constexpr std::size_t kPrefixLength = 11;

}  // namespace

std::string makeSubscriptionMessage(int number) {
    return "TCMDPing: #" + std::to_string(number) + "\n";
}

std::optional<int> readSubscriptionMessage(std::span<const char> datagram) {
    const auto text = messageText(datagram);
    if (!text) return std::nullopt;
    // One line and the empty remainder after its line feed.
    const auto lines = messageLines(*text, 2);
    if (!lines) return std::nullopt;
    const std::string_view line = lines->front();
    if (line.size() < kPrefixLength) return std::nullopt;
    return leadingInteger(line.substr(kPrefixLength));
}
