#pragma once

#include <optional>

/// Runs the timecode controller headless: decodes every input channel, accepts
/// the source that "audioInput" selects, shares it on the network, and prints
/// each accepted value and each status the controller writes, until `seconds`
/// have passed (0: until SIGINT or SIGTERM). With `webPort`, also serves the
/// browser clock on that port. 0; 2 when the browser clock cannot be served.
int shareLive(double seconds, std::optional<int> webPort = std::nullopt);
