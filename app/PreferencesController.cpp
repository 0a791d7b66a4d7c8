#include "app/PreferencesController.h"

#include "app/HotKeySetter.h"
#include "platform/CallbackGuard.h"
#include "platform/InterfaceFile.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "platform/UserDefaultsController.h"
#include "platform/X11Keyboard.h"

namespace {

constexpr const char* kHotKeyString = "values.HotKeyString";
constexpr const char* kTypedFormat = "values.TypedFormat";
constexpr const char* kAudioInputList = "values.audioInputList";
constexpr const char* kAudioInput = "values.audioInput";
constexpr const char* kFollowed[] = {kHotKeyString, kTypedFormat, kAudioInputList, kAudioInput};

constexpr const char* kCommandSign = "\u2318";
constexpr const char* kOptionSign = "\u2387";

std::string text(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace

// The window's C callbacks; each casts its user data and calls one member.
class PreferencesSignals {
public:
    static gboolean keyPressed(GtkWidget* window, GdkEventKey* key, gpointer self) {
        return runGuarded("Preferences", FALSE, [&] {
            auto* controller = static_cast<PreferencesController*>(self);
            // A modifier alone is not a key: the next real key, with it held, is.
            if (key->is_modifier || !controller->environment_.sendEvent) return FALSE;
            return controller->environment_.sendEvent(keyEvent(*key, window)) ? TRUE : FALSE;
        });
    }

    static void formatChanged(GtkEditable* field, gpointer self) {
        auto* controller = static_cast<PreferencesController*>(self);
        if (controller->updatingFields_) return;
        runGuarded("Preferences", [&] {
            controller->environment_.settings->setObjectForKey(gtk_entry_get_text(GTK_ENTRY(field)),
                                                               "TypedFormat");
        });
    }

    static void inputChosen(GtkComboBox* button, gpointer self) {
        auto* controller = static_cast<PreferencesController*>(self);
        if (controller->updatingFields_) return;
        g_autofree gchar* name = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(button));
        if (name == nullptr) return;
        runGuarded("Preferences",
                   [&] { controller->environment_.settings->setObjectForKey(name, "audioInput"); });
    }
};

PreferencesController::PreferencesController(Environment environment)
    : environment_(std::move(environment)) {
    if (environment_.settings == nullptr) environment_.settings = &UserDefaultsController::shared();
}

PreferencesController::~PreferencesController() {
    if (observing_) {
        for (const char* path : kFollowed) environment_.settings->removeObserver(*this, path);
    }
    hotKeySetter_.reset();
    if (preferenceWindow_ != nullptr) {
        g_signal_handlers_disconnect_by_data(preferenceWindow_, this);
        g_signal_handlers_disconnect_by_data(typedFormat_, this);
        g_signal_handlers_disconnect_by_data(audioInputButton_, this);
        gtk_widget_destroy(GTK_WIDGET(preferenceWindow_));
    }
}

GtkWidget* PreferencesController::hotKeySetter() const {
    return hotKeySetter_ ? GTK_WIDGET(hotKeySetter_->field()) : nullptr;
}

void PreferencesController::showPreferences() {
    InterfaceFile::showLoadingOnce(
        isNibLoaded_, [this] { return loadInterface(); }, [this] { awakeFromNib(); },
        environment_.alert);
}

bool PreferencesController::loadInterface() {
    const std::string file = environment_.interfaceFile.empty() ? Resources::path("Preferences.ui")
                                                                : environment_.interfaceFile;
    InterfaceFile parts(file);
    GObject* window = parts.object("preferenceWindow");
    GObject* status = parts.object("timecodeStatusField");
    GObject* input = parts.object("audioInputButton");
    GObject* format = parts.object("typedFormat");
    GObject* setter = parts.object("hotKeySetter");
    const bool complete = parts.read() && GTK_IS_WINDOW(window) && GTK_IS_LABEL(status) &&
                          GTK_IS_COMBO_BOX_TEXT(input) && GTK_IS_ENTRY(format) &&
                          GTK_IS_ENTRY(setter);
    if (!complete) {
        parts.discard("preferences window");
        return false;
    }
    preferenceWindow_ = GTK_WINDOW(window);
    timecodeStatusField_ = GTK_LABEL(status);
    audioInputButton_ = GTK_COMBO_BOX_TEXT(input);
    typedFormat_ = GTK_ENTRY(format);
    hotKeySetter_ = std::make_unique<HotKeySetter>(GTK_ENTRY(setter));
    wireSignals();
    return true;
}

void PreferencesController::wireSignals() {
    // Closing hides: the window is loaded once and shown again.
    g_signal_connect(preferenceWindow_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete),
                     nullptr);
    g_signal_connect(preferenceWindow_, "key-press-event",
                     G_CALLBACK(PreferencesSignals::keyPressed), this);
    g_signal_connect(typedFormat_, "changed", G_CALLBACK(PreferencesSignals::formatChanged), this);
    g_signal_connect(audioInputButton_, "changed", G_CALLBACK(PreferencesSignals::inputChosen),
                     this);
}

void PreferencesController::awakeFromNib() {
    gtk_window_present(preferenceWindow_);
    if (environment_.refreshDevicesList) environment_.refreshDevicesList();
    updateHotKeyGraphic();
    if (!observing_) {
        for (const char* path : kFollowed) environment_.settings->addObserver(*this, path);
        observing_ = true;
    }
    observeValueForKeyPath(std::nullopt);
    gtk_window_set_focus(preferenceWindow_, GTK_WIDGET(hotKeySetter_->field()));
}

void PreferencesController::observeValueForKeyPath(const std::optional<std::string>& keyPath) {
    if (preferenceWindow_ == nullptr) return;
    UserDefaultsController& settings = *environment_.settings;
    updatingFields_ = true;
    if (!keyPath || *keyPath == kHotKeyString) {
        hotKeySetter_->setText(text(settings.valueForKeyPath(kHotKeyString)).c_str());
    }
    if (!keyPath || *keyPath == kTypedFormat) {
        const std::string format = text(settings.valueForKeyPath(kTypedFormat));
        if (format != gtk_entry_get_text(typedFormat_))
            gtk_entry_set_text(typedFormat_, format.c_str());
    }
    if (!keyPath || *keyPath == kAudioInputList || *keyPath == kAudioInput) showInputList();
    updatingFields_ = false;
}

void PreferencesController::showInputList() {
    UserDefaultsController& settings = *environment_.settings;
    const nlohmann::json list = settings.valueForKeyPath(kAudioInputList);
    const std::string chosen = text(settings.valueForKeyPath(kAudioInput));
    gtk_combo_box_text_remove_all(audioInputButton_);
    int index = 0;
    for (const nlohmann::json& name : list.is_array() ? list : nlohmann::json::array()) {
        if (!name.is_string()) continue;
        gtk_combo_box_text_append_text(audioInputButton_,
                                       name.get_ref<const std::string&>().c_str());
        if (name == chosen) gtk_combo_box_set_active(GTK_COMBO_BOX(audioInputButton_), index);
        ++index;
    }
}

std::string PreferencesController::keycodeLine(const Event& event) {
    const uint32_t flags = event.modifierFlags;
    const auto flag = [&](uint32_t mask, char letter) {
        return (flags & mask) != 0 ? letter : ' ';
    };
    g_autofree gchar* line = g_strdup_printf(
        "Keycode: %c%c%c%c%c %03d %s", flag(Event::kAlphaShiftKeyMask | Event::kShiftKeyMask, 'S'),
        flag(Event::kControlKeyMask, 'C'), flag(Event::kAlternateKeyMask, 'A'),
        flag(Event::kCommandKeyMask, 'M'), flag(Event::kFunctionKeyMask, 'F'), event.keyCode,
        event.characters.c_str());
    return line;
}

void PreferencesController::newKeycode(const Event& event) {
    if (event.type == Event::kKeyDown || event.type == Event::kKeyUp) {
        Log::text(keycodeLine(event));
        const bool command = (event.modifierFlags & Event::kCommandKeyMask) != 0;
        const bool option = (event.modifierFlags & Event::kAlternateKeyMask) != 0;
        UserDefaultsController& settings = *environment_.settings;
        settings.setObjectForKey(std::string(command ? kCommandSign : "") +
                                     (option ? kOptionSign : "") + event.characters,
                                 "HotKeyString");
        settings.setObjectForKey(event.keyCode, "HotKeyCode");
        settings.setObjectForKey(command, "HotKeyCommand");
        settings.setObjectForKey(option, "HotKeyAlt");
    }
    if (preferenceWindow_ != nullptr) gtk_widget_hide(GTK_WIDGET(preferenceWindow_));
}
