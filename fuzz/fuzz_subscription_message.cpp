// Any datagram may reach the sender's port. Reading must stay within its
// bytes, and a number we accept must survive being written and read again.
#include <cstddef>
#include <cstdint>

#include "network/SubscriptionMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const char> datagram(reinterpret_cast<const char*>(data), size);
    const std::optional<int> number = readSubscriptionMessage(datagram);
    if (number && readSubscriptionMessage(makeSubscriptionMessage(*number)) != number)
        __builtin_trap();
    return 0;
}
