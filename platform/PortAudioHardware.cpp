#include "platform/PortAudioHardware.h"

#include <alsa/asoundlib.h>
#include <glib.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/Log.h"
#include "platform/PortAudioStart.h"

struct PortAudioHardware::Stream {
    PortAudioHardware* owner = nullptr;
    AudioDeviceID device = 0;
    int channels = 0;
    AudioDeviceIOProc proc = nullptr;  ///< written before the stream starts, then only read
    void* clientData = nullptr;
    AudioHardwarePropertyListenerProc aliveListener = nullptr;
    void* aliveClientData = nullptr;
    PaStream* stream = nullptr;
    double rate = 0;                      ///< frames a second; written before the stream starts
    double framesDelivered = 0;           ///< IO thread only
    double nextAdcTime = 0;               ///< IO thread only: when the next block should start
    std::atomic<uint64_t> framesLost{0};  ///< in overflows the IO thread saw
    uint64_t framesLostReported = 0;      ///< main thread
    gint64 lostReportedAt = 0;            ///< main thread, monotonic microseconds
    std::atomic<bool> stopping{false};    ///< set before we stop it ourselves
    std::atomic<uint64_t> cycles{0};      ///< callbacks so far: the watchdog's sign of life
    uint64_t cyclesSeen = 0;              ///< main thread: cycles at the watchdog's last look
    int silentLooks = 0;                  ///< main thread: looks in a row without a new cycle
};

namespace {

// PortAudio's index for one of our identifiers, or -1.
PaDeviceIndex paIndex(AudioDeviceID device) {
    if (device == 0 || device > AudioDeviceID(Pa_GetDeviceCount())) return -1;
    return PaDeviceIndex(device - 1);
}

void copyText(const char* from, char* text, uint32_t size) {
    if (size == 0) return;
    std::snprintf(text, size, "%s", from != nullptr ? from : "");
}

// The ALSA card behind a device of PortAudio's ALSA host API ("... (hw:1,0)"), or -1.
int alsaCard(const PaDeviceInfo* info) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    if (api == nullptr || api->type != paALSA) return -1;
    const char* hw = std::strstr(info->name, "(hw:");
    if (hw == nullptr) return -1;
    int card = -1;
    return std::sscanf(hw, "(hw:%d", &card) == 1 ? card : -1;
}

// Runs `use` on the card's capture volume control; the mixer is closed after.
OSStatus withCaptureVolume(int card, const std::function<int(snd_mixer_elem_t*)>& use) {
    if (card < 0) return kAudioHardwareUnknownPropertyError;
    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) return kAudioHardwareUnspecifiedError;
    const std::string name = "hw:" + std::to_string(card);
    OSStatus status = kAudioHardwareUnknownPropertyError;
    if (snd_mixer_attach(mixer, name.c_str()) == 0 &&
        snd_mixer_selem_register(mixer, nullptr, nullptr) == 0 && snd_mixer_load(mixer) == 0) {
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr;
             e = snd_mixer_elem_next(e)) {
            if (snd_mixer_selem_is_active(e) && snd_mixer_selem_has_capture_volume(e)) {
                status = use(e) == 0 ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
                break;
            }
        }
    }
    snd_mixer_close(mixer);
    return status;
}

// Channel 0 is the master: the first channel is read, every channel is written.
snd_mixer_selem_channel_id_t mixerChannel(uint32_t channel) {
    return channel == 0 ? SND_MIXER_SCHN_FRONT_LEFT
                        : snd_mixer_selem_channel_id_t(int(channel) - 1);
}

}  // namespace

// The C callbacks PortAudio and GLib call: short trampolines into the object.
struct PortAudioCallbacks {
    struct DeathNotice {
        PortAudioHardware* owner;
        AudioDeviceID device;
    };

    // Real-time: builds the cycle's buffer list on the stack and calls the IO procedure.
    static int stream(const void* input, void* /*output*/, unsigned long frames,
                      const PaStreamCallbackTimeInfo* t, PaStreamCallbackFlags flags,
                      void* userData) noexcept {
        auto* s = static_cast<PortAudioHardware::Stream*>(userData);
        countLostFrames(*s, frames, t, flags);
        AudioBufferList list{
            1,
            {{uint32_t(s->channels), uint32_t(frames * unsigned(s->channels) * sizeof(float)),
              const_cast<void*>(input)}}};
        const AudioTimeStamp now{s->framesDelivered, t != nullptr ? t->currentTime : 0.0};
        const AudioTimeStamp inputTime{s->framesDelivered,
                                       t != nullptr ? t->inputBufferAdcTime : 0.0};
        s->proc(s->device, &now, input != nullptr ? &list : nullptr, &inputTime, nullptr, &now,
                s->clientData);
        s->framesDelivered += double(frames);
        s->cycles.fetch_add(1, std::memory_order_relaxed);
        return paContinue;
    }

    // Real-time. An overflow flag says input was lost, not how much: the gap
    // between when this block was captured and when the last one ended does.
    static void countLostFrames(PortAudioHardware::Stream& s, unsigned long frames,
                                const PaStreamCallbackTimeInfo* t,
                                PaStreamCallbackFlags flags) noexcept {
        if (t == nullptr || t->inputBufferAdcTime <= 0) return;
        if ((flags & paInputOverflow) != 0 && s.nextAdcTime > 0) {
            const double gap = (t->inputBufferAdcTime - s.nextAdcTime) * s.rate;
            s.framesLost.fetch_add(gap >= 1 ? uint64_t(std::lround(gap)) : 1,
                                   std::memory_order_relaxed);
        }
        s.nextAdcTime = t->inputBufferAdcTime + double(frames) / s.rate;
    }

    // On a PortAudio thread when the stream ends. Unless we stopped it, the
    // device has gone: say so on the main thread, where captures are managed.
    static void finished(void* userData) {
        auto* s = static_cast<PortAudioHardware::Stream*>(userData);
        if (s->stopping) return;
        g_idle_add_full(G_PRIORITY_DEFAULT, &died, new DeathNotice{s->owner, s->device},
                        [](gpointer p) { delete static_cast<DeathNotice*>(p); });
    }

    static gboolean watch(gpointer userData) {
        static_cast<PortAudioHardware*>(userData)->lookForSilentDevices();
        return G_SOURCE_CONTINUE;
    }

    static gboolean died(gpointer userData) {
        const auto* notice = static_cast<const DeathNotice*>(userData);
        notice->owner->deviceGone(notice->device);
        return G_SOURCE_REMOVE;
    }
};

PortAudioHardware& PortAudioHardware::shared() {
    static PortAudioHardware* hardware = new PortAudioHardware;  // lives as long as the process
    return *hardware;
}

bool PortAudioHardware::ready() {
    if (initialised_ == 0) {
        const PaError error = initializePortAudioQuietly();
        if (error != paNoError) {
            Log::line("PortAudio could not start: %s; no audio devices are listed",
                      portAudioErrorText(error).c_str());
        }
        initialised_ = error == paNoError ? 1 : -1;
        // Registered after the process's static objects exist, so it runs before
        // they are destroyed: no capture thread outlives what it writes to.
        if (initialised_ == 1) std::atexit([] { shared().terminate(); });
    }
    return initialised_ == 1;
}

void PortAudioHardware::terminate() {
    if (initialised_ != 1) return;
    if (watchdog_ != 0) g_source_remove(watchdog_);
    watchdog_ = 0;
    for (auto& [device, s] : streams_) {
        s->stopping = true;
        if (s->stream != nullptr) {
            Pa_AbortStream(s->stream);
            Pa_CloseStream(s->stream);
        }
    }
    streams_.clear();
    Pa_Terminate();
    initialised_ = -1;
}

int PortAudioHardware::inputChannels(AudioDeviceID device) {
    if (!ready()) return 0;
    const PaDeviceIndex index = paIndex(device);
    const PaDeviceInfo* info = index < 0 ? nullptr : Pa_GetDeviceInfo(index);
    return info != nullptr ? info->maxInputChannels : 0;
}

std::vector<AudioDeviceID> PortAudioHardware::devices() {
    std::vector<AudioDeviceID> ids;
    if (!ready()) return ids;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) ids.push_back(AudioDeviceID(i) + 1);
    return ids;
}

OSStatus PortAudioHardware::inputStreamFormat(AudioDeviceID device,
                                              AudioStreamBasicDescription& format) {
    const int channels = inputChannels(device);
    if (channels <= 0) return kAudioHardwareUnknownPropertyError;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paIndex(device));
    const uint32_t bytesPerFrame = uint32_t(channels) * sizeof(float);
    format = AudioStreamBasicDescription{info->defaultSampleRate,
                                         kAudioFormatLinearPCM,
                                         kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                         bytesPerFrame,
                                         1,
                                         bytesPerFrame,
                                         uint32_t(channels),
                                         32,
                                         0};
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::deviceName(AudioDeviceID device, char* text, uint32_t size) {
    const PaDeviceIndex index = ready() ? paIndex(device) : -1;
    if (index < 0) return kAudioHardwareBadDeviceError;
    copyText(Pa_GetDeviceInfo(index)->name, text, size);
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::deviceManufacturer(AudioDeviceID device, char* text, uint32_t size) {
    const PaDeviceIndex index = ready() ? paIndex(device) : -1;
    if (index < 0) return kAudioHardwareBadDeviceError;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(Pa_GetDeviceInfo(index)->hostApi);
    copyText(api != nullptr ? api->name : "", text, size);
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::inputVolumeScalar(AudioDeviceID device, uint32_t channel,
                                              float& volume) {
    if (inputChannels(device) <= 0) return kAudioHardwareBadDeviceError;
    return withCaptureVolume(alsaCard(Pa_GetDeviceInfo(paIndex(device))), [&](snd_mixer_elem_t* e) {
        long low = 0, high = 0, value = 0;
        if (snd_mixer_selem_get_capture_volume_range(e, &low, &high) < 0 || high <= low) return -1;
        if (snd_mixer_selem_get_capture_volume(e, mixerChannel(channel), &value) < 0) return -1;
        volume = float(value - low) / float(high - low);
        return 0;
    });
}

OSStatus PortAudioHardware::setInputVolumeScalar(AudioDeviceID device, uint32_t channel,
                                                 float volume) {
    if (inputChannels(device) <= 0) return kAudioHardwareBadDeviceError;
    return withCaptureVolume(alsaCard(Pa_GetDeviceInfo(paIndex(device))), [&](snd_mixer_elem_t* e) {
        long low = 0, high = 0;
        if (snd_mixer_selem_get_capture_volume_range(e, &low, &high) < 0 || high <= low) return -1;
        const long value = low + std::lround(double(volume) * double(high - low));
        return channel == 0 ? snd_mixer_selem_set_capture_volume_all(e, value)
                            : snd_mixer_selem_set_capture_volume(e, mixerChannel(channel), value);
    });
}

OSStatus PortAudioHardware::setInputBufferSize(AudioDeviceID device, uint32_t bytes) {
    if (inputChannels(device) <= 0) return kAudioHardwareBadDeviceError;
    bufferBytes_[device] = bytes;
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::addIOProc(AudioDeviceID device, AudioDeviceIOProc proc,
                                      void* clientData) {
    const int channels = inputChannels(device);
    if (channels <= 0 || proc == nullptr) return kAudioHardwareBadDeviceError;
    if (streams_.count(device) != 0) return kAudioHardwareIllegalOperationError;
    auto stream = std::make_unique<Stream>();
    stream->owner = this;
    stream->device = device;
    stream->channels = channels;
    stream->proc = proc;
    stream->clientData = clientData;
    streams_[device] = std::move(stream);
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::addDeviceIsAliveListener(AudioDeviceID device,
                                                     AudioHardwarePropertyListenerProc listener,
                                                     void* clientData) {
    auto found = streams_.find(device);
    if (found == streams_.end()) return kAudioHardwareBadDeviceError;
    found->second->aliveListener = listener;
    found->second->aliveClientData = clientData;
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::start(AudioDeviceID device, AudioDeviceIOProc proc) {
    auto found = streams_.find(device);
    if (found == streams_.end() || found->second->proc != proc) return kAudioHardwareBadDeviceError;
    Stream& s = *found->second;
    if (s.stream != nullptr) return kAudioHardwareIllegalOperationError;

    const PaDeviceInfo* info = Pa_GetDeviceInfo(paIndex(device));
    s.rate = info->defaultSampleRate;
    PaStreamParameters input{};
    input.device = paIndex(device);
    input.channelCount = s.channels;
    input.sampleFormat = paFloat32;
    // A ring that outlasts an ordinary stall of the process (a busy desktop
    // holds it up for tens of milliseconds): a card keeps recording meanwhile.
    input.suggestedLatency = std::max(info->defaultLowInputLatency, kCaptureRingSeconds);
    // The buffer size was asked for in bytes; PortAudio wants frames of the format it opens.
    const auto asked = bufferBytes_.find(device);
    const uint32_t bytes = asked != bufferBytes_.end() ? asked->second : 0;
    const unsigned long frames = bytes / (uint32_t(s.channels) * sizeof(float));
    if (frames != 0) {
        // PortAudio's ALSA layer cuts the ring into this many periods. Twice as
        // many as the ring holds blocks keeps a period no longer than a block,
        // so that a larger ring delays nothing: blocks still come every
        // `frames` frames. (As many as it holds blocks gives periods of two.)
        PaAlsa_SetNumPeriods(int(2 * std::ceil(kCaptureRingSeconds * s.rate / double(frames))));
    }

    PaError error = Pa_OpenStream(&s.stream, &input, nullptr, info->defaultSampleRate,
                                  frames != 0 ? frames : paFramesPerBufferUnspecified,
                                  paClipOff | paDitherOff, &PortAudioCallbacks::stream, &s);
    if (error == paNoError) {
        Pa_SetStreamFinishedCallback(s.stream, &PortAudioCallbacks::finished);
        error = Pa_StartStream(s.stream);
        if (error != paNoError) {
            Pa_CloseStream(s.stream);
            s.stream = nullptr;
        }
    } else {
        s.stream = nullptr;
    }
    if (error == paNoError && watchdog_ == 0) {
        watchdog_ = g_timeout_add(kWatchdogMs, &PortAudioCallbacks::watch, this);
    }
    if (error != paNoError) {
        Log::line("PortAudio cannot capture \"%s\": %s", info->name,
                  portAudioErrorText(error).c_str());
        return kAudioHardwareUnspecifiedError;
    }
    return kAudioHardwareNoError;
}

OSStatus PortAudioHardware::stop(AudioDeviceID device, AudioDeviceIOProc proc) {
    auto found = streams_.find(device);
    if (found == streams_.end() || found->second->proc != proc || found->second->stream == nullptr)
        return kAudioHardwareBadDeviceError;
    Stream& s = *found->second;
    s.stopping = true;
    // Abort rather than stop: a device that has gone away would never drain.
    const PaError error = Pa_AbortStream(s.stream);
    return error == paNoError || error == paStreamIsStopped ? kAudioHardwareNoError
                                                            : kAudioHardwareUnspecifiedError;
}

OSStatus PortAudioHardware::removeIOProc(AudioDeviceID device, AudioDeviceIOProc proc) {
    auto found = streams_.find(device);
    if (found == streams_.end() || found->second->proc != proc) return kAudioHardwareBadDeviceError;
    Stream& s = *found->second;
    if (s.stream != nullptr) {
        s.stopping = true;
        if (Pa_CloseStream(s.stream) != paNoError) return kAudioHardwareUnspecifiedError;
    }
    streams_.erase(found);
    return kAudioHardwareNoError;
}

// An unplugged ALSA card does not end a callback stream: its callbacks just
// stop coming (and PortAudio's thread spins on the dead device). A running
// stream that has not called back for a whole second has lost its device.
void PortAudioHardware::lookForSilentDevices() {
    std::vector<AudioDeviceID> gone;
    for (auto& [device, s] : streams_) {
        if (s->stream == nullptr || s->stopping) continue;
        reportLostFrames(device, *s);
        const uint64_t cycles = s->cycles.load(std::memory_order_relaxed);
        s->silentLooks = cycles == s->cyclesSeen ? s->silentLooks + 1 : 0;
        s->cyclesSeen = cycles;
        if (s->silentLooks == kSilentLooksForGone) gone.push_back(device);
    }
    for (AudioDeviceID device : gone) deviceGone(device);  // may stop and remove streams
}

// What the IO thread counted, said here: at most once a second a device, with
// the count since it was last said.
void PortAudioHardware::reportLostFrames(AudioDeviceID device, Stream& s) {
    const uint64_t lost = s.framesLost.load(std::memory_order_relaxed);
    const gint64 now = g_get_monotonic_time();
    if (lost == s.framesLostReported || now - s.lostReportedAt < G_USEC_PER_SEC) return;
    Log::line("Audio device \"%s\" lost %llu samples", Pa_GetDeviceInfo(paIndex(device))->name,
              static_cast<unsigned long long>(lost - s.framesLostReported));
    s.framesLostReported = lost;
    s.lostReportedAt = now;
}

void PortAudioHardware::deviceGone(AudioDeviceID device) {
    auto found = streams_.find(device);
    if (found == streams_.end() || found->second->stopping ||
        found->second->aliveListener == nullptr)
        return;
    found->second->aliveListener(kAudioDevicePropertyDeviceIsAlive, found->second->aliveClientData);
}
