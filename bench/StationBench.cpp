// Uploads the sample image set (MorFWImg/ beside morfw) to 1, 4, 16 and 64 simulated units at
// once, each in a morfw session process of its own started by the many-unit runner, and prints
// per run: the wall time and its ratio to one unit's, the pace of stages 3 to 5 per unit against
// the single unit's, the CPU share of the sessions and the runner, and their memory. Prints
// figures; never fails on them.
//
//   bench_station [COUNT...]        default: 1 4 16 64
//
// Memory: the sum of the sessions' peak resident sets (wait4's ru_maxrss, which counts the
// program's shared pages in every process) and the largest sum of their proportional set
// sizes (/proc/PID/smaps_rollup, read once a second while they run), which shares those pages
// out fairly. Reading smaps_rollup costs milliseconds a process: that time is the bench's and
// is left out of the CPU figures. The last column adds the runner's own peak resident set: this
// program, which stands in for morfw's runner and is linked as morfw is.
//
// CPU: each session process holds its simulated unit's thread ("sim unit"), which a real unit
// does not cost the host. Its time is read from /proc/PID/task/TID/stat at each sample; what it
// spent after its last sample (under a second) stays in the host's part, which therefore errs
// high, never low.

#include "fleet/Runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds(int who) {
    rusage ru{};
    getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long PssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Pss:"))
            return std::atol(line.c_str() + 4); // "Pss:    1234 kB"
    }
    return 0;
}

// The CPU seconds so far of each simulated unit's thread of process pid, by thread id.
void SampleSimThreads(pid_t pid, std::map<long, double>& cpuByTid) {
    static const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::filesystem::path task = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(task, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name;
        std::getline(std::ifstream(it->path() / "comm"), name);
        if (!name.starts_with("sim "))
            continue;
        std::string stat;
        std::getline(std::ifstream(it->path() / "stat"), stat);
        // The name in parentheses may hold spaces: after it come the state and ten more fields,
        // then utime and stime.
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        std::string skipped;
        for (int i = 0; i < 11; ++i)
            fields >> skipped;
        double utime = 0, stime = 0;
        fields >> utime >> stime;
        cpuByTid[std::atol(it->path().filename().c_str())] = (utime + stime) / ticks;
    }
}

// When each unit's stages 1 and 3 began and its stage 5 ended.
class Timing : public fleet::RunnerObserver {
public:
    struct Unit {
        Clock::time_point part1{};
        Clock::time_point part3{};
        Clock::time_point end{};
    };
    std::map<int, Unit> units;
    void OnLog(const fleet::UnitState& u, std::string_view text) override {
        if (text == "Uploading firmware - part 1 of 5...\n")
            units[u.nId].part1 = Clock::now();
        else if (text == "Uploading firmware - part 3 of 5...\n")
            units[u.nId].part3 = Clock::now();
        else if (text.starts_with("Firmware uploaded in "))
            units[u.nId].end = Clock::now();
    }
};

struct RunFigures {
    int nUnits = 0;
    int nSucceeded = 0;
    double dWall = 0;
    double dStagesMean = 0; // stages 3 to 5, seconds, mean over the units
    double dStagesMax = 0;
    double dFirstStagesMax = 0; // stages 1 and 2 of the slowest unit: an unlock made again shows
    double dCpu = 0;            // sessions and runner
    double dRunnerCpu = 0;      // the runner alone
    double dSimCpu = 0;         // the simulated units' threads
    double dPeakRssSumMiB = 0;
    double dPeakPssSumMiB = 0;
    double dRunnerRssMiB = 0;
};

RunFigures Run(int nUnits) {
    fleet::RunnerSettings settings;
    settings.strProgram = MORFW_PROGRAM;
    Timing timing;
    fleet::Runner runner(settings, timing);
    RunFigures f;
    f.nUnits = nUnits;
    const double self0 = CpuSeconds(RUSAGE_SELF);
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN) + self0;
    const auto t0 = Clock::now();
    for (int i = 0; i < nUnits; ++i)
        runner.Start({"sim:seed=" + std::to_string(i + 1), {}});
    long peakPss = 0;
    std::map<long, double> simCpu;
    double sampling = 0; // the CPU time of reading /proc, which is the bench's, not the runner's
    auto nextSample = Clock::now();
    while (runner.RunningCount() > 0) {
        runner.Wait(static_cast<int>(std::max<long long>(
            1, std::chrono::duration_cast<std::chrono::milliseconds>(nextSample - Clock::now())
                   .count())));
        if (Clock::now() < nextSample)
            continue;
        nextSample += std::chrono::seconds(1);
        const double before = ThreadCpuSeconds();
        long pss = 0;
        for (const auto& u : runner.Units()) {
            if (!u.bFinished && u.pid > 0) {
                pss += PssKiB(u.pid);
                SampleSimThreads(u.pid, simCpu);
            }
        }
        peakPss = std::max(peakPss, pss);
        sampling += ThreadCpuSeconds() - before;
    }
    f.dWall = Seconds(Clock::now() - t0);
    f.dCpu = CpuSeconds(RUSAGE_CHILDREN) + CpuSeconds(RUSAGE_SELF) - cpu0 - sampling;
    f.dRunnerCpu = CpuSeconds(RUSAGE_SELF) - self0 - sampling;
    for (const auto& [tid, cpu] : simCpu)
        f.dSimCpu += cpu;
    long rss = 0;
    double sum = 0;
    for (const auto& u : runner.Units()) {
        rss += u.nPeakRssKiB;
        f.nSucceeded += u.nExitCode == 0 ? 1 : 0;
        const auto& t = timing.units[u.nId];
        const double stages = Seconds(t.end - t.part3);
        sum += stages;
        f.dStagesMax = std::max(f.dStagesMax, stages);
        f.dFirstStagesMax = std::max(f.dFirstStagesMax, Seconds(t.part3 - t.part1));
    }
    f.dStagesMean = sum / nUnits;
    f.dPeakRssSumMiB = static_cast<double>(rss) / 1024.0;
    f.dPeakPssSumMiB = static_cast<double>(peakPss) / 1024.0;
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    f.dRunnerRssMiB = static_cast<double>(self.ru_maxrss) / 1024.0;
    return f;
}

constexpr const char* USAGE =
    "usage: bench_station [COUNT...]\n"
    "Uploads the sample image set (MorFWImg/ beside morfw) to one simulated unit, then to COUNT\n"
    "units at once (default: 4, 16 and 64), each in a morfw session process of its own, and\n"
    "prints the wall time against one unit's, the CPU share and the memory of each run.\n"
    "Prints figures only; exit code 0, or 2 for a wrong argument.\n";

} // namespace

int main(int argc, char** argv) {
    // The single unit comes first: it is the yardstick.
    std::vector<int> counts = {1};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        char* end = nullptr;
        const long n = std::strtol(argv[i], &end, 10);
        if (arg.empty() || *end != '\0' || n < 1 || n > 1000) {
            std::fprintf(stderr, "bench_station: COUNT is a number of units from 1 to 1000, not "
                                 "'%s'\n%s",
                         argv[i], USAGE);
            return 2;
        }
        if (n > 1)
            counts.push_back(static_cast<int>(n));
    }
    if (argc < 2)
        counts = {1, 4, 16, 64};

    std::printf("morfw sessions: %s, the sample image set to sim: units\n\n", MORFW_PROGRAM);
    std::printf("%5s %4s %8s %7s %9s %11s %11s %8s %8s %8s %11s %9s %9s %10s\n", "units", "ok",
                "wall s", "x one", "st1-2 max", "st3-5 mean", "st3-5 pace", "cpu s", "cpu %",
                "host %", "runner cpu", "RSS MiB", "PSS MiB", "+runner");
    double single = 0, singleStages = 0;
    for (const int n : counts) {
        const RunFigures f = Run(n);
        if (n == 1) {
            single = f.dWall;
            singleStages = f.dStagesMean;
        }
        // The pace of stages 3 to 5: the single unit's time over this run's mean (1.00: as fast
        // as alone); bench_sim_upload gives one unit's against the line floor.
        const double dPercent = f.dWall > 0 ? 100.0 / f.dWall : 0.0;
        std::printf("%5d %4d %8.2f %7.3f %9.2f %11.2f %11.3f %8.2f %7.1f%% %7.1f%% %10.2fs %9.1f "
                    "%9.1f %10.1f\n",
                    f.nUnits, f.nSucceeded, f.dWall, single > 0 ? f.dWall / single : 0.0,
                    f.dFirstStagesMax, f.dStagesMean,
                    f.dStagesMean > 0 ? singleStages / f.dStagesMean : 0.0, f.dCpu,
                    dPercent * f.dCpu, dPercent * (f.dCpu - f.dSimCpu), f.dRunnerCpu,
                    f.dPeakRssSumMiB,
                    f.dPeakPssSumMiB, f.dPeakRssSumMiB + f.dRunnerRssMiB);
        std::fflush(stdout);
    }
    std::printf("\nwall: from the first start to the last result; x one: against one unit\n"
                "st1-2 max: stages 1 and 2 of the slowest unit, seconds (an unlock made again\n"
                "adds about 2.5)\n"
                "st3-5: stage 3 to 5 seconds per unit (mean); pace: one unit's / this mean\n"
                "cpu: sessions (each with its simulated unit's thread) and runner, %% of one\n"
                "core over the wall time; host: the same without the simulated units' threads\n"
                "(what real units leave to the host); runner cpu: the runner's own part\n"
                "RSS: sum of the sessions' peak resident sets; PSS: largest sum of their\n"
                "proportional sets, sampled once a second (its cost left out of cpu)\n"
                "+runner: the RSS sum and the runner's own peak RSS (this program, linked as\n"
                "morfw is)\n"
                "targets: 16 units within 1.05 x one unit's wall time, host below 25 %% of one\n"
                "core, memory below 64 MiB in all; 64 units within 1.05 x, below 60 %% of one\n"
                "core, RSS sum below 256 MiB\n");
    return 0;
}
