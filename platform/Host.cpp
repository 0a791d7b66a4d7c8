#include "platform/Host.h"

#include <glib.h>

std::string Host::currentName() {
    return g_get_host_name();
}
