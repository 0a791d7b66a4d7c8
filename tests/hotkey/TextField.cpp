// The front application of the hot key tests: a window with one focused text
// view. It prints "ready" once it has the keyboard focus, then its whole text,
// C-escaped, on a line after every change; a line "clear" on standard input
// empties it.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

namespace {

void printText(GtkTextBuffer* buffer, gpointer) {
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    g_autofree gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    g_autofree gchar* escaped = g_strescape(text, nullptr);
    std::printf("%s\n", escaped);
    std::fflush(stdout);
}

gboolean focused(GtkWidget*, GdkEvent*, gpointer) {
    static bool once = false;
    if (!once) std::printf("ready\n");
    once = true;
    std::fflush(stdout);
    return FALSE;
}

gboolean mapped(GtkWidget* window, GdkEvent*, gpointer) {
    // No window manager runs beside Xvfb to give the focus.
    GdkWindow* gdk = gtk_widget_get_window(window);
    XSetInputFocus(GDK_WINDOW_XDISPLAY(gdk), GDK_WINDOW_XID(gdk), RevertToParent, CurrentTime);
    return FALSE;
}

gboolean command(GIOChannel* channel, GIOCondition, gpointer buffer) {
    g_autofree gchar* line = nullptr;
    if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    gtk_text_buffer_set_text(GTK_TEXT_BUFFER(buffer), "", 0);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* view = gtk_text_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 200);
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    g_signal_connect(buffer, "changed", G_CALLBACK(printText), nullptr);
    g_signal_connect(view, "focus-in-event", G_CALLBACK(focused), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(mapped), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, GIOCondition(G_IO_IN | G_IO_HUP), command, buffer);
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(view);
    gtk_main();
    g_io_channel_unref(input);
    return 0;
}
