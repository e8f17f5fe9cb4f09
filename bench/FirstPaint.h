#pragma once
// What the window benchmarks share to time a first paint: the monotonic clock in nanoseconds, a
// watcher that reports once the window's first paint has finished and ends the program, and
// the start of the benchmark itself again as a child whose report line is read back.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

inline long long NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// Calls report once, after the paint that is under way has finished (the whole window), then
// ends the event loop.
class CFirstPaint : public QObject {
public:
    explicit CFirstPaint(std::function<void()> report) : m_report(std::move(report)) {}

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint && !m_bSeen) {
            m_bSeen = true;
            QTimer::singleShot(0, [this] {
                m_report();
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    std::function<void()> m_report;
    bool m_bSeen = false;
};

// Starts this program (/proc/self/exe) with args, its standard output read to the end into
// *pstrOut; *pnStartNs is the time just before the start. False when it could not be started.
inline bool RunSelfAsChild(const std::vector<std::string>& args, long long* pnStartNs,
                           std::string* pstrOut) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    *pnStartNs = NowNs();
    const int nSpawn = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (nSpawn != 0) {
        close(fds[0]);
        return false;
    }
    pstrOut->clear();
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        pstrOut->append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return true;
}
