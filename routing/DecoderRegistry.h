#pragma once

#include <vector>

#include "audio/AudioSoundInput.h"
#include "decode/TimecodeListener.h"

// The decoder registry: one decoder for every input channel of every audio
// device, in device order and channel order, so that a device's decoders sit
// side by side. Filled once on the main thread before any capture can read it;
// its storage never moves afterwards. The registry and its decoders live until
// the process ends: never destroyed, not even at exit, when capture threads may
// still be reading them.
extern std::vector<TCListener*>& allListeners;

/// The data callback of every capture (once called theData), on that device's
/// real-time thread. `userValue` is the registry position of the device's
/// first decoder. Feeds each channel's samples to its decoder, never past the
/// device's decoders. Allocates, locks and prints nothing. Always 0.
long dispatchSamples(int sampleCount, int channelCount, float* samples, void* userValue) noexcept;

/// Builds the registry (once DoInitMainThingyBeforeRunLoop), decoder c of
/// device d reporting d × 100 + c to `callback` with `context`, and starts
/// capture on every device with input channels, each capture delivering
/// through `data`. Of a device with more than 100 input channels only the
/// first 100 are decoded, so that identifiers stay unique; a log line says so.
/// Main thread; once.
void startDecodersAndCapture(TimecodeCallback callback, void* context,
                             DataCallback data = dispatchSamples);

/// The start-up the timecode controller runs once while it initialises (once
/// runMacMainThread, though it starts no thread: each device's capture brings one).
void startDecodingAllInputs(TimecodeCallback callback, void* context);
