#pragma once

/// Runs the timecode controller headless: decodes every input channel, accepts
/// the source that "audioInput" selects, shares it on the network, and prints
/// each accepted value and each status the controller writes, until `seconds`
/// have passed (0: until SIGINT or SIGTERM). 0.
int shareLive(double seconds);
