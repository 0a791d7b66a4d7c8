#pragma once

#include <string>
#include <string_view>

#include "decode/SMPTE_tc.h"

// The text that the hot key types: the user's typing format expanded against
// a timecode value.
//
// The format is read in UTF-16 code units. Every literal code unit becomes one
// character holding its low eight bits, the same eight bits the key code table
// later turns into a key, so the result is one byte per code unit and not
// UTF-8. Escapes, matched on the whole code unit after "%":
//
//   %H %h  hours        %M %m  minutes      %S %s  seconds      %F %f  frames
//          (each at least two digits, zero-padded)
//   %N  carriage return   %n  line feed   %T  tab   %t  U+0007   %~  U+0008
//   %%  a "%"   "%" and any other unit: that unit   a final "%": nothing
//
// No escape gives the user bits or the flags. Never fails.
std::string formattedTime(std::u16string_view format, const SMPTE_tc& timecode);
