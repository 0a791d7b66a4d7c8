#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// The reading rules that the subscription and the timecode message share.
//
// A datagram arrives as raw bytes: not zero-terminated, of any length and with
// any content, since anything on the network may send to our ports. Nothing
// here reads outside the bytes it is given or keeps them, and nothing here has
// state, so the sender's and the receiver's threads may call it freely.

/// The datagram's text: its bytes up to the first zero byte, or all of them.
/// Nothing when that text is not valid UTF-8; such a datagram is ignored whole.
std::optional<std::string_view> messageText(std::span<const char> datagram);

/// The text split at every line feed, when that gives exactly `pieces` pieces
/// (a text ending in a line feed has an empty last piece); otherwise nothing.
std::optional<std::vector<std::string_view>> messageLines(std::string_view text,
                                                          std::size_t pieces);
