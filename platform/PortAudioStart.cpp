#include "platform/PortAudioStart.h"

#include <alsa/asoundlib.h>

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

PaError initializePortAudioQuietly() {
    snd_lib_error_set_handler(&ignoreAlsaError);
    const PaError error = Pa_Initialize();
    snd_lib_error_set_handler(nullptr);
    return error;
}

std::string portAudioErrorText(PaError error) {
    std::string text = std::string(Pa_GetErrorText(error)) + " (" + std::to_string(error) + ")";
    if (error == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0')
            text += ": " + std::string(host->errorText);
    }
    return text;
}
