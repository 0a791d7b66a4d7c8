#pragma once

#include <cstdint>

// One timecode value as an LTC frame carries it: the time address as separate
// units and tens digits, the two flags, the eight user-bit groups, frame bit 27
// and the identifier of the source that produced it.
//
// A plain aggregate with no owned memory: it is copied whole wherever it
// crosses a thread or is kept. The field order follows the order in which the
// frame transmits the groups. Nothing is range-checked: a frame whose digit
// bits are not decimal digits yields them as they stand.
struct SMPTE_tc {
    int32_t myId;     ///< source: device * 100 + channel, or -200 for network and movie
    int32_t fu;       ///< frame units, bits 0-3
    int32_t u1;       ///< user bits 4-7
    int32_t ft;       ///< frame tens, bits 8-9
    bool dropFrame;   ///< bit 10
    bool colorFrame;  ///< bit 11
    int32_t u2;       ///< user bits 12-15
    int32_t su;       ///< seconds units, bits 16-19
    int32_t u3;       ///< user bits 20-23
    int32_t st;       ///< seconds tens, bits 24-26
    int32_t u4;       ///< user bits 28-31
    int32_t mu;       ///< minutes units, bits 32-35
    int32_t u5;       ///< user bits 36-39
    int32_t mt;       ///< minutes tens, bits 40-42
    int32_t u6;       ///< user bits 44-47
    int32_t hu;       ///< hours units, bits 48-51
    int32_t u7;       ///< user bits 52-55
    int32_t ht;       ///< hours tens, bits 56-57
    int32_t u8;       ///< user bits 60-63
    bool bpm;         ///< bit 27: polarity correction at 24/30 fps, binary group flag 0 at 25

    int32_t h() const { return ht * 10 + hu; }
    int32_t m() const { return mt * 10 + mu; }
    int32_t s() const { return st * 10 + su; }
    int32_t f() const { return ft * 10 + fu; }
};
