#include "routing/TimecodeController.h"

#include <glib.h>

#include <algorithm>
#include <cinttypes>
#include <utility>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/MainThread.h"
#include "routing/DecoderRegistry.h"

namespace {

constexpr const char* kAudioInputKeyPath = "values.audioInput";
constexpr int32_t kIdsPerSource = 99;
constexpr int64_t kChannelAllegianceMicros = 20'000;
constexpr int64_t kRunningWindowMicros = 250'000;

// The text a log line shows for a setting or a service that is not there.
constexpr const char* kNull = "(null)";

std::string describe(const nlohmann::json& setting) {
    if (setting.is_string()) return setting.get<std::string>();
    return setting.is_null() ? kNull : setting.dump();
}

}  // namespace

TimecodeController* TimecodeController::globalMe = nullptr;

TimecodeController& TimecodeController::globalInstance() {
    // Never destroyed: capture threads, the receiver and the timer use it until exit.
    if (globalMe == nullptr) globalMe = new TimecodeController;
    return *globalMe;
}

int64_t TimecodeController::wallClock() {
    return g_get_real_time();
}

void TimecodeController::defaultAudioStart(TimecodeCallback callback, void* context) {
    startDecodingAllInputs(callback, context);
}

TimecodeController::TimecodeController(Environment environment)
    : environment_(std::move(environment)),
      settings_(*environment_.settings),
      mainThread_(std::this_thread::get_id()),
      alive_(std::make_shared<TimecodeController*>(this)) {
    timecodeSender = std::make_unique<TimecodeSender>();
    updateBonjour();
    const auto accept = [this](const TimecodeWrapper& wrapper) { receiveTimecode(wrapper); };
    networkValues_ = std::make_unique<LatestValue<TimecodeWrapper>>(accept);
    movieValues_ = std::make_unique<LatestValue<TimecodeWrapper>>(accept);
    timecodeReceiver = std::make_unique<TimecodeReceiver>(environment_.numberBase);
    timecodeReceiver->setDelegate(this);
    tempListAudioDevices();
    updateSelectedDeviceNumber();
    settings_.addObserver(*this, kAudioInputKeyPath);
    startAudioDecoding();
    if (environment_.tickInterval.count() > 0) {
        timer_ = std::make_unique<RepeatingTimer>(environment_.tickInterval,
                                                  [this] { refreshTimecode(); });
    }
}

TimecodeController::TimecodeController() : TimecodeController(Environment{}) {}

TimecodeController::~TimecodeController() {
    timer_.reset();
    settings_.removeObserver(*this, kAudioInputKeyPath);
    // Waits out a value the receiver thread may be handing in right now.
    timecodeReceiver->setDelegate(nullptr);
    alive_.reset();
    if (globalMe == this) globalMe = nullptr;
}

void TimecodeController::startAudioDecoding() {
    const size_t devices = size_t(std::max(0, aid->getDevicesCount()));
    audioValues_ = std::make_unique<CaptureHandOver<TimecodeWrapper>>(
        std::max<size_t>(devices, 1), kValuesPerDevice,
        [this](const TimecodeWrapper& wrapper) { receiveTimecode(wrapper); });
    reportedDrops_.assign(audioValues_->queueCount(), 0);
    if (environment_.startAudio) environment_.startAudio(queueDecodedTimecode, this);
}

void TimecodeController::updateBonjour() {
    timecodeSender->setBonjourName("mirel://" + Host::currentName());
}

void TimecodeController::tempListAudioDevices() {
    aid = std::make_unique<AudioInputDevices>();
}

void TimecodeController::listen(TimecodeControllerListener& listener) {
    registeredListeners.push_back(&listener);
}

void TimecodeController::stopListening(TimecodeControllerListener& listener) {
    std::erase(registeredListeners, &listener);
}

void TimecodeController::setDevicesListRefresher(std::function<void()> refresh) {
    refreshDevicesList_ = std::move(refresh);
}

std::optional<std::string> TimecodeController::getAudioNameById(int32_t i) const {
    if (i < 0 || i >= aid->getDevicesCount()) return std::nullopt;
    return std::string(aid->getDeviceName(unsigned(i)).get());
}

int32_t TimecodeController::getAudioIdByName(const std::string& name) const {
    for (int32_t i = 0; i < aid->getDevicesCount(); ++i) {
        if (name == aid->getDeviceName(unsigned(i)).get()) return i * 100;
    }
    return -1;
}

void TimecodeController::observeValueForKeyPath(const std::optional<std::string>& keyPath) {
    if (keyPath && *keyPath != kAudioInputKeyPath) return;
    if (std::this_thread::get_id() == mainThread_) {
        updateSelectedDeviceNumber();
        return;
    }
    // The pages switch the source from another thread while values are being
    // accepted here; the selection is only ever touched on the main thread.
    MainThread::post([alive = std::weak_ptr(alive_)] {
        if (auto self = alive.lock()) (*self)->updateSelectedDeviceNumber();
    });
}

void TimecodeController::updateSelectedDeviceNumber() {
    const nlohmann::json value = settings_.valueForKeyPath(kAudioInputKeyPath);
    const std::optional<std::string> name =
        value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt;
    const int32_t id = name ? getAudioIdByName(*name) : -1;
    Log::line("Using Timecode Source<%d>: %s", id, describe(value).c_str());
    aidDeviceChannelSelected = id;
    if (id != -1) {
        _changeTimeSourceAllegiance(nullptr);
        return;
    }
    aidDeviceChannelSelected = kNoAudioDevice;
    followNetworkSource(name ? timecodeReceiver->getSourceForUrl(*name) : nullptr);
}

void TimecodeController::followNetworkSource(std::shared_ptr<NetService> service) {
    // Subscribed to ourselves, every value we accept would come back to be
    // accepted and sent again: the tick's re-sends would circle without end.
    if (service && isOwnTimecodeSource(*service)) {
        Log::line("Not following \"%s\": it is this copy's own timecode", service->name().c_str());
        service = nullptr;
    }
    _changeTimeSourceAllegiance(std::move(service));
}

bool TimecodeController::isOwnTimecodeSource(const NetService& service) const {
    // DNS-SD keeps names unique among the services of one type, so a found
    // service with our published name is ours.
    const std::optional<std::string> own = timecodeSender->publishedName();
    return own && service.name() == *own;
}

std::vector<std::shared_ptr<NetService>> TimecodeController::otherTimecodeSources() const {
    const std::optional<std::string> own = timecodeSender->publishedName();
    std::vector<std::shared_ptr<NetService>> others;
    for (const auto& service : timecodeReceiver->visibleTimecodeSources()) {
        if (!own || service->name() != *own) others.push_back(service);
    }
    return others;
}

// By value: the caller may hand in the very source it replaces.
void TimecodeController::_changeTimeSourceAllegiance(std::shared_ptr<NetService> service) {
    timecodeReceiver->unsubscribeToTimeSource(myOnlyTimeSource);
    Log::line("Changed Time Source Alliegence To: %s", service ? service->name().c_str() : kNull);
    myOnlyTimeSource = nullptr;
    if (!service) return;
    timecodeReceiver->subscribeToTimeSource(service);
    myOnlyTimeSource = std::move(service);
}

void TimecodeController::timecodeReceiverDidFindService(TimecodeReceiver&,
                                                        const std::shared_ptr<NetService>& service,
                                                        bool moreComing) {
    const nlohmann::json selected = settings_.valueForKeyPath(kAudioInputKeyPath);
    if (selected.is_string() && selected.get<std::string>() == service->name()) {
        followNetworkSource(service);
    }
    if (!moreComing && refreshDevicesList_) refreshDevicesList_();
}

void TimecodeController::timecodeReceiverDidRemoveService(TimecodeReceiver&,
                                                          const std::shared_ptr<NetService>&,
                                                          bool moreComing) {
    // A source that goes away stays subscribed: it may come back.
    if (!moreComing && refreshDevicesList_) refreshDevicesList_();
}

void TimecodeController::timecode(std::unique_ptr<SMPTE_tc> tc) {
    if (!tc) return;
    TimecodeWrapper wrapper(*tc);
    wrapper.timecode()->myId = kNoAudioDevice;
    // One slot per producer, so that neither passes over the other's values:
    // the movie produces on the main thread, the receiver on its own.
    LatestValue<TimecodeWrapper>& slot =
        std::this_thread::get_id() == mainThread_ ? *movieValues_ : *networkValues_;
    slot.post(wrapper);
}

void queueDecodedTimecode(const SMPTE_tc& tc, void* controller) noexcept {
    static_cast<TimecodeController*>(controller)->captureTimecode(tc);
}

void TimecodeController::captureTimecode(const SMPTE_tc& tc) noexcept {
    // Each device's capture thread is the one producer of the ring myId / 100.
    if (tc.myId < 0) return;
    const size_t device = size_t(tc.myId / 100);
    if (device >= audioValues_->queueCount()) return;  // a device that came after start-up
    audioValues_->push(device, TimecodeWrapper(tc));
}

bool TimecodeController::isFromSelectedSource(const SMPTE_tc& tc) const {
    return tc.myId >= aidDeviceChannelSelected &&
           tc.myId < aidDeviceChannelSelected + kIdsPerSource;
}

bool TimecodeController::isOtherChannelTooSoon(const SMPTE_tc& tc, int64_t now) const {
    return lastTimeSend - kChannelAllegianceMicros < now &&
           now < lastTimeSend + kChannelAllegianceMicros && tc.myId != lastTimeSendId;
}

void TimecodeController::receiveTimecode(const TimecodeWrapper& wrapper) {
    const SMPTE_tc& tc = *wrapper.timecode();
    if (!isFromSelectedSource(tc)) return;
    const int64_t now = environment_.clock();
    // Two channels of one device carrying the same timecode would otherwise
    // interleave; the channel heard last keeps the lead for 20 ms.
    if (isOtherChannelTooSoon(tc, now)) return;
    if (tc.f() == 0) detectFrameRate(tc);

    // Counted once: a listener that registers another during the call does
    // not hear this value, and one that leaves is not called past the end.
    const size_t listeners = registeredListeners.size();
    for (size_t i = 0; i < listeners && i < registeredListeners.size(); ++i) {
        registeredListeners[i]->receiveTimecode(wrapper);
    }
    timecodeSender->sendTimecodeToAllClients(&tc);

    lastTimeSendId = tc.myId;
    lastTimeSend = now;
    lastTimeSent = tc;
}

void TimecodeController::detectFrameRate(const SMPTE_tc& tc) {
    const int32_t p = lastTimeSent.f();
    if (p != 23 && p != 24 && p != 29) return;
    if (p + 1 == fps && isDf == tc.dropFrame) return;
    fps = p + 1;
    isDf = tc.dropFrame;
    settings_.setObjectForKey(isDf ? std::to_string(p) + ".97" : std::to_string(p + 1),
                              "fpsString");
}

void TimecodeController::refreshTimecode() {
    const int64_t now = environment_.clock();
    const bool running =
        lastTimeSend - kRunningWindowMicros <= now && now <= lastTimeSend + kRunningWindowMicros;
    // Subscribers keep hearing the last value while nothing new comes.
    if (!running) timecodeSender->sendTimecodeToAllClients(&lastTimeSent);
    reportDroppedValues();
    reportReplacedValues(now);
    const auto status = running ? RunningStatus::kRunning : RunningStatus::kNotRunning;
    if (status != isRunning) writeRunningStatus(running);
}

void TimecodeController::writeRunningStatus(bool running) {
    isRunning = running ? RunningStatus::kRunning : RunningStatus::kNotRunning;
    // Decided from the selection in force now, not the one the values came from.
    const char* stopped = aidDeviceChannelSelected == kNoAudioDevice ? "Disconnected" : "Stopped";
    settings_.setObjectForKey(running ? "Running" : stopped, "timecodeRunning");
}

// The capture side only counts what a full ring drops; saying so is ours.
void TimecodeController::reportDroppedValues() {
    for (size_t device = 0; device < reportedDrops_.size(); ++device) {
        const uint64_t dropped = audioValues_->dropped(device);
        if (dropped == reportedDrops_[device]) continue;
        Log::line("Dropped %" PRIu64
                  " timecode values of audio device %zu: the main loop fell behind",
                  dropped - reportedDrops_[device], device);
        reportedDrops_[device] = dropped;
    }
}

// A steady stream from a peer passes over none; a flood passes over nearly all.
// Said at most once a second, with the count since it was last said.
void TimecodeController::reportReplacedValues(int64_t now) {
    const uint64_t replaced = networkValues_->replaced();
    if (replaced == reportedReplaced_ || now - replacedReportedAt_ < 1'000'000) return;
    Log::line("Passed over %" PRIu64
              " network timecode values: they came faster than the main loop took them",
              replaced - reportedReplaced_);
    reportedReplaced_ = replaced;
    replacedReportedAt_ = now;
}
