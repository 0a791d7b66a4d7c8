#pragma once

#include <gtk/gtk.h>

#include "platform/Event.h"

// The preferences window's hot key field: it shows the hot key and never
// edits its text from the keyboard. The key pressed in it reaches the
// preferences controller through the application's event routing; the
// presses, releases and modifier changes that come to the field itself do
// nothing.
//
// Thread contract: main thread.
class HotKeySetter {
public:
    explicit HotKeySetter(GtkEntry* field);
    ~HotKeySetter();

    HotKeySetter(const HotKeySetter&) = delete;
    HotKeySetter& operator=(const HotKeySetter&) = delete;

    void keyDown(const Event&) {}
    void keyUp(const Event&) {}
    void flagsChanged(const Event&) {}
    /// Changes nothing; logs the key of a key-up event as the preferences
    /// controller does.
    void newKeycode(const Event& event);

    GtkEntry* field() const { return field_; }
    void setText(const char* text);

private:
    static gboolean swallow(GtkWidget*, GdkEvent*, gpointer);

    GtkEntry* field_;
};
