#pragma once

#include <algorithm>
#include <memory>
#include <span>
#include <string_view>

// Received bytes in a heap block of exactly their size, with no zero after
// them, so that AddressSanitizer reports any read past the end.
class Datagram {
public:
    explicit Datagram(std::string_view bytes)
        : bytes_(std::make_unique<char[]>(bytes.size())), size_(bytes.size()) {
        std::copy(bytes.begin(), bytes.end(), bytes_.get());
    }
    std::span<const char> span() const { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};
