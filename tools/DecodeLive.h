#pragma once

/// Lists the audio devices: position, name, maker, input channels. 0.
int listDevices();

/// Decodes every input channel of every device until `seconds` have passed
/// (0: until SIGINT or SIGTERM). 0.
int decodeLive(double seconds);
