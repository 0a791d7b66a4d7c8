#pragma once

#include <portaudio.h>

#include <string>

// What capture and movie sound share of PortAudio: starting it quietly
// (Pa_Initialize probes every PCM ALSA knows of, and ALSA reports each absent
// card on standard error: noise, not news), and its error codes as words.
//
// Thread contract: main thread, like Pa_Initialize itself.
PaError initializePortAudioQuietly();

/// PortAudio's code as words, with the code itself for a search; and ALSA's
/// words too when the failure came from there.
std::string portAudioErrorText(PaError error);
