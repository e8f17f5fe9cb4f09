// Runs one command and prints its whole-process figures: wall time, CPU time and peak memory
// (the largest resident set the process reached, from the kernel's accounting at its end).
// Used by cli_figures.sh for morfw; prints figures only, never passes or fails on them.
//
// Usage: bench_cli_run COMMAND [ARGS...]

#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("wait4");
        return 2;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double user = static_cast<double>(usage.ru_utime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    const double sys = static_cast<double>(usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("exit code       %d\n", code);
    std::printf("wall time       %.2f s\n", wall);
    std::printf("cpu time        %.2f s (user %.2f s, system %.2f s, %.2f %% of wall)\n",
                user + sys, user, sys, wall > 0 ? 100.0 * (user + sys) / wall : 0.0);
    std::printf("peak memory     %.2f MiB (%ld KiB resident at most)\n",
                static_cast<double>(usage.ru_maxrss) / 1024.0, usage.ru_maxrss);
    return code;
}
