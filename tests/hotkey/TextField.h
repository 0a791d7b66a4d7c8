#pragma once

#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/platform/MainLoop.h"

// The front application, and what its text view shows.
class TextField {
public:
    explicit TextField(const char* program) {
        const char* argv[] = {program, nullptr};
        GError* error = nullptr;
        gint in = -1, out = -1;
        ok_ = g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT,
                                       nullptr, nullptr, &pid_, &in, &out, nullptr, &error);
        if (!ok_) {
            g_printerr("%s: %s\n", program, error->message);
            g_error_free(error);
            return;
        }
        input_ = in;
        output_ = g_io_channel_unix_new(out);
        g_io_channel_set_close_on_unref(output_, TRUE);
        g_io_channel_set_flags(output_, G_IO_FLAG_NONBLOCK, nullptr);
        ok_ = runMainLoopUntil([&] { return readLines() && ready_; }, std::chrono::seconds(20));
    }
    ~TextField() {
        if (pid_ == 0) return;
        close(input_);
        g_io_channel_unref(output_);
        kill(pid_, SIGTERM);
        g_spawn_close_pid(pid_);
    }

    /// The program runs and shows its window with the keyboard focus.
    bool ready() const { return ok_; }

    void clear() {
        if (write(input_, "clear\n", 6) == 6) {
            runMainLoopUntil([&] { return readLines() && text_.empty(); }, std::chrono::seconds(5));
        }
    }

    /// The text once it equals `expected`, or what it was after a few seconds.
    std::string await(const std::string& expected) {
        g_autofree gchar* escaped = g_strescape(expected.c_str(), nullptr);
        runMainLoopUntil([&] { return readLines() && text_ == escaped; }, std::chrono::seconds(5));
        g_autofree gchar* text = g_strcompress(text_.c_str());
        return text;
    }

private:
    bool readLines() {
        gchar* line = nullptr;
        gsize length = 0;
        while (g_io_channel_read_line(output_, &line, &length, nullptr, nullptr) ==
               G_IO_STATUS_NORMAL) {
            std::string text(line, length);
            g_free(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            if (text == "ready" && !ready_) {
                ready_ = true;
            } else {
                text_ = text;
            }
        }
        return true;
    }

    bool ok_ = false;
    GPid pid_ = 0;
    int input_ = -1;
    GIOChannel* output_ = nullptr;
    bool ready_ = false;
    std::string text_;
};
