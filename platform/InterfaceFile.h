#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

// An interface file (GtkBuilder) read for its parts. A file that cannot be
// read is logged; one that lacks a part is discarded whole, so that no window
// it made lives on unseen.
//
// Thread contract: main thread.
class InterfaceFile {
public:
    static constexpr const char* kLoadFailedText =
        "Could not load application data!\n\nPlease reinstall Mirel.";

    /// The modal error alert titled "Mirel" with its one button, "Abort";
    /// returns when it is pressed. Through `shownBy` instead when there is one
    /// (the tests' hand).
    static void showAlert(const std::string& text,
                          const std::function<void(const std::string&)>& shownBy = {});

    /// `exposed` is named in the file as `exposedName` (null: nothing exposed).
    /// Shows a window whose interface file is read on first use: `load`
    /// reads it (true when whole) and sets `loaded`, `show` shows the window.
    /// A file that cannot be read is alerted and read again the next time.
    static void showLoadingOnce(bool& loaded, const std::function<bool()>& load,
                                const std::function<void()>& show,
                                const std::function<void(const std::string&)>& shownBy);

    explicit InterfaceFile(const std::string& path, const char* exposedName = nullptr,
                           GObject* exposed = nullptr);
    ~InterfaceFile();  ///< GTK keeps the toplevel windows it made

    InterfaceFile(const InterfaceFile&) = delete;
    InterfaceFile& operator=(const InterfaceFile&) = delete;

    bool read() const { return read_; }
    GObject* object(const char* id) const { return gtk_builder_get_object(builder_, id); }

    /// Logs "PATH lacks the WHAT's parts" (for a file that was read) and
    /// destroys every window the file made.
    void discard(const char* what);

private:
    std::string path_;
    GtkBuilder* builder_;
    bool read_ = false;
};
