// Latency of the serial port over a pseudo-terminal pair, whose master side plays the unit:
//   receive: a byte written on the master until GetRxCount sees it;
//   send:    Send until the byte can be read on the master.
// Prints the median and the 99th percentile of each. Usage: bench_serial_latency [samples]
#include "platform/Beep.h"
#include "serial/SerialPort.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Report(const char* pszWhat, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const double median = v[v.size() / 2];
    const double p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    std::printf("%-32s median %8.1f us   p99 %8.1f us   (%zu samples)\n", pszWhat, median, p99,
                v.size());
}

} // namespace

int main(int argc, char** argv) {
    const int nSamples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    SetBeepSink([](DWORD, DWORD) {});

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    CSerialPort port("/nonexistent", "/nonexistent");
    PORTMODE mode{};
    mode.cbSize = 32;
    std::strncpy(mode.szPort, name, sizeof mode.szPort - 1);
    mode.dwBaudRate = 38400;
    mode.byByteSize = 8;
    mode.dwReserved = 0xFFFFFFFF;
    if (port.Open(mode) != S_OK) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }

    std::vector<double> rx, tx;
    rx.reserve(static_cast<size_t>(nSamples));
    tx.reserve(static_cast<size_t>(nSamples));
    const char byte = 0x5A;
    for (int i = 0; i < nSamples + 50; ++i) {
        // Unit to port. The caller looks at the count as the upload stages do, only without
        // their 1 ms pause, so that the figure is the port's and not the poll's.
        port.ClearRxBuffer();
        const auto t0 = Clock::now();
        if (write(master, &byte, 1) != 1)
            return 1;
        while (port.GetRxCount() == 0)
            std::this_thread::yield();
        const auto t1 = Clock::now();

        // Port to unit.
        const auto t2 = Clock::now();
        port.Send(&byte, 1);
        pollfd p{master, POLLIN, 0};
        char c;
        if (poll(&p, 1, 2000) != 1 || read(master, &c, 1) != 1)
            return 1;
        const auto t3 = Clock::now();
        port.WaitTxEmpty(1000);

        if (i >= 50) { // the first rounds warm the caches and the threads up
            rx.push_back(Micros(t1 - t0));
            tx.push_back(Micros(t3 - t2));
        }
    }
    port.Close();
    close(master);
    Report("receive (master -> GetRxCount)", rx);
    Report("send (Send -> master)", tx);
    return 0;
}
