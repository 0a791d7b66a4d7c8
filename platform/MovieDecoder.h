#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;

struct AVFrameFree {
    void operator()(AVFrame* frame) const;
};
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;

/// One decoded video frame and where it starts and ends, in the movie's time
/// scale; `end` is `start` when the file does not say how long it lasts.
struct DecodedFrame {
    AVFramePtr frame;
    int64_t start = 0;
    int64_t end = 0;
    explicit operator bool() const { return frame != nullptr; }
};

// A movie file's first video track and first sound track, demuxed with
// libavformat and decoded with libavcodec, in file order. Damage in the file
// never stops more than it must: a packet that does not decode is skipped
// (said once in the log), and the first read error ends the file as if it
// were its end, so that a cut file plays up to where it was cut.
//
// Thread contract: one thread at a time (the player's worker); the interrupt
// flag may be set from any thread, and aborts a read that blocks.
class MovieDecoder {
public:
    using SoundSink = std::function<void(const AVFrame& sound, int64_t start)>;

    /// `interrupt`, when set, makes reads fail at once; it must outlive the decoder.
    MovieDecoder(int32_t timeScale, const std::atomic<bool>& interrupt)
        : timeScale_(timeScale), interrupt_(interrupt) {}
    ~MovieDecoder();
    MovieDecoder(const MovieDecoder&) = delete;
    MovieDecoder& operator=(const MovieDecoder&) = delete;

    /// False with `error` set when the file has no video track that decodes.
    bool open(const std::string& path, std::string& error);

    /// The next video frame in display order; empty at the end of what can be
    /// read. Sound decoded on the way goes to `sound` with its start at
    /// `soundRate` samples a second, or is dropped when `sound` is empty.
    DecodedFrame nextVideo(const SoundSink& sound, int soundRate);

    /// To the video keyframe at or before `time` in decoding order: the first
    /// frame decoded after it may still start after `time`.
    void seek(int64_t time);

    int64_t duration() const { return duration_; }
    bool hasSound() const { return sound_ != nullptr; }

private:
    bool openVideo(std::string& error);
    void openSound();
    bool readPacket();
    DecodedFrame receiveVideo();
    void decodeSound(const SoundSink& sink, int rate);
    void skipped(const char* what, int status);
    int64_t videoStart(const AVFrame& frame) const;

    const int32_t timeScale_;
    const std::atomic<bool>& interrupt_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVCodecContext* sound_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* soundFrame_ = nullptr;
    int videoIndex_ = -1, soundIndex_ = -1;
    int64_t duration_ = 0;
    bool ended_ = false;  ///< no packet left to read: the decoders are being drained
    bool complained_ = false;
    int64_t lastVideoStart_ = -1;
};
