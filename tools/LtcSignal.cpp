#include "tools/LtcSignal.h"

#include <ltc.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

SMPTE_tc fromLtcFrame(const LTCFrame& f) {
    SMPTE_tc tc{};
    tc.fu = int32_t(f.frame_units);
    tc.u1 = int32_t(f.user1);
    tc.ft = int32_t(f.frame_tens);
    tc.dropFrame = f.dfbit != 0;
    tc.colorFrame = f.col_frame != 0;
    tc.u2 = int32_t(f.user2);
    tc.su = int32_t(f.secs_units);
    tc.u3 = int32_t(f.user3);
    tc.st = int32_t(f.secs_tens);
    tc.bpm = f.biphase_mark_phase_correction != 0;
    tc.u4 = int32_t(f.user4);
    tc.mu = int32_t(f.mins_units);
    tc.u5 = int32_t(f.user5);
    tc.mt = int32_t(f.mins_tens);
    tc.u6 = int32_t(f.user6);
    tc.hu = int32_t(f.hours_units);
    tc.u7 = int32_t(f.user7);
    tc.ht = int32_t(f.hours_tens);
    tc.u8 = int32_t(f.user8);
    return tc;
}

LTC_TV_STANDARD standardFor(double fps) {
    if (fps < 24.5) return LTC_TV_FILM_24;
    if (fps < 26.0) return LTC_TV_625_50;
    return LTC_TV_525_60;
}

}  // namespace

LtcSignal makeLtcSignal(const LtcSignalOptions& o) {
    LTCEncoder* encoder = ltc_encoder_create(o.sampleRate, o.fps, standardFor(o.fps), 0);
    if (encoder == nullptr) throw std::runtime_error("ltc_encoder_create failed");
    ltc_encoder_set_volume(encoder, o.dBFS);

    SMPTETimecode start{};
    start.hours = static_cast<unsigned char>(o.hours);
    start.mins = static_cast<unsigned char>(o.minutes);
    start.secs = static_cast<unsigned char>(o.seconds);
    start.frame = static_cast<unsigned char>(o.frames);
    ltc_encoder_set_timecode(encoder, &start);

    LTCFrame frame;
    ltc_encoder_get_frame(encoder, &frame);
    frame.dfbit = o.dropFrame ? 1 : 0;
    frame.col_frame = o.colorFrame ? 1 : 0;
    frame.user1 = o.userBits[0] & 15u;
    frame.user2 = o.userBits[1] & 15u;
    frame.user3 = o.userBits[2] & 15u;
    frame.user4 = o.userBits[3] & 15u;
    frame.user5 = o.userBits[4] & 15u;
    frame.user6 = o.userBits[5] & 15u;
    frame.user7 = o.userBits[6] & 15u;
    frame.user8 = o.userBits[7] & 15u;
    ltc_frame_set_parity(&frame, standardFor(o.fps));
    ltc_encoder_set_frame(encoder, &frame);

    LtcSignal signal;
    signal.samples.assign(o.leadInSamples, 0.0f);
    for (int n = 0; n < o.frameCount; ++n) {
        ltc_encoder_get_frame(encoder, &frame);
        signal.frames.push_back(fromLtcFrame(frame));
        ltc_encoder_encode_frame(encoder);
        ltcsnd_sample_t* buffer = nullptr;
        const int length = ltc_encoder_get_bufferptr(encoder, &buffer, 1);
        for (int i = 0; i < length; ++i)
            signal.samples.push_back((float(buffer[i]) - 128.0f) / 128.0f);
        signal.frameEnds.push_back(signal.samples.size());
        ltc_encoder_inc_timecode(encoder);
    }
    signal.samples.resize(signal.samples.size() + o.tailSamples, 0.0f);
    ltc_encoder_free(encoder);

    if (o.invert) {
        for (float& x : signal.samples) x = -x;
    }
    if (o.reverse) std::reverse(signal.samples.begin(), signal.samples.end());
    return signal;
}
