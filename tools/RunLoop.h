#pragma once

#include <functional>

/// Runs the GLib main loop until `seconds` have passed (0: until SIGINT or SIGTERM).
void runMainLoop(double seconds);

/// Runs `body` with standard output sent to standard error: the capture's
/// set-up reports ("SR = ...") go to standard output, where they would break
/// the table.
void withStdoutOnStderr(const std::function<void()>& body);

/// Stops capturing, then runs what is still on its way to the main loop.
void stopCaptureAndDrain();
