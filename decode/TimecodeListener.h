#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/SMPTE_tc.h"

// Where decoded records go. Called on the thread that feeds the decoder, inside
// the sample step, with the context given to setCallbackId; the record is a
// temporary, so a callee that keeps it copies it. On a capture thread the
// callee must not allocate, lock or wait either.
using TimecodeCallback = void (*)(const SMPTE_tc& tc, void* context) noexcept;

/// One measured pulse: the distance in samples between two polarity changes.
struct manchesterPulse {
    uint32_t length;  ///< samples, 1 to the silence length from the sample step
    bool isShort;     ///< below the short/long threshold: half a bit cell
    bool isValid;     ///< within the valid range (4 to 39 up to 48 kHz); else empties the window
};

/// Turns 80 assembled bits into an SMPTE_tc and hands it to the callback.
struct SMPTE_tc_listener {
    int32_t callbackId = 0;               ///< copied into myId of every record
    TimecodeCallback callback = nullptr;  ///< null: frames are decoded and dropped
    void* context = nullptr;              ///< handed to every call of the callback

    void setCallbackId(TimecodeCallback callback, int id, void* context = nullptr);
    void makeTC(const bool* bits) noexcept;
};

/// Classifies pulses, finds the sync word in a sliding window and assembles
/// the frame's 64 data bits after it.
struct ManchesterFrame {
    static constexpr int kSyncPulses = 29;   ///< 0011 1111 1111 1101 as pulses
    static constexpr int kWindowSize = 200;  ///< 29 sync pulses + at most 128 per frame
    static constexpr int kFrameBits = 80;
    // The pulse limits at 48 kHz and below; higher rates scale them (TCListener::setSampleRate).
    static constexpr float kShortThreshold = 15.0f;
    static constexpr uint32_t kMinValid = 4;
    static constexpr uint32_t kMaxValid = 39;
    static constexpr uint32_t kMarkerLength = 101;

    int32_t shortRun = 0;    ///< short pulses since the last long one; only its parity matters
    int32_t pulseCount = 0;  ///< pulses in pulseWindow; above 29 while assembling
    manchesterPulse pulseWindow[kWindowSize] =
        {};                                  ///< since the window was last emptied, oldest first
    float shortThreshold = kShortThreshold;  ///< set from the sample rate, never from the signal
    uint32_t minValid = kMinValid;           ///< shortest valid pulse
    uint32_t maxValid = kMaxValid;           ///< longest valid pulse
    uint32_t markerLength = kMarkerLength;   ///< framing-error marker: longer than any valid pulse
    int32_t bitIndex = 0;             ///< next position in frameBits, 16..79 while assembling
    bool frameBits[kFrameBits] = {};  ///< 0-15 sync word, 16 + n holds LTC bit n
    bool halfBitPending = false;      ///< first short pulse of a 1 bit seen
    SMPTE_tc_listener listener;

    ManchesterFrame() = default;
    void setCallbackId(TimecodeCallback callback, int id, void* context = nullptr);
    void newPulse(uint16_t length);
    void addMBit(manchesterPulse pulse);

private:
    bool windowHoldsSyncWord() const;
};

/// The decoder of one audio channel: edge detection state plus the frame.
/// One fixed-size object; nothing on the heap. Belongs to the one thread that
/// feeds its channel; it takes no locks.
struct TCListener {
    static constexpr float kEdgeThreshold =
        0.0001f;  ///< dead band: |x| <= this never makes an edge
    static constexpr int32_t kSilenceLength =
        101;  ///< samples without an edge that make a silence pulse, at 48 kHz and below
    /// Highest rate the limits scale to: a silence pulse must still fit a pulse length.
    static constexpr double kMaxSampleRate = 768000.0;

    bool signPositive = false;  ///< polarity after the last edge: true after a rising edge
    int32_t samplesSinceEdge =
        0;  ///< since the last edge or silence restart; 0..silenceLength - 1 between samples
    int32_t silenceLength = kSilenceLength;  ///< set from the sample rate
    bool silenceReported = false;  ///< the one silence pulse has been sent since the last edge
    ManchesterFrame frame;

    TCListener() = default;
    void setCallbackId(TimecodeCallback callback, int id, void* context = nullptr);
    void addPulse(uint16_t length);
    /// Scales the pulse limits and the silence length to `hz`; call it before samples
    /// arrive. Up to 48 kHz the limits stay those made for 44.1 and 48 kHz, so records
    /// there never change; above, they grow with hz / 48000 up to kMaxSampleRate.
    /// A rate that is no positive number leaves them as they are.
    void setSampleRate(double hz);
};

/// The sample step for one sample. Real-time safe: allocates, locks and prints nothing.
void sampleStep(TCListener& decoder, float sample) noexcept;

/// The sample step applied, in order, to samples[0], samples[stride], ... for
/// `count` samples. Gives exactly the pulses of calling the one-sample step on
/// each, but scans for the next edge in bulk. Real-time safe.
void sampleStep(TCListener& decoder, const float* samples, size_t count, size_t stride) noexcept;
