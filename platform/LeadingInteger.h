#pragma once

#include <string_view>

/// The decimal number at the start of `text`, read the way peers and pages
/// have always written it: optional white space, an optional sign, then digits
/// up to the first non-digit; no digits give 0. A number beyond the 32-bit
/// range gives the nearest limit, never a wrapped value (a huge number must
/// not turn into a small one that means something).
int leadingInteger(std::string_view text);
