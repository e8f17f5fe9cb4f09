#include "fleet/ResultCommand.h"

#include "platform/PrintableText.h"
#include "platform/WriteAll.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fleet {

using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kMainFields[] = {
    "port",        "status",         "exit_code", "elapsed", "message",  "retries",   "log_file",
    "stable_name", "adapter_serial", "serial",    "station", "operator", "work_order"};
// The end of the output that is kept to say why a command failed.
constexpr off_t kOutputTail = 4096;
constexpr std::size_t kLineShown = 200;

int MemFile(const char* pszName) {
    return static_cast<int>(memfd_create(pszName, MFD_CLOEXEC));
}

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

std::vector<std::string> ResultVariables(const nlohmann::ordered_json& result) {
    std::vector<std::string> vars;
    for (const char* pszKey : kMainFields) {
        std::string name = "MORFW_";
        for (const char* p = pszKey; *p; ++p)
            name += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
        std::string value;
        if (const auto it = result.find(pszKey); it != result.end()) {
            value = it->is_string()
                        ? it->get<std::string>()
                        : it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        // A C string ends at its first NUL: cut there rather than pass a different value.
        vars.push_back(name + "=" + value.substr(0, value.find('\0')));
    }
    return vars;
}

ResultCommand::ResultCommand(const std::string& strCommand, const nlohmann::ordered_json& result,
                             int nSeconds)
    : m_nSeconds(nSeconds), m_deadline(Clock::now() + std::chrono::seconds(nSeconds)) {
    // Everything is made before the fork: after it, only async-signal-safe calls.
    const std::vector<std::string> vars = ResultVariables(result);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "MORFW_", 6) != 0)
            env.emplace_back(*e);
    }
    env.insert(env.end(), vars.begin(), vars.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "sh", dashC = "-c", cmd = strCommand;
    char* argv[] = {sh.data(), dashC.data(), cmd.data(), nullptr};

    // Standard input from an anonymous file, not a pipe: a command that never reads it must
    // not block anything, however long the result.
    const int inFd = MemFile("morfw-result");
    m_outFd = MemFile("morfw-on-result-output");
    const std::string json =
        result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (inFd < 0 || m_outFd < 0 || !WriteAll(inFd, json) || lseek(inFd, 0, SEEK_SET) != 0) {
        m_strFailure =
            "the --on-result command could not be started: " + std::string(std::strerror(errno));
        m_bOver = true;
        if (inFd >= 0)
            close(inFd);
        return;
    }
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        setpgid(0, 0);
        // A station that dies takes its commands with it rather than leave them hanging.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        // morfw ignores SIGPIPE and blocks the cancel signals; the command starts with neither.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(inFd, STDIN_FILENO);
        dup2(m_outFd, STDOUT_FILENO);
        dup2(m_outFd, STDERR_FILENO);
        execve("/bin/sh", argv, envp.data());
        _exit(127);
    }
    const int nForkErrno = errno;
    close(inFd);
    if (m_pid < 0) {
        m_strFailure = "the --on-result command could not be started: " +
                       std::string(std::strerror(nForkErrno));
        m_bOver = true;
        return;
    }
    setpgid(m_pid, m_pid); // also here, so that a kill of the group cannot come before it
    m_pidFd = PidfdOpen(m_pid);
}

ResultCommand::~ResultCommand() {
    if (!m_bOver && m_pid > 0) {
        kill(-m_pid, SIGKILL);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (m_pidFd >= 0)
        close(m_pidFd);
    if (m_outFd >= 0)
        close(m_outFd);
}

int ResultCommand::MsLeft() const {
    if (m_bOver)
        return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool ResultCommand::Check() {
    if (m_bOver)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(m_pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == m_pid) {
        Ended(status);
    } else if (r < 0) {
        m_bOver = true; // reaped elsewhere: nothing left to say
    } else if (Clock::now() >= m_deadline) {
        // The group: the shell's children (curl, a script's own) too.
        kill(-m_pid, SIGKILL);
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_bOver = true;
        m_strFailure = "the --on-result command did not end within " + std::to_string(m_nSeconds) +
                       " s and was ended";
    }
    return m_bOver;
}

void ResultCommand::RunToEnd() {
    while (!Check()) {
        pollfd pfd{m_pidFd, POLLIN, 0};
        const int nMs = m_pidFd >= 0 ? MsLeft() : std::min(MsLeft(), 100);
        if (poll(&pfd, m_pidFd >= 0 ? 1 : 0, nMs) < 0 && errno != EINTR)
            break;
    }
}

void ResultCommand::Ended(int nStatus) {
    m_bOver = true;
    if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)
        return;
    m_strFailure =
        WIFSIGNALED(nStatus)
            ? "the --on-result command was ended by signal " + std::to_string(WTERMSIG(nStatus))
            : "the --on-result command exited with code " + std::to_string(WEXITSTATUS(nStatus));
    if (const std::string line = LastOutputLine(); !line.empty())
        m_strFailure += ": " + line;
}

std::string ResultCommand::LastOutputLine() const {
    const off_t size = lseek(m_outFd, 0, SEEK_END);
    if (size <= 0)
        return {};
    const off_t from = std::max<off_t>(0, size - kOutputTail);
    std::string tail(static_cast<std::size_t>(size - from), '\0');
    const ssize_t n = pread(m_outFd, tail.data(), tail.size(), from);
    tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' '))
        tail.pop_back();
    const auto nl = tail.rfind('\n');
    std::string line = EscapeControlChars(nl == std::string::npos ? tail : tail.substr(nl + 1));
    if (line.size() > kLineShown)
        line = line.substr(0, kLineShown) + "...";
    return line;
}

} // namespace fleet
