#include "fleet/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fleet {

namespace {

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// This very program file, to start the sessions from. Exec'ing "/proc/self/exe" names every
// session "exe" in ps, pgrep and the busy reports of other programs; exec'ing the file's own
// path names it after the file ("morfw"), but the path may lead to another file by then (a
// package upgrade replaces it), and a session must run the runner's own program. So the child
// execs the path only while it still leads to the file held open here, else the file itself.
struct SelfFile {
    int fd = -1;
    struct stat id {};
    std::string strPath; // "" when it cannot be read
    SelfFile() {
        fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &id) != 0)
            return;
        char buf[4096];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0)
            strPath.assign(buf, static_cast<std::size_t>(n));
    }
    ~SelfFile() { CloseFd(fd); }
    SelfFile(const SelfFile&) = delete;
    SelfFile& operator=(const SelfFile&) = delete;

    // In the child after fork: async-signal-safe calls only. Returns only when no exec worked.
    void Exec(char* const argv[]) const {
        struct stat now {};
        if (!strPath.empty() && stat(strPath.c_str(), &now) == 0 && now.st_dev == id.st_dev &&
            now.st_ino == id.st_ino)
            execve(strPath.c_str(), argv, environ);
        if (fd >= 0)
            syscall(SYS_execveat, fd, "", argv, environ, AT_EMPTY_PATH);
        execve("/proc/self/exe", argv, environ);
    }
};

} // namespace

struct ChildProcess::System {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    int pidFd = -1; // without it, the end of both pipes stands for the exit
    bool bExited = false;
    // What the last wait found ready.
    bool bOutReady = false;
    bool bErrReady = false;
    bool bPidReady = false;
    ChildExit exit;
};

ChildProcess::ChildProcess() : m_pSys(std::make_unique<System>()) {}

ChildProcess::~ChildProcess() {
    System& s = *m_pSys;
    if (s.pid > 0 && !s.bExited) {
        kill(s.pid, SIGKILL);
        int status = 0;
        while (waitpid(s.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseFd(s.outFd);
    CloseFd(s.errFd);
    CloseFd(s.pidFd);
}

bool ChildProcess::Start(const std::string& strProgram, const std::vector<std::string>& args,
                         std::string& strError) {
    System& s = *m_pSys;
    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string strExecFailed = "morfw: cannot start " + strProgram + "\n";
    const char* pszProgram = strProgram.c_str();
    std::optional<SelfFile> self;
    if (strProgram == kThisProgram)
        self.emplace();

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        strError = std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0)
                close(fd);
        }
        return false;
    }
    // The cancel signals stay blocked from before the fork: a cancel sent the moment the session
    // exists then waits for its signalfd rather than killing it first.
    sigset_t cancelSignals, before;
    sigemptyset(&cancelSignals);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&cancelSignals, sig);
    pthread_sigmask(SIG_BLOCK, &cancelSignals, &before);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, so a group of its own: a Ctrl-C at the terminal reaches the
        // runner alone, which passes it on once to each session. The scheduler also shares the
        // processor out by session (autogroup): one unit's busy port threads, which ask for a
        // high priority, cannot starve another unit's upload thread, whose low priority is meant
        // against its own port threads only.
        setsid();
        // Should the runner die, its sessions are cancelled rather than left running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        // The cancel signals stay blocked through exec, so one that comes before the session
        // has set up its signalfd is still read there as a cancel.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            sigaction(sig, &dfl, nullptr);
        sigset_t mask;
        sigemptyset(&mask);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&mask, sig);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        if (self)
            self->Exec(argv.data());
        else
            execve(pszProgram, argv.data(), environ);
        const ssize_t n = write(STDERR_FILENO, strExecFailed.data(), strExecFailed.size());
        (void)n;
        _exit(127);
    }
    const int nForkErrno = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        strError = std::strerror(nForkErrno);
        close(out[0]);
        close(err[0]);
        return false;
    }
    s.pid = pid;
    s.outFd = out[0];
    s.errFd = err[0];
    fcntl(s.outFd, F_SETFL, O_NONBLOCK);
    fcntl(s.errFd, F_SETFL, O_NONBLOCK);
    s.pidFd = PidfdOpen(pid);
    return true;
}

int ChildProcess::Pid() const {
    return m_pSys->pid;
}

bool ChildProcess::Signal(int nSignal) {
    const System& s = *m_pSys;
    return !s.bExited && s.pid > 0 && kill(s.pid, nSignal) == 0;
}

namespace {
// Reads what the pipe holds; closes it at its end.
void ReadPipe(int& fd, std::string& strBuf) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            strBuf.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            CloseFd(fd);
        return;
    }
}
} // namespace

void ChildProcess::Read(std::string& strOut, std::string& strErr) {
    System& s = *m_pSys;
    if (s.bOutReady && s.outFd >= 0)
        ReadPipe(s.outFd, strOut);
    if (s.bErrReady && s.errFd >= 0)
        ReadPipe(s.errFd, strErr);
    s.bOutReady = s.bErrReady = false;
}

bool ChildProcess::OutputEnded() const {
    return m_pSys->outFd < 0 && m_pSys->errFd < 0;
}

bool ChildProcess::Reap() {
    System& s = *m_pSys;
    if (s.bExited || s.pid <= 0)
        return s.bExited;
    const bool bBlock = s.pidFd < 0 && OutputEnded();
    if (!s.bPidReady && !OutputEnded())
        return false;
    s.bPidReady = false;
    int status = 0;
    rusage ru{};
    pid_t r;
    do {
        r = wait4(s.pid, &status, bBlock ? 0 : WNOHANG, &ru);
    } while (r < 0 && errno == EINTR);
    if (r == s.pid) {
        s.bExited = true;
        s.exit.bByItself = !WIFSIGNALED(status);
        s.exit.nExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        if (WIFSIGNALED(status))
            s.exit.strCause = "signal " + std::to_string(WTERMSIG(status));
        s.exit.nPeakRssKiB = ru.ru_maxrss;
        s.exit.dCpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                             static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        CloseFd(s.pidFd);
    } else if (r < 0) {
        // Not ours to wait for any more (reaped elsewhere): count it as ended without a word.
        s.bExited = true;
        s.exit = {};
        CloseFd(s.pidFd);
    }
    return s.bExited;
}

const ChildExit& ChildProcess::Exit() const {
    return m_pSys->exit;
}

int WaitForChildren(std::span<ChildProcess* const> children, int nTimeoutMs,
                    std::span<WaitItem> extra) {
    std::vector<pollfd> fds(extra.begin(), extra.end());
    struct Slot {
        ChildProcess::System* pSys;
        int nWhich; // 0 standard output, 1 standard error, 2 the process
    };
    std::vector<Slot> slots;
    for (ChildProcess* pChild : children) {
        ChildProcess::System& s = pChild->Sys();
        const int which[3] = {s.outFd, s.errFd, s.bExited ? -1 : s.pidFd};
        for (int w = 0; w < 3; ++w) {
            if (which[w] >= 0) {
                fds.push_back({which[w], POLLIN, 0});
                slots.push_back({&s, w});
            }
        }
    }
    if (fds.empty() && nTimeoutMs < 0)
        return 0;
    const int n = poll(fds.data(), fds.size(), nTimeoutMs);
    for (std::size_t i = 0; i < extra.size(); ++i)
        extra[i].revents = n > 0 ? fds[i].revents : 0;
    if (n > 0) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (fds[extra.size() + i].revents == 0)
                continue;
            ChildProcess::System& s = *slots[i].pSys;
            (slots[i].nWhich == 0   ? s.bOutReady
             : slots[i].nWhich == 1 ? s.bErrReady
                                    : s.bPidReady) = true;
        }
    }
    return n;
}

} // namespace fleet
