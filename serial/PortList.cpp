// The port list's order and its text, on both systems.
#include "serial/PortDiscovery.h"

#include <cctype>

bool PortNameLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[j]);
        if (std::isdigit(ca) && std::isdigit(cb)) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && a[ie] == '0')
                ++ie;
            while (je < b.size() && b[je] == '0')
                ++je;
            size_t ie2 = ie;
            size_t je2 = je;
            while (ie2 < a.size() && std::isdigit(static_cast<unsigned char>(a[ie2])))
                ++ie2;
            while (je2 < b.size() && std::isdigit(static_cast<unsigned char>(b[je2])))
                ++je2;
            if (ie2 - ie != je2 - je)
                return ie2 - ie < je2 - je;
            const int c = a.compare(ie, ie2 - ie, b, je, je2 - je);
            if (c != 0)
                return c < 0;
            i = ie2;
            j = je2;
            continue;
        }
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}


std::string DescribeListedPorts() {
    std::string s;
    for (const auto& port : EnumerateSerialPorts()) {
        if (!s.empty())
            s += ", ";
        s += port.strDevice + (port.bConsole ? " (the kernel console)" : "");
    }
    return s.empty() ? std::string("no serial port is listed") : "the ports listed: " + s;
}
