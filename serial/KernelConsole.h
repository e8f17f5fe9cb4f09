#pragma once
// The consoles of the machine. On a server or a board whose kernel console is a serial port
// (console=ttyS0 on its command line) the kernel writes its messages to that port, and a login
// prompt often runs on it: an upload there would write breaks and load records into the
// console. Such a port is listed as the console, never chosen on its own, refused when named,
// and a station starts no session on it. Linux reads /proc/consoles and
// /sys/class/tty/console/active (KernelConsole.cpp); Windows has no kernel console on its COM
// ports (KernelConsole_win32.cpp).

#include <string>
#include <vector>

// Where the console files are; a test hands in a tree of its own.
struct CONSOLE_ROOTS {
    std::string strProcConsoles = "/proc/consoles";
    std::string strSysClassTty = "/sys/class/tty"; // its console/active, and each tty's dev
    std::string strDevDir = "/dev";
};

struct KERNEL_CONSOLE {
    std::string strName; // the tty's name as the kernel gives it: ttyS0, ttyAMA0, hvc0, tty0
    int nMajor = -1;     // its device number, -1 when not known
    int nMinor = -1;
};

// The consoles the kernel writes to, from both files, each once.
std::vector<KERNEL_CONSOLE> ReadKernelConsoles(const CONSOLE_ROOTS& roots = {});

// Why the device behind a port name is a console, or "" when it is none: a kernel console,
// found by its name or its device number through any link (/dev/serial0 -> ttyS0), the system
// console /dev/console, the session's terminal /dev/tty, or a virtual console. The text follows
// the device's path: "/dev/serial0 is the kernel console (ttyS0)".
std::string ConsolePortReason(const std::string& strDevice, const CONSOLE_ROOTS& roots = {});

// Whether a port is a console of any of these kinds: a station asks before it starts a session
// on a port, and the port list marks it.
inline bool IsConsolePort(const std::string& strDevice, const CONSOLE_ROOTS& roots = {}) {
    return !ConsolePortReason(strDevice, roots).empty();
}

// The reason an open is refused with: "console: " and the reason above, and what an upload
// would do there.
inline std::string ConsoleRefusal(const std::string& strReason) {
    return "console: " + strReason + "; an upload would write its breaks and records into it";
}
