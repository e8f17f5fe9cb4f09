#include "ProgramRunner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const RunSpec& spec) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return;
    // Everything the child needs is prepared before fork: only async-signal-safe calls after.
    std::vector<std::string> argStrings;
    argStrings.push_back(spec.strArgv0.empty() ? spec.strProgram : spec.strArgv0);
    argStrings.insert(argStrings.end(), spec.args.begin(), spec.args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::map<std::string, std::string> envMap;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const auto eq = kv.find('=');
        if (eq != std::string::npos)
            envMap[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : spec.env)
        envMap[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : envMap)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // A program found through PATH (argv0 without a slash) is looked up there.
    std::string strFile = spec.strProgram;
    if (spec.env.count("PATH") && spec.strProgram.find('/') == std::string::npos)
        strFile = spec.env.at("PATH") + "/" + spec.strProgram;

    m_pid = fork();
    if (m_pid == 0) {
        // The test may run with signals blocked or ignored: give the program a clean start.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(sig, SIG_DFL);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        if (!spec.strCwd.empty() && chdir(spec.strCwd.c_str()) != 0)
            _exit(126);
        execve(strFile.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_outFd >= 0)
        close(m_outFd);
    if (m_errFd >= 0)
        close(m_errFd);
}

bool ChildProcess::Pump(int nTimeoutMs) {
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (m_outFd < 0 && m_errFd < 0)
        return false;
    const int n = poll(fds, 2, nTimeoutMs);
    if (n <= 0)
        return true;
    char buf[8192];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t r = read(fds[i].fd, buf, sizeof buf);
        if (r > 0) {
            if (i == 0) {
                m_outBuf.append(buf, static_cast<std::size_t>(r));
                m_outAll.append(buf, static_cast<std::size_t>(r));
            } else {
                m_errAll.append(buf, static_cast<std::size_t>(r));
            }
        } else if (r == 0 || errno != EINTR) {
            close(fds[i].fd);
            (i == 0 ? m_outFd : m_errFd) = -1;
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto nl = m_outBuf.find('\n'); nl != std::string::npos) {
            std::string line = m_outBuf.substr(0, nl);
            m_outBuf.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_outFd < 0)
            return std::nullopt;
        Pump(static_cast<int>(left.count()));
    }
}

void ChildProcess::Signal(int nSignal) {
    if (m_pid > 0)
        kill(m_pid, nSignal);
}

RunResult ChildProcess::Finish(std::chrono::milliseconds timeout) {
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((m_outFd >= 0 || m_errFd >= 0) && std::chrono::steady_clock::now() < deadline)
        Pump(100);
    if (m_outFd >= 0 || m_errFd >= 0)
        kill(m_pid, SIGKILL);
    int status = 0;
    if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid) {
        if (WIFEXITED(status))
            result.nExitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            result.nSignal = WTERMSIG(status);
    }
    m_pid = -1;
    result.strOut = m_outAll;
    result.strErr = m_errAll;
    return result;
}

RunResult RunProgram(const RunSpec& spec, std::chrono::milliseconds timeout) {
    ChildProcess child(spec);
    return child.Finish(timeout);
}
