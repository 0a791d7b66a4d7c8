#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/SMPTE_tc.h"

// LTC signals from libltc's encoder: what mirel-ltcgen writes, and for the
// tests a reference made independently of our decoder.
struct LtcSignalOptions {
    double sampleRate = 48000.0;
    double fps = 25.0;       ///< 23.976, 24, 25, 29.97 or 30
    bool dropFrame = false;  ///< sets the drop-frame bit; libltc then skips frames 0 and 1 as
                             ///< drop-frame counting does
    bool colorFrame = false;
    int hours = 10, minutes = 0, seconds = 0, frames = 0;
    int frameCount = 100;
    uint8_t userBits[8] = {};  ///< u1..u8, 0..15 each
    double dBFS = -3.0;
    bool invert = false;       ///< negate every sample
    bool reverse = false;      ///< play the finished signal backwards
    size_t leadInSamples = 0;  ///< silence (exact zeros) before the first frame
    size_t tailSamples = 0;    ///< silence after the last frame
};

struct LtcSignal {
    std::vector<float> samples;
    /// What was encoded, frame by frame in encoding order, read from libltc's own
    /// frame fields (myId 0). Frame bit 27 follows libltc's parity rule.
    std::vector<SMPTE_tc> frames;
    /// Sample index just past the last sample of each encoded frame.
    std::vector<size_t> frameEnds;
};

LtcSignal makeLtcSignal(const LtcSignalOptions& options);
