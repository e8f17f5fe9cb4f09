// The station window with many fixtures: the time to its first paint, and how responsive its
// thread stays while every unit is flashed at once. Prints figures; never fails on them.
//
//   bench_station_window [UNITS [RUNS]]      default: 32 fixtures, 5 start-up runs
//
// First paint: the benchmark starts itself again as a child RUNS times; each child does what
// MorFWStation does at start with UNITS fixtures (the options, the image set judged, the
// window with its tiles, the engine) and reports the monotonic time at the end of the window's
// first paint; the parent subtracts the time just before it started the child.
//
// Responsiveness: UNITS simulated fixtures (sim: ports, the sample set beside morfw) started at
// once in this process. A timer of the window's thread due every 5 ms notes how late each of its
// calls comes: the longest lateness is the longest stall of the window's thread. Also the
// sessions' CPU time and peak memory (their processes are morfw station's, started by the same
// runner) and this process's own CPU time.
//
// Uses $DISPLAY when set, otherwise the offscreen platform.

#include "station/StationOptions.h"
#include "station/StationWindow.h"
#include "FirstPaint.h"

#include "platform/ProgramDir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


namespace {

double SelfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<CStationWindow> MakeWindow(int nUnits, bool bStart, const QTemporaryDir& tmp,
                                           const char* pszArgv0) {
    const std::string list = tmp.filePath(QStringLiteral("fixtures.txt")).toStdString();
    {
        std::ofstream out(list);
        for (int i = 1; i <= nUnits; ++i)
            out << "sim:seed=" << i << "  F" << i << "\n";
    }
    station::StationOptions o;
    o.strPortsFrom = list;
    o.strLogDir = tmp.filePath(QStringLiteral("logs")).toStdString();
    o.bStart = bStart;
    station::StationSetup setup;
    std::string strError;
    const std::string strAppDir = GetProgramDir(pszArgv0);
    if (!station::MakeStationSetup(o, strAppDir, o.strLogDir, setup, strError)) {
        std::fprintf(stderr, "bench_station_window: %s\n", strError.c_str());
        std::exit(1);
    }
    auto window = std::make_unique<CStationWindow>(o, std::move(setup), strAppDir);
    window->resize(1920, 1000);
    return window;
}

int Child(int nUnits, const char* pszArgv0) {
    QTemporaryDir tmp;
    auto window = MakeWindow(nUnits, false, tmp, pszArgv0);
    CFirstPaint first([] { std::printf("%lld\n", NowNs()); });
    window->installEventFilter(&first);
    std::string strError;
    window->StartEngine(strError);
    window->show();
    return QApplication::exec();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        QApplication app(argc, argv);
        return Child(std::atoi(argv[2]), argv[0]);
    }
    const int nUnits = argc > 1 ? std::atoi(argv[1]) : 32;
    const int nRuns = argc > 2 ? std::atoi(argv[2]) : 5;

    std::vector<double> paints;
    const std::string units = std::to_string(nUnits);
    for (int r = 0; r < nRuns; ++r) {
        long long start = 0;
        std::string strOut;
        if (!RunSelfAsChild({argv[0], "--child", units}, &start, &strOut) || strOut.empty())
            return 1;
        paints.push_back(static_cast<double>(std::atoll(strOut.c_str()) - start) / 1e6);
        std::printf("first paint with %d fixtures: %.0f ms\n", nUnits, paints.back());
    }
    std::printf("first paint, median of %d runs: %.0f ms (target: under 1000 ms)\n\n", nRuns,
                Median(paints));
    std::fflush(stdout);

    QApplication app(argc, argv);
    QTemporaryDir tmp;
    const double cpuBefore = SelfCpuSeconds();
    auto window = MakeWindow(nUnits, true, tmp, argv[0]);
    window->show();
    std::string strError;
    if (!window->StartEngine(strError)) {
        std::fprintf(stderr, "bench_station_window: %s\n", strError.c_str());
        return 1;
    }
    constexpr int kPeriodMs = 5;
    QElapsedTimer clock;
    clock.start();
    long long nLast = 0, nWorst = 0, nTicks = 0, nOver50 = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(kPeriodMs);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const long long now = clock.nsecsElapsed();
        if (nLast > 0) {
            const long long late = now - nLast - kPeriodMs * 1'000'000LL;
            nWorst = std::max(nWorst, late);
            nOver50 += late > 50'000'000LL ? 1 : 0;
        }
        ++nTicks;
        nLast = now;
        bool bDone = true;
        for (int i = 0; i < window->TileCount(); ++i) {
            const auto& m = window->Model(i);
            bDone = bDone && m.bUnit && m.unit.bFinished;
        }
        if (bDone)
            QApplication::quit();
    });
    probe.start();
    QApplication::exec();
    const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    double sessionsCpu = 0;
    long rssSum = 0;
    int passed = 0;
    for (int i = 0; i < window->TileCount(); ++i) {
        const auto& u = window->Model(i).unit;
        sessionsCpu += u.dCpuSeconds;
        rssSum += u.nPeakRssKiB;
        passed += u.nExitCode == 0 ? 1 : 0;
    }
    std::printf("%d units flashed at once: %d passed in %.1f s\n", nUnits, passed, wall);
    std::printf("window thread: longest stall %.1f ms (target: under 50 ms), %lld of %lld timer "
                "calls more than 50 ms late\n",
                static_cast<double>(nWorst) / 1e6, nOver50, nTicks);
    std::printf("sessions: CPU %.1f s (%.1f %% of a core), peak RSS sum %.1f MiB\n", sessionsCpu,
                100 * sessionsCpu / wall, static_cast<double>(rssSum) / 1024);
    const double own = SelfCpuSeconds() - cpuBefore;
    std::printf("the window's own process: CPU %.2f s (%.1f %% of a core, with the probe's %lld "
                "wake-ups)\n",
                own, 100 * own / wall, nTicks);
    return 0;
}
