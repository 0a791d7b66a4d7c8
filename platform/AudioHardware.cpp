#include "platform/AudioHardware.h"

#include "platform/PortAudioHardware.h"

namespace {
AudioHardware* installed = nullptr;
}

AudioHardware& audioHardware() {
    return installed != nullptr ? *installed : PortAudioHardware::shared();
}

void setAudioHardware(AudioHardware* hardware) {
    installed = hardware;
}
