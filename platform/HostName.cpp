#include "platform/HostName.h"

#include <unistd.h>

std::string GetHostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return {};
    return buf;
}
