#include "app/HotKeySetter.h"

#include "app/PreferencesController.h"
#include "platform/Log.h"

HotKeySetter::HotKeySetter(GtkEntry* field) : field_(field) {
    gtk_editable_set_editable(GTK_EDITABLE(field_), FALSE);
    g_signal_connect(field_, "key-press-event", G_CALLBACK(&HotKeySetter::swallow), this);
    g_signal_connect(field_, "key-release-event", G_CALLBACK(&HotKeySetter::swallow), this);
}

HotKeySetter::~HotKeySetter() {
    g_signal_handlers_disconnect_by_data(field_, this);
}

gboolean HotKeySetter::swallow(GtkWidget*, GdkEvent*, gpointer) {
    return TRUE;
}

void HotKeySetter::newKeycode(const Event& event) {
    if (event.type == Event::kKeyUp) Log::text(PreferencesController::keycodeLine(event));
}

void HotKeySetter::setText(const char* text) {
    gtk_entry_set_text(field_, text);
}
