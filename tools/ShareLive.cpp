#include "tools/ShareLive.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "clock/WebClockSharing.h"
#include "platform/PreferencesFile.h"
#include "platform/SettingsDefaults.h"
#include "platform/UserDefaultsController.h"
#include "routing/TimecodeController.h"
#include "tools/RecordLine.h"
#include "tools/RunLoop.h"

namespace {

class AcceptedValuePrinter : public TimecodeControllerListener {
public:
    void receiveTimecode(const TimecodeWrapper& wrapper) override {
        printAcceptedLine(*wrapper.timecode());
        std::fflush(stdout);
    }
};

class StatusPrinter : public SettingsObserver {
public:
    explicit StatusPrinter(UserDefaultsController& settings) : settings_(settings) {}

    void observeValueForKeyPath(const std::optional<std::string>& keyPath) override {
        if (!keyPath) return;
        const nlohmann::json value = settings_.valueForKeyPath(*keyPath);
        printSettingLine(keyPath->substr(UserDefaultsController::kKeyPathPrefix.size()),
                         value.is_string() ? value.get<std::string>() : value.dump());
        std::fflush(stdout);
    }

private:
    UserDefaultsController& settings_;
};

// The user's settings as stored, read but never written back: a running copy
// of the application saves to the same file, and a tool must not overwrite
// its changes with a stale view.
void loadSettings(UserDefaultsController& settings) {
    settings.registerDefaults(SettingsDefaults::registered());
    const nlohmann::json stored = PreferencesFile(PreferencesFile::standardPath()).load();
    for (const auto& [key, value] : stored.items()) settings.setObjectForKey(value, key);
}

}  // namespace

int shareLive(double seconds, std::optional<int> webPort) {
    UserDefaultsController& settings = UserDefaultsController::shared();
    loadSettings(settings);
    StatusPrinter status(settings);
    settings.addObserver(status, "values.timecodeRunning");
    settings.addObserver(status, "values.fpsString");

    AcceptedValuePrinter values;
    TimecodeController::globalInstance().listen(values);
    // The command line decides, whatever the stored settings say.
    settings.setObjectForKey(webPort ? "1" : "0", "WebClockShare");
    if (webPort) settings.setObjectForKey(*webPort, "WebClockPort");
    std::optional<WebClockSharing> browsers;
    browsers.emplace(TimecodeController::globalInstance(), settings);
    if (webPort && !browsers->isSharing()) {
        std::fprintf(stderr, "mirel-decode: --web %d: %s\n", *webPort, browsers->failure().c_str());
        return 2;
    }
    runMainLoop(seconds);
    browsers.reset();

    // What is still on its way is printed. The controller and its threads live
    // on until the process ends, as in the application.
    stopCaptureAndDrain();
    TimecodeController::globalInstance().stopListening(values);
    settings.removeObserver(status, "values.timecodeRunning");
    settings.removeObserver(status, "values.fpsString");
    std::fflush(stdout);
    return 0;
}
