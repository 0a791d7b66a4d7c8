#include "decode/TimecodeListener.h"

#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// LTC frame bits 64-79 in the order sent, 0 as one long pulse and 1 as two short ones.
constexpr bool kSyncPulseIsShort[ManchesterFrame::kSyncPulses] = {
    false, false,                                      // 0 0
    true,  true,  true, true, true, true, true, true,  // 1 1 1 1
    true,  true,  true, true, true, true, true, true,  // 1 1 1 1
    true,  true,  true, true, true, true, true, true,  // 1 1 1 1
    false, true,  true,                                // 0 1
};
constexpr bool kSyncBits[16] = {false, false, true, true, true, true, true,  true,
                                true,  true,  true, true, true, true, false, true};

// A group of `width` frame bits starting at LTC bit `first`, least significant first.
int32_t group(const bool* bits, int first, int width) {
    int32_t value = 0;
    for (int b = 0; b < width; ++b) value |= int32_t(bits[16 + first + b]) << b;
    return value;
}

}  // namespace

void SMPTE_tc_listener::setCallbackId(TimecodeCallback cb, int id, void* user) {
    callback = cb;
    callbackId = id;
    context = user;
}

void SMPTE_tc_listener::makeTC(const bool* bits) noexcept {
    SMPTE_tc tc;
    tc.myId = callbackId;
    tc.fu = group(bits, 0, 4);
    tc.u1 = group(bits, 4, 4);
    tc.ft = group(bits, 8, 2);
    tc.dropFrame = bits[16 + 10];
    tc.colorFrame = bits[16 + 11];
    tc.u2 = group(bits, 12, 4);
    tc.su = group(bits, 16, 4);
    tc.u3 = group(bits, 20, 4);
    tc.st = group(bits, 24, 3);
    tc.bpm = bits[16 + 27];
    tc.u4 = group(bits, 28, 4);
    tc.mu = group(bits, 32, 4);
    tc.u5 = group(bits, 36, 4);
    tc.mt = group(bits, 40, 3);
    tc.u6 = group(bits, 44, 4);
    tc.hu = group(bits, 48, 4);
    tc.u7 = group(bits, 52, 4);
    tc.ht = group(bits, 56, 2);
    tc.u8 = group(bits, 60, 4);
    if (callback != nullptr) callback(tc, context);
}

void ManchesterFrame::setCallbackId(TimecodeCallback callback, int id, void* context) {
    listener.setCallbackId(callback, id, context);
}

void ManchesterFrame::newPulse(uint16_t length) {
    const bool isShort = float(length) < shortThreshold;
    if (isShort) {
        // Only the parity is read; wrap below INT32_MAX (keeping parity) so that a
        // tone of nothing but short pulses running for days cannot overflow.
        shortRun = int32_t((uint32_t(shortRun) + 1u) & 0x7fffffffu);
    } else {
        // Short pulses that did not pair into whole 1 bits: a framing error.
        if (shortRun % 2 != 0) addMBit({markerLength, false, false});
        shortRun = 0;
    }
    addMBit({length, isShort, length >= minValid && length <= maxValid});
}

bool ManchesterFrame::windowHoldsSyncWord() const {
    for (int i = 0; i < kSyncPulses; ++i) {
        if (pulseWindow[i].isShort != kSyncPulseIsShort[i]) return false;
    }
    return true;
}

void ManchesterFrame::addMBit(manchesterPulse pulse) {
    // pulseCount never passes 157 here: 29 sync pulses, then at most two pulses
    // for each of the 64 data bits before the frame is handed on and the window emptied.
    pulseWindow[pulseCount++] = pulse;
    if (!pulse.isValid) {
        pulseCount = 0;
        return;
    }
    if (pulseCount < kSyncPulses) return;
    if (pulseCount == kSyncPulses) {
        if (windowHoldsSyncWord()) {
            std::memcpy(frameBits, kSyncBits, sizeof kSyncBits);
            bitIndex = 16;
            halfBitPending = false;
        } else {
            std::memmove(pulseWindow, pulseWindow + 1, (kSyncPulses - 1) * sizeof(manchesterPulse));
            pulseCount = kSyncPulses - 1;
        }
        return;
    }

    if (!pulse.isShort) {
        frameBits[bitIndex++] = false;
        halfBitPending = false;
    } else if (!halfBitPending) {
        halfBitPending = true;
    } else {
        frameBits[bitIndex++] = true;
        halfBitPending = false;
    }
    if (bitIndex == kFrameBits) {
        listener.makeTC(frameBits);
        bitIndex = 0;
        pulseCount = 0;
    }
}

void TCListener::setCallbackId(TimecodeCallback callback, int id, void* context) {
    frame.setCallbackId(callback, id, context);
}

void TCListener::addPulse(uint16_t length) {
    frame.newPulse(length);
}

void TCListener::setSampleRate(double hz) {
    if (!(hz > 0)) return;
    // At 44.1 and 48 kHz (and below) the limits stay exactly those made for them; above,
    // a bit cell is that many times longer in samples, and so is every limit.
    const double k = std::fmin(std::fmax(hz, 48000.0), kMaxSampleRate) / 48000.0;
    const auto scaled = [k](double length) { return uint32_t(std::lround(length * k)); };
    frame.shortThreshold = float(double(ManchesterFrame::kShortThreshold) * k);
    frame.minValid = scaled(ManchesterFrame::kMinValid);
    frame.maxValid = scaled(ManchesterFrame::kMaxValid);
    silenceLength = int32_t(scaled(kSilenceLength));
    frame.markerLength = uint32_t(silenceLength);
}

namespace {

// The two things a sample can do besides nothing: be an edge, which ends the
// pulse so far, or be the sample that makes the quiet a silence, which is
// reported once as one long pulse. Both steps below share them.
inline void takeEdge(TCListener& d) {
    d.addPulse(static_cast<uint16_t>(d.samplesSinceEdge));
    d.samplesSinceEdge = 0;
    d.signPositive = !d.signPositive;
    d.silenceReported = false;
}

inline void passQuiet(TCListener& d) {
    if (d.samplesSinceEdge > d.silenceLength - 1) {
        if (!d.silenceReported) d.addPulse(static_cast<uint16_t>(d.samplesSinceEdge));
        d.silenceReported = true;
        d.samplesSinceEdge = 0;
    }
}

// Index of the first of the n samples x[0], x[stride], ... that is an edge for
// the current polarity, or n. An edge is a sample beyond the dead band on the
// other side: after a rising edge x < -T, after a falling one x > +T, i.e.
// (flipped x) < -T. Comparisons with NaN are false, so NaN never makes an edge,
// as in the one-sample step.
inline size_t findEdge(const float* x, size_t n, size_t stride, bool signPositive) {
    size_t i = 0;
#if defined(__SSE2__)
    if (stride == 1) {
        const __m128 flip = _mm_set1_ps(signPositive ? 0.0f : -0.0f);
        const __m128 limit = _mm_set1_ps(-TCListener::kEdgeThreshold);
        for (; i + 8 <= n; i += 8) {
            const __m128 a = _mm_xor_ps(_mm_loadu_ps(x + i), flip);
            const __m128 b = _mm_xor_ps(_mm_loadu_ps(x + i + 4), flip);
            const int mask = _mm_movemask_ps(_mm_cmplt_ps(a, limit)) |
                             (_mm_movemask_ps(_mm_cmplt_ps(b, limit)) << 4);
            if (mask != 0) return i + size_t(__builtin_ctz(unsigned(mask)));
        }
    }
#endif
    for (; i < n; ++i) {
        const float v = signPositive ? x[i * stride] : -x[i * stride];
        if (v < -TCListener::kEdgeThreshold) return i;
    }
    return n;
}

}  // namespace

void sampleStep(TCListener& d, float x) noexcept {
    ++d.samplesSinceEdge;
    const bool edge =
        d.signPositive ? x < -TCListener::kEdgeThreshold : x > TCListener::kEdgeThreshold;
    if (edge) {
        takeEdge(d);
    } else {
        passQuiet(d);
    }
}

void sampleStep(TCListener& d, const float* samples, size_t count, size_t stride) noexcept {
    // Between samples samplesSinceEdge stays below the silence length, so at most
    // silenceLength - samplesSinceEdge samples can pass before either an edge or the
    // silence rule acts: scan that many in bulk, then apply whichever happened.
    // The length is read once: the rate is set before samples arrive.
    const int32_t silence = d.silenceLength;
    size_t i = 0;
    while (i < count) {
        const int32_t room = d.samplesSinceEdge < silence ? silence - d.samplesSinceEdge : 1;
        const size_t span = count - i < size_t(room) ? count - i : size_t(room);
        const size_t k = findEdge(samples + i * stride, span, stride, d.signPositive);
        if (k < span) {
            d.samplesSinceEdge += int32_t(k) + 1;
            i += k + 1;
            takeEdge(d);
        } else {
            d.samplesSinceEdge += int32_t(span);
            i += span;
            passQuiet(d);
        }
    }
}
