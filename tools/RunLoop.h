#pragma once

/// Runs the GLib main loop until `seconds` have passed (0: until SIGINT or SIGTERM).
void runMainLoop(double seconds);

/// Stops capturing, then runs what is still on its way to the main loop.
void stopCaptureAndDrain();
