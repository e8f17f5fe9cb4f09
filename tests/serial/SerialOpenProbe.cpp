// A second program for the serial tests: opens a port the way MorFWUpload does and says by
// its exit code whether it could (0) or not (1).
//   serial_open_probe [--uid N] [--line] [--twice] PATH
//   --uid N   drop to that user (and group) first
//   --line    a single attempt at the line alone, no retries
//   --twice   open, close, open again, close
// A failed --line attempt prints the reason on standard output.
#include "platform/Beep.h"
#include "serial/SerialLine.h"
#include "serial/SerialPort.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    bool bLine = false;
    bool bTwice = false;
    long nUid = -1;
    std::string strPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--line")
            bLine = true;
        else if (a == "--twice")
            bTwice = true;
        else if (a == "--uid" && i + 1 < argc)
            nUid = std::strtol(argv[++i], nullptr, 10);
        else
            strPath = a;
    }
    if (strPath.empty())
        return 2;
    if (nUid >= 0 &&
        (setgid(static_cast<gid_t>(nUid)) != 0 || setuid(static_cast<uid_t>(nUid)) != 0))
        return 3;
    SetBeepSink([](DWORD, DWORD) {});

    if (bLine) {
        std::unique_ptr<ISerialLine> line;
        std::string strReason;
        if (OpenSerialLine(strPath, &line, &strReason) == S_OK)
            return 0;
        std::fputs(strReason.c_str(), stdout);
        return 1;
    }
    PORTMODE m{};
    m.cbSize = 32;
    if (strPath.size() >= sizeof m.szPort)
        return 2;
    std::memcpy(m.szPort, strPath.c_str(), strPath.size() + 1);
    m.dwBaudRate = 300;
    m.byByteSize = 8;
    m.dwReserved = 0xFFFFFFFF;
    CSerialPort port;
    for (int n = bTwice ? 2 : 1; n > 0; --n) {
        if (port.Open(m) != S_OK)
            return 1;
        port.Close();
    }
    return 0;
}
