// Windows writes no kernel console to its COM ports, and a COM name is never a terminal of the
// session: no port is a console here.
#include "serial/KernelConsole.h"

std::vector<KERNEL_CONSOLE> ReadKernelConsoles(const CONSOLE_ROOTS&) {
    return {};
}

std::string ConsolePortReason(const std::string&, const CONSOLE_ROOTS&) {
    return "";
}
