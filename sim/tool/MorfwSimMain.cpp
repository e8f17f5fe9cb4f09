// morfw-sim: the simulated Morvane 2000 unit on a real serial device, so that an operator with two
// adapters and a null-modem cable can rehearse an upload without a unit.
//
//   morfw-sim [-v] [--assume-lines] DEVICE [OPTIONS]
//
// OPTIONS are those of a "sim:" port name (seed=, noise=, rates=, echo=, ok=, drop=, badack=,
// unplug=, latency=, restart=, breakdelay=, images=, dump=), comma-separated.

#include "image/FileImg.h"
#include "platform/Event.h"
#include "platform/ProgramDir.h"
#include "sim/SimOptions.h"
#include "sim/tool/DeviceUnit.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

CEvent* g_pStop = nullptr;
CEvent* g_pWake = nullptr;

void OnStopSignal(int) {
    // Writes to eventfds: safe in a signal handler.
    if (g_pStop)
        g_pStop->Set();
    if (g_pWake)
        g_pWake->Set();
}

void Usage(std::FILE* f) {
    std::fprintf(f,
                 "usage: morfw-sim [-v] [--assume-lines] DEVICE [OPTIONS]\n"
                 "\n"
                 "Runs the simulated Morvane 2000 unit on the serial device DEVICE (the unit's\n"
                 "side of a null-modem cable): the host's DTR arrives as DSR, its RTS as CTS.\n"
                 "OPTIONS are the comma-separated options of a \"sim:\" port name, e.g.\n"
                 "  morfw-sim /dev/ttyUSB1 rates=4800,738,latency=2,dump=/tmp/unit.txt\n"
                 "\n"
                 "  -v              every modem-line change and each hundredth record\n"
                 "  --assume-lines  the device has no modem lines: take \"Q!X\" at 300 baud\n"
                 "                  as the unlock (chosen by itself when DSR/CTS cannot be read)\n"
                 "Ctrl-C ends it; the dump file (dump=) is written then.\n");
}

std::string Stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buf;
}

} // namespace

int main(int argc, char** argv) {
    CDeviceUnit::Settings set;
    std::string strOptions;
    int nPositional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            Usage(stdout);
            return 0;
        }
        if (a == "-v" || a == "--verbose") {
            set.bVerbose = true;
        } else if (a == "--assume-lines") {
            set.bAssumeLines = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "morfw-sim: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        } else if (nPositional == 0) {
            set.strDevice = a;
            ++nPositional;
        } else if (nPositional == 1) {
            strOptions = a;
            ++nPositional;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (set.strDevice.empty()) {
        Usage(stderr);
        return 2;
    }
    std::string error;
    if (!ParseSimOptions(strOptions, set.opts, &error)) {
        std::fprintf(stderr, "morfw-sim: %s\n", error.c_str());
        return 2;
    }
    if (set.opts.nUnplug < 0 || set.opts.rates.empty()) {
        std::fprintf(stderr, "morfw-sim: no bootstrap rate\n");
        return 2;
    }
    if (!set.opts.strDumpFile.empty() && !CheckSimDumpFile(set.opts.strDumpFile, &error)) {
        std::fprintf(stderr, "morfw-sim: %s\n", error.c_str());
        return 2;
    }
    // The images the unit knows: its own MorFWImg/ unless images= says otherwise.
    if (set.opts.strImageDir.empty())
        set.opts.strImageDir = GetImageDir(GetProgramDir(argv[0]));

    CEvent stop;
    g_pStop = &stop;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    auto print = [](const std::string& s) {
        std::printf("%s %s\n", Stamp().c_str(), s.c_str());
        std::fflush(stdout);
    };
    int rc;
    {
        CDeviceUnit unit(set, print);
        g_pWake = &unit.WakeEvent(); // the stop must also end the unit's waits
        if (unit.Open(&error) != S_OK) {
            std::fprintf(stderr, "morfw-sim: %s\n", error.c_str());
            // The handler must not reach the events once they are gone.
            g_pWake = nullptr;
            g_pStop = nullptr;
            return 1;
        }
        print("unit ready on " + set.strDevice + " (images " + set.opts.strImageDir + ")");
        rc = unit.Run(stop);
        const SimReport rep = unit.Report();
        print("records held: sboot " + std::to_string(rep.memory[0].size()) + ", kernel " +
              std::to_string(rep.memory[1].size()) + ", firmware " +
              std::to_string(rep.memory[2].size()) + " (" + std::to_string(rep.stats.nRepeats) +
              " repeats, " + std::to_string(rep.stats.nRefused) + " refused)");
        if (!set.opts.strDumpFile.empty()) {
            if (WriteSimDump(rep, set.opts.strDumpFile))
                print("dump written to " + set.opts.strDumpFile);
            else
                std::fprintf(stderr, "morfw-sim: cannot write %s\n", set.opts.strDumpFile.c_str());
        }
        g_pWake = nullptr;
    }
    g_pStop = nullptr;
    return rc;
}
