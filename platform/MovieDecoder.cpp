#include "platform/MovieDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <array>

#include "platform/Log.h"

void AVFrameFree::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}

namespace {

std::string errorText(int status) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(status, text.data(), text.size());
    return text.data();
}

int64_t streamStart(const AVStream& stream) {
    return stream.start_time == AV_NOPTS_VALUE ? 0 : stream.start_time;
}

// A decoder for the stream, or null with `error` set.
AVCodecContext* openCodec(const AVStream& stream, std::string& error) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr) {
        error = std::string("no decoder for ") + avcodec_get_name(stream.codecpar->codec_id);
        return nullptr;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    int status = context == nullptr ? AVERROR(ENOMEM) : 0;
    if (status == 0) status = avcodec_parameters_to_context(context, stream.codecpar);
    if (status == 0) {
        context->pkt_timebase = stream.time_base;
        context->thread_count = 0;  // as many as the machine has
        status = avcodec_open2(context, codec, nullptr);
    }
    if (status < 0) {
        error = errorText(status);
        avcodec_free_context(&context);
    }
    return context;
}

}  // namespace

MovieDecoder::~MovieDecoder() {
    avcodec_free_context(&video_);
    avcodec_free_context(&sound_);
    av_packet_free(&packet_);
    av_frame_free(&soundFrame_);
    avformat_close_input(&format_);
}

bool MovieDecoder::open(const std::string& path, std::string& error) {
    format_ = avformat_alloc_context();
    packet_ = av_packet_alloc();
    soundFrame_ = av_frame_alloc();
    if (format_ == nullptr || packet_ == nullptr || soundFrame_ == nullptr) {
        error = errorText(AVERROR(ENOMEM));
        return false;
    }
    // Only a destructor waiting for the worker interrupts a read.
    format_->interrupt_callback.callback = [](void* flag) -> int {
        return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
    };
    format_->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(&interrupt_);
    int status = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
    if (status == 0) status = avformat_find_stream_info(format_, nullptr);
    if (status < 0) {
        error = errorText(status);
        return false;
    }
    if (!openVideo(error)) return false;
    openSound();
    if (format_->duration > 0) duration_ = av_rescale(format_->duration, timeScale_, AV_TIME_BASE);
    return true;
}

bool MovieDecoder::openVideo(std::string& error) {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVStream& stream = *format_->streams[i];
        // A cover picture is stored as a video stream but is no video track.
        if (stream.codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
            (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0)
            continue;
        videoIndex_ = static_cast<int>(i);
        video_ = openCodec(stream, error);
        if (video_ != nullptr && (video_->width <= 0 || video_->height <= 0)) {
            error = "the video track has no picture size";
            avcodec_free_context(&video_);
        }
        return video_ != nullptr;
    }
    error = "the movie has no video track";
    return false;
}

void MovieDecoder::openSound() {
    const int index = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return;
    std::string error;
    sound_ = openCodec(*format_->streams[index], error);
    if (sound_ == nullptr) {
        Log::line("The movie's sound cannot be decoded (%s); it plays silently", error.c_str());
        return;
    }
    soundIndex_ = index;
}

void MovieDecoder::skipped(const char* what, int status) {
    if (complained_) return;
    complained_ = true;
    Log::line("Movie %s skipped: %s", what, errorText(status).c_str());
}

bool MovieDecoder::readPacket() {
    for (;;) {
        const int status = av_read_frame(format_, packet_);
        if (status == 0) return true;
        if (status == AVERROR(EAGAIN) && !interrupt_.load()) continue;
        if (status != AVERROR_EOF && !interrupt_.load()) skipped("data after a read error", status);
        return false;
    }
}

DecodedFrame MovieDecoder::nextVideo(const SoundSink& sound, int soundRate) {
    for (;;) {
        if (DecodedFrame frame = receiveVideo(); frame || ended_) return frame;
        if (!readPacket()) {
            // Draining hands over the frames the decoder still holds back.
            ended_ = true;
            avcodec_send_packet(video_, nullptr);
            continue;
        }
        if (packet_->stream_index == videoIndex_) {
            if (const int status = avcodec_send_packet(video_, packet_); status < 0)
                skipped("video packet", status);
        } else if (packet_->stream_index == soundIndex_ && sound) {
            if (const int status = avcodec_send_packet(sound_, packet_); status < 0)
                skipped("sound packet", status);
            decodeSound(sound, soundRate);
        }
        av_packet_unref(packet_);
    }
}

DecodedFrame MovieDecoder::receiveVideo() {
    AVFramePtr frame(av_frame_alloc());
    if (!frame) return {};
    const int status = avcodec_receive_frame(video_, frame.get());
    if (status < 0) {
        if (status != AVERROR(EAGAIN) && status != AVERROR_EOF) skipped("video frame", status);
        return {};
    }
    const int64_t start = videoStart(*frame);
    lastVideoStart_ = start;
    const AVStream& stream = *format_->streams[videoIndex_];
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    const int64_t duration = frame->duration;
#else
    const int64_t duration = frame->pkt_duration;
#endif
    const int64_t length =
        duration > 0 ? av_rescale_q(duration, stream.time_base, AVRational{1, timeScale_}) : 0;
    return DecodedFrame{std::move(frame), start, start + length};
}

int64_t MovieDecoder::videoStart(const AVFrame& frame) const {
    const AVStream& stream = *format_->streams[videoIndex_];
    int64_t pts = frame.best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame.pts;
    // Without a time the frame follows the one before, which keeps the order.
    if (pts == AV_NOPTS_VALUE) return lastVideoStart_ + 1;
    return av_rescale_q(pts - streamStart(stream), stream.time_base, AVRational{1, timeScale_});
}

void MovieDecoder::decodeSound(const SoundSink& sink, int rate) {
    const AVStream& stream = *format_->streams[soundIndex_];
    // The movie's time starts with its video: sound that starts later keeps its delay.
    const AVStream& video = *format_->streams[videoIndex_];
    const int64_t origin = av_rescale_q(streamStart(video), video.time_base, stream.time_base);
    while (avcodec_receive_frame(sound_, soundFrame_) == 0) {
        int64_t pts = soundFrame_->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = soundFrame_->pts;
        if (pts != AV_NOPTS_VALUE) {
            sink(*soundFrame_, av_rescale_q(pts - origin, stream.time_base, AVRational{1, rate}));
        }
        av_frame_unref(soundFrame_);
    }
}

void MovieDecoder::seek(int64_t time) {
    const AVStream& stream = *format_->streams[videoIndex_];
    const int64_t target =
        av_rescale_q(time, AVRational{1, timeScale_}, stream.time_base) + streamStart(stream);
    if (const int status = av_seek_frame(format_, videoIndex_, target, AVSEEK_FLAG_BACKWARD);
        status < 0) {
        // Before the first keyframe the index has no entry: from the start then.
        av_seek_frame(format_, videoIndex_, streamStart(stream),
                      AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    }
    avcodec_flush_buffers(video_);
    if (sound_ != nullptr) avcodec_flush_buffers(sound_);
    ended_ = false;
}
