#include "platform/InterfaceFile.h"

#include "platform/Log.h"

InterfaceFile::InterfaceFile(const std::string& path, const char* exposedName, GObject* exposed)
    : path_(path), builder_(gtk_builder_new()) {
    if (exposedName != nullptr) gtk_builder_expose_object(builder_, exposedName, exposed);
    GError* error = nullptr;
    read_ = gtk_builder_add_from_file(builder_, path_.c_str(), &error) != 0;
    if (!read_) {
        Log::line("Could not load %s: %s", path_.c_str(), error->message);
        g_error_free(error);
    }
}

InterfaceFile::~InterfaceFile() {
    g_object_unref(builder_);
}

void InterfaceFile::discard(const char* what) {
    if (read_) Log::line("%s lacks the %s's parts", path_.c_str(), what);
    GSList* objects = gtk_builder_get_objects(builder_);
    for (GSList* o = objects; o != nullptr; o = o->next) {
        if (GTK_IS_WINDOW(o->data)) gtk_widget_destroy(GTK_WIDGET(o->data));
    }
    g_slist_free(objects);
}

void InterfaceFile::showAlert(const std::string& text,
                              const std::function<void(const std::string&)>& shownBy) {
    if (shownBy) {
        shownBy(text);
        return;
    }
    GtkWidget* alert = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                              GTK_BUTTONS_NONE, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(alert), "Mirel");
    gtk_dialog_add_button(GTK_DIALOG(alert), "Abort", GTK_RESPONSE_CLOSE);
    gtk_dialog_run(GTK_DIALOG(alert));
    gtk_widget_destroy(alert);
}

void InterfaceFile::showLoadingOnce(bool& loaded, const std::function<bool()>& load,
                                    const std::function<void()>& show,
                                    const std::function<void(const std::string&)>& shownBy) {
    if (!loaded) loaded = load();
    if (loaded) {
        show();
    } else {
        showAlert(kLoadFailedText, shownBy);
    }
}
