#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioInputDevices.h"
#include "decode/SMPTE_tc.h"
#include "decode/TimecodeListener.h"
#include "network/TimecodeReceiver.h"
#include "network/TimecodeReceiverDelegate.h"
#include "network/TimecodeSender.h"
#include "platform/CaptureHandOver.h"
#include "platform/LatestValue.h"
#include "platform/RepeatingTimer.h"
#include "platform/SettingsObserver.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeControllerListener.h"
#include "routing/TimecodeWrapper.h"

// Where timecode from every source meets. Accepts only the values of the
// source that "audioInput" selects (one audio device, or no device at all:
// then the network source of that name and the open movie), hands each
// accepted value to the listeners and then to the network sender, and keeps
// "timecodeRunning" and "fpsString" up to date.
//
// The selected source is a base identifier: device d gives d × 100, anything
// else -200. A value is the selected source's when its myId lies in
// [base, base + 99).
//
// Values reach the main thread by two roads: audio values through a capture
// hand-over with one preallocated ring per device, keeping each device's
// order (queueDecodedTimecode, on the device's capture thread, never locks,
// allocates or waits; a full ring drops the value and the status tick reports
// the count), and network and movie values through one latest-value slot per
// producer (timecode(), from the receiver thread or the main thread): a peer
// that sends faster than the main thread can show costs the main thread one
// value per pass of its loop, never a growing queue, and the tick reports how
// many were passed over.
//
// Thread contract: main thread, except queueDecodedTimecode (capture threads),
// timecode() (any thread but a real-time one) and observeValueForKeyPath()
// (whichever thread wrote "audioInput": a write made off the main thread has
// its re-selection carried over to the main thread, so the selection is only
// ever read and changed there). Destroy on the main thread, after capture has
// stopped (its decoders call back into the controller); the system never does.
class TimecodeController : public SettingsObserver,
                           public TimecodeReceiverDelegate,
                           public TimecodeListeners {
public:
    /// Wall-clock time in microseconds since the epoch.
    using Clock = std::function<int64_t()>;
    /// Starts decoding every input channel of every device, reporting to the
    /// callback with the context.
    using AudioStart = std::function<void(TimecodeCallback, void* context)>;

    /// What the process's controller stands on; tests replace parts of it.
    struct Environment {
        UserDefaultsController* settings = &UserDefaultsController::shared();
        Clock clock = wallClock;
        AudioStart startAudio = defaultAudioStart;
        /// The status tick's period; zero starts no timer (tests tick by hand).
        std::chrono::milliseconds tickInterval{500};
        /// The receiver's subscription number base.
        int numberBase = TimecodeReceiver::randomNumberBase();
    };

    static constexpr int32_t kNoAudioDevice = -200;
    static constexpr size_t kValuesPerDevice = 4096;  ///< about two seconds of 64 channels

    /// The process's controller, created with the process's environment on
    /// the first call. Main thread.
    static TimecodeController& globalInstance();

    /// Start-up: sender, publication, receiver, device list, selection,
    /// settings observer, audio decoding, status timer.
    explicit TimecodeController(Environment environment);
    /// With the process's environment.
    TimecodeController();
    ~TimecodeController();

    TimecodeController(const TimecodeController&) = delete;
    TimecodeController& operator=(const TimecodeController&) = delete;

    void listen(TimecodeControllerListener& listener) override;
    void stopListening(TimecodeControllerListener& listener) override;

    /// The entry of network and movie values; any thread that may allocate.
    /// The value is queued for the main thread as the source -200.
    void timecode(std::unique_ptr<SMPTE_tc> tc) override;

    TimecodeReceiver& networkTimecodeReceiver() { return *timecodeReceiver; }
    const TimecodeSender& networkTimecodeSender() const { return *timecodeSender; }
    /// The network sources of other copies: what the receiver sees, less our
    /// own service. Main thread.
    std::vector<std::shared_ptr<NetService>> otherTimecodeSources() const;

    /// Name of device i of the list read at start-up; nothing when i is outside it.
    std::optional<std::string> getAudioNameById(int32_t i) const;
    /// i × 100 for the first device named exactly so; -1 when none is.
    int32_t getAudioIdByName(const std::string& name) const;

    /// Re-selects on "values.audioInput" and on the null key path.
    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override;
    void updateSelectedDeviceNumber();
    /// Whether the service is the one this copy publishes. Main thread.
    bool isOwnTimecodeSource(const NetService& service) const;

    /// Accepts or drops one value. Main thread.
    void receiveTimecode(const TimecodeWrapper& wrapper);
    /// The status tick: the timer calls it every half second.
    void refreshTimecode();

    /// The application's rebuild of its input lists, run after network sources
    /// were found or lost and no more such news is pending. Main thread.
    void setDevicesListRefresher(std::function<void()> refresh);

    void timecodeReceiverDidFindService(TimecodeReceiver& receiver,
                                        const std::shared_ptr<NetService>& service,
                                        bool moreComing) override;
    void timecodeReceiverDidRemoveService(TimecodeReceiver& receiver,
                                          const std::shared_ptr<NetService>& service,
                                          bool moreComing) override;

private:
    friend void queueDecodedTimecode(const SMPTE_tc& tc, void* controller) noexcept;

    static int64_t wallClock();
    static void defaultAudioStart(TimecodeCallback callback, void* context);

    void updateBonjour();
    void tempListAudioDevices();
    void _changeTimeSourceAllegiance(std::shared_ptr<NetService> service);
    /// _changeTimeSourceAllegiance, but never to our own service.
    void followNetworkSource(std::shared_ptr<NetService> service);
    void startAudioDecoding();
    bool isFromSelectedSource(const SMPTE_tc& tc) const;
    bool isOtherChannelTooSoon(const SMPTE_tc& tc, int64_t now) const;
    void detectFrameRate(const SMPTE_tc& tc);
    void writeRunningStatus(bool running);
    void reportDroppedValues();
    void reportReplacedValues(int64_t now);
    /// Capture thread of device tc.myId / 100.
    void captureTimecode(const SMPTE_tc& tc) noexcept;

    std::vector<TimecodeControllerListener*> registeredListeners;
    std::unique_ptr<TimecodeSender> timecodeSender;
    std::unique_ptr<TimecodeReceiver> timecodeReceiver;
    std::shared_ptr<NetService> myOnlyTimeSource;
    std::unique_ptr<AudioInputDevices> aid;
    int32_t aidDeviceChannelSelected = kNoAudioDevice;
    int64_t lastTimeSend = 0;  ///< microseconds since the epoch of the last acceptance
    int32_t lastTimeSendId = 0;
    SMPTE_tc lastTimeSent{};
    int32_t fps = 0;
    bool isDf = false;
    /// The status last written to "timecodeRunning".
    enum class RunningStatus : int32_t { kNothingWritten = -1, kNotRunning = 0, kRunning = 1 };
    RunningStatus isRunning = RunningStatus::kNothingWritten;

    Environment environment_;
    UserDefaultsController& settings_;
    const std::thread::id mainThread_;
    std::function<void()> refreshDevicesList_;
    std::unique_ptr<CaptureHandOver<TimecodeWrapper>> audioValues_;
    std::vector<uint64_t> reportedDrops_;  ///< per device, as last logged
    /// The receiver's values and the movie's (which comes on the main thread).
    std::unique_ptr<LatestValue<TimecodeWrapper>> networkValues_, movieValues_;
    uint64_t reportedReplaced_ = 0;  ///< network values passed over, as last logged
    int64_t replacedReportedAt_ = 0;
    std::unique_ptr<RepeatingTimer> timer_;
    /// Work queued for the main thread holds a weak handle, so it finds a
    /// controller that has gone (tests destroy theirs).
    std::shared_ptr<TimecodeController*> alive_;

    static TimecodeController* globalMe;  ///< main thread only
};

/// The callback of every LTC decoder (once printTimecodeData, though it prints
/// nothing), on the device's capture thread, with the controller as context:
/// queues the value for the main thread without locking, allocating or
/// waiting. A value from no known device is dropped.
void queueDecodedTimecode(const SMPTE_tc& tc, void* controller) noexcept;
