#pragma once

/// Runs the GLib main loop until `seconds` have passed (0: until SIGINT or SIGTERM).
void runMainLoop(double seconds);
