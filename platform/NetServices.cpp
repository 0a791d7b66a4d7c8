#include "platform/AvahiNetServices.h"
#include "platform/NetService.h"

namespace {

NetServices* installed = nullptr;  ///< a test's stand-in; main thread only

}  // namespace

NetServices& netServices() {
    if (installed != nullptr) return *installed;
    // Never destroyed: what it made is published and browsed until the process ends.
    static NetServices* const avahi = new AvahiNetServices;
    return *avahi;
}

void setNetServices(NetServices* services) {
    installed = services;
}
