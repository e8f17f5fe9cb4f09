#include "fleet/Runner.h"

#include "fleet/PortIdentity.h"
#include "fleet/Progress.h"
#include "platform/Rounding.h"
#include "upload/UploadTexts.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fleet {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view SELF_PROGRAM = "/proc/self/exe";
constexpr std::string_view STAGE_PREFIX = "Uploading firmware - part ";
// A line longer than this without a line feed is handed on in pieces.
constexpr std::size_t MAX_LINE = 1 << 20;
// How long the sessions get to close their ports after the runner's own end asks them to.
constexpr auto SHUTDOWN_GRACE = std::chrono::seconds(30);

std::string Str(const Json& obj, const char* pszKey) {
    const auto it = obj.find(pszKey);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int Int(const Json& obj, const char* pszKey, int nDefault) {
    const auto it = obj.find(pszKey);
    return it != obj.end() && it->is_number_integer() ? it->get<int>() : nDefault;
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

int Severity(int nCode) {
    switch (nCode) {
    case kCodeSuccess:
        return 0;
    case kCodeLogFile:
        return 1;
    case kCodeImages:
        return 2;
    case kCodePort:
        return 3;
    case kCodeUsage:
        return 4;
    case kCodeFailed:
        return 5;
    case kCodeCancelled:
        return 6;
    default:
        return 5; // as failed
    }
}

int RunExitCode(const std::vector<int>& codes) {
    int code = kCodeSuccess;
    for (const int c : codes) {
        const int known = Severity(c) == Severity(kCodeFailed) ? kCodeFailed : c;
        if (Severity(known) > Severity(code))
            code = known;
    }
    return code;
}

const char* StatusName(int nCode) {
    switch (nCode) {
    case kCodeSuccess:
        return "success";
    case kCodeUsage:
        return "usage";
    case kCodePort:
        return "port";
    case kCodeImages:
        return "images";
    case kCodeCancelled:
        return "cancelled";
    case kCodeLogFile:
        return "log_file";
    default:
        return "failed";
    }
}

struct Runner::Child {
    UnitState state;
    Clock::time_point start;
    int outFd = -1;
    int errFd = -1;
    int pidFd = -1;
    std::string outBuf;
    std::string errBuf;
    bool bExited = false;
    int nWaitStatus = 0;
    std::string strSpawnError; // the session could not be started
    bool bResult = false;
    Json result;
    RateEstimator rate;
    std::unique_ptr<UnitRecord> record;
    std::string strRecordError; // the log file could not be made
    bool bRecorded = false;     // the session finished its record itself
    std::unique_ptr<ResultCommand> onResult;
};

Runner::Runner(RunnerSettings settings, RunnerObserver& observer)
    : m_settings(std::move(settings)), m_observer(observer) {}

Runner::~Runner() {
    if (RunningCount() > 0) {
        Signal(SIGTERM);
        const auto deadline = Clock::now() + SHUTDOWN_GRACE;
        while (RunningCount() > 0 && Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            Wait(static_cast<int>(std::max<long long>(left.count(), 1)));
        }
        if (RunningCount() > 0)
            Signal(SIGKILL);
        while (RunningCount() > 0)
            Wait(1000);
    }
    FinishResultCommands();
    for (auto& c : m_units) {
        CloseFd(c->outFd);
        CloseFd(c->errFd);
        CloseFd(c->pidFd);
    }
}

int Runner::Start(const UnitRequest& request) {
    m_units.push_back(std::make_unique<Child>());
    Child& c = *m_units.back();
    c.start = Clock::now();
    c.state.nId = m_nNextId++;
    c.state.strPort = request.strPort;
    c.state.strLabel = request.strLabel.empty() ? request.strPort : request.strLabel;
    c.state.strSerial = request.strSerial;
    const PortIdentity id =
        IdentifyPort(c.state.strLabel, m_settings.strDevDir, m_settings.strSysClassTty);
    c.state.strStableName = id.strStableName;
    c.state.strAdapterSerial = id.strAdapterSerial;
    c.state.strSerial = request.strSerial;

    if (!m_settings.strLogDir.empty()) {
        c.record = std::make_unique<UnitRecord>();
        if (c.record->Open(m_settings.strLogDir, c.state, m_settings.record, c.strRecordError))
            c.state.strLogFile = c.record->Path();
        else
            c.record.reset();
    }

    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<std::string> args = {"morfw", "upload", "--port", c.state.strPort, "--json"};
    args.insert(args.end(), m_settings.sessionArgs.begin(), m_settings.sessionArgs.end());
    // The session keeps its own record (transcript, result line, row).
    if (c.record)
        args.insert(args.end(), {"--unit-record", c.record->Handoff()});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string strExecFailed = "morfw: cannot start " + m_settings.strProgram + "\n";
    const char* pszProgram = m_settings.strProgram.c_str();
    std::optional<SelfFile> self;
    if (m_settings.strProgram == SELF_PROGRAM)
        self.emplace();

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        c.strSpawnError = std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0)
                close(fd);
        }
    } else {
        // The cancel signals stay blocked from before the fork: a cancel sent the moment the
        // session exists then waits for its signalfd rather than killing it first.
        sigset_t cancelSignals, before;
        sigemptyset(&cancelSignals);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&cancelSignals, sig);
        pthread_sigmask(SIG_BLOCK, &cancelSignals, &before);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            // A group of its own: a Ctrl-C at the terminal reaches the runner alone, which
            // passes it on once to each session.
            setpgid(0, 0);
            // Should the runner die, its sessions are cancelled rather than left running.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
            // The cancel signals stay blocked through exec, so one that comes before the
            // session has set up its signalfd is still read there as a cancel.
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
            c.strSpawnError = std::strerror(nForkErrno);
            close(out[0]);
            close(err[0]);
        } else {
            c.state.pid = pid;
            c.outFd = out[0];
            c.errFd = err[0];
            fcntl(c.outFd, F_SETFL, O_NONBLOCK);
            fcntl(c.errFd, F_SETFL, O_NONBLOCK);
            c.pidFd = PidfdOpen(pid); // without it, the end of both pipes stands for the exit
        }
    }

    const int nId = c.state.nId;
    m_observer.OnStarted(c.state);
    if (!c.strRecordError.empty())
        Notify(c, c.strRecordError);
    else if (c.record && !c.record->Error().empty())
        Notify(c, c.record->Error()); // the header could not be written
    if (!c.strSpawnError.empty())
        FinishUnit(c);
    return nId;
}

int Runner::Signal(int nSignal) {
    int n = 0;
    for (auto& c : m_units) {
        if (!c->state.bFinished && !c->bExited && c->state.pid > 0 &&
            kill(c->state.pid, nSignal) == 0)
            ++n;
    }
    return n;
}

int Runner::RunningCount() const {
    int n = 0;
    for (const auto& c : m_units)
        n += c->state.bFinished ? 0 : 1;
    return n;
}

int Runner::ResultCommandCount() const {
    int n = 0;
    for (const auto& c : m_units)
        n += c->onResult ? 1 : 0;
    return n;
}

void Runner::FinishResultCommands() {
    while (ResultCommandCount() > 0)
        Wait(1000);
}

int Runner::Wait(int nTimeoutMs, std::span<pollfd> extra) {
    std::vector<pollfd> fds(extra.begin(), extra.end());
    struct Slot {
        std::size_t nUnit;
        int nWhich; // 0 standard output, 1 standard error, 2 the process, 3 its --on-result
    };
    std::vector<Slot> slots;
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        const Child& c = *m_units[i];
        if (c.onResult) {
            // Its time limit is kept by this very wait.
            const int nLeft =
                c.onResult->Fd() >= 0 ? c.onResult->MsLeft() : std::min(c.onResult->MsLeft(), 100);
            nTimeoutMs = nTimeoutMs < 0 ? nLeft : std::min(nTimeoutMs, nLeft);
            if (c.onResult->Fd() >= 0) {
                fds.push_back({c.onResult->Fd(), POLLIN, 0});
                slots.push_back({i, 3});
            }
        }
        if (c.state.bFinished)
            continue;
        const int which[3] = {c.outFd, c.errFd, c.bExited ? -1 : c.pidFd};
        for (int w = 0; w < 3; ++w) {
            if (which[w] >= 0) {
                fds.push_back({which[w], POLLIN, 0});
                slots.push_back({i, w});
            }
        }
    }
    if (fds.empty() && nTimeoutMs < 0)
        return 0;
    const int n = poll(fds.data(), fds.size(), nTimeoutMs);
    for (std::size_t i = 0; i < extra.size(); ++i)
        extra[i].revents = n > 0 ? fds[i].revents : 0;
    if (n > 0) {
        for (std::size_t s = 0; s < slots.size(); ++s) {
            if (fds[extra.size() + s].revents == 0)
                continue;
            Child& c = *m_units[slots[s].nUnit];
            if (slots[s].nWhich == 2)
                Reap(c, false);
            else if (slots[s].nWhich < 2)
                ReadPipe(c, slots[s].nWhich == 0);
        }
    }
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        if (m_units[i]->onResult && m_units[i]->onResult->Check())
            ResultCommandEnded(*m_units[i]);
    }
    // A session is over when its process has ended and everything it wrote has been read.
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        Child& c = *m_units[i];
        if (c.state.bFinished || c.outFd >= 0 || c.errFd >= 0)
            continue;
        if (!c.bExited)
            Reap(c, c.pidFd < 0);
        if (c.bExited)
            FinishUnit(c);
    }
    return n;
}

void Runner::Reap(Child& c, bool bBlock) {
    if (c.bExited || c.state.pid <= 0)
        return;
    int status = 0;
    rusage ru{};
    pid_t r;
    do {
        r = wait4(c.state.pid, &status, bBlock ? 0 : WNOHANG, &ru);
    } while (r < 0 && errno == EINTR);
    if (r == c.state.pid) {
        c.bExited = true;
        c.nWaitStatus = status;
        c.state.nPeakRssKiB = ru.ru_maxrss;
        c.state.dCpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        CloseFd(c.pidFd);
    } else if (r < 0) {
        // Not ours to wait for any more (reaped elsewhere): count it as ended without a word.
        c.bExited = true;
        c.nWaitStatus = 0;
        CloseFd(c.pidFd);
    }
}

void Runner::ReadPipe(Child& c, bool bStdout) {
    int& fd = bStdout ? c.outFd : c.errFd;
    std::string& buf = bStdout ? c.outBuf : c.errBuf;
    char chunk[65536];
    bool bEnd = false;
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            buf.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        bEnd = n == 0 || errno != EAGAIN;
        break;
    }
    std::size_t from = 0;
    for (;;) {
        const auto nl = buf.find('\n', from);
        if (nl == std::string::npos)
            break;
        const std::string_view line(buf.data() + from, nl - from);
        if (bStdout)
            HandleLine(c, line);
        else
            m_observer.OnStderr(c.state, line);
        from = nl + 1;
    }
    buf.erase(0, from);
    if ((bEnd || buf.size() > MAX_LINE) && !buf.empty()) {
        const std::string rest = std::move(buf);
        buf.clear();
        if (bStdout)
            HandleLine(c, rest);
        else
            m_observer.OnStderr(c.state, rest);
    }
    if (bEnd)
        CloseFd(fd);
}

void Runner::HandleLine(Child& c, std::string_view line) {
    const Json obj = Json::parse(line, nullptr, false);
    if (obj.is_object() && obj.contains("type") && obj["type"].is_string())
        HandleObject(c, obj);
    else if (!line.empty())
        m_observer.OnStderr(c.state, line);
}

void Runner::HandleObject(Child& c, const Json& obj) {
    const std::string type = obj["type"].get<std::string>();
    if (type == "result") {
        c.bResult = true;
        c.result = obj;
        const auto it = obj.find("recorded");
        c.bRecorded = it != obj.end() && it->is_boolean() && it->get<bool>();
        return;
    }
    UpdateTimes(c.state, c);
    Json withPort = {{"type", type}, {"port", c.state.strLabel}};
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (it.key() != "type" && it.key() != "port")
            withPort[it.key()] = it.value();
    }
    if (type == "log") {
        const std::string text = Str(obj, "text");
        if (text.starts_with(STAGE_PREFIX) && text.size() > STAGE_PREFIX.size() &&
            text[STAGE_PREFIX.size()] >= '1' && text[STAGE_PREFIX.size()] <= '5') {
            c.state.nPart = text[STAGE_PREFIX.size()] - '0';
        } else if (IsRetryMark(text)) {
            ++c.state.nRetries;
        } else if (text == "." && c.state.nPart >= 3) {
            // One "." per record begun; the progress objects lag behind the last records.
            ++c.state.nRecords;
            c.rate.OnRecords(c.state.nRecords, c.state.dElapsed, c.state.nPart);
        }
        m_observer.OnLog(c.state, text);
    } else if (type == "progress") {
        c.state.nTotal = std::max(0, Int(obj, "range", c.state.nTotal));
        UpdateTimes(c.state, c);
        m_observer.OnProgress(c.state);
    } else if (type == "message") {
        m_observer.OnMessage(
            c.state, {Str(obj, "kind"), Str(obj, "caption"), Str(obj, "text"), Str(obj, "detail")});
    } else if (type == "notice") {
        m_observer.OnNotice(c.state, Str(obj, "text"));
    }
    m_observer.OnJson(c.state, withPort);
}

void Runner::Notify(Child& c, const std::string& strText) {
    m_observer.OnNotice(c.state, strText);
    m_observer.OnJson(c.state,
                      Json{{"type", "notice"}, {"port", c.state.strLabel}, {"text", strText}});
}

void Runner::UpdateTimes(UnitState& state, const Child& c) {
    if (state.bFinished)
        return;
    state.dElapsed = std::chrono::duration<double>(Clock::now() - c.start).count();
    state.dLeft = c.rate.SecondsLeft(state.nTotal, state.dElapsed);
}

void Runner::FinishUnit(Child& c) {
    UnitState& s = c.state;
    UpdateTimes(s, c);
    s.dLeft = -1;
    s.bFinished = true;
    CloseFd(c.outFd);
    CloseFd(c.errFd);
    CloseFd(c.pidFd);

    int code = kCodeFailed;
    std::string message;
    if (!c.strSpawnError.empty()) {
        message = "the session could not be started: " + c.strSpawnError;
    } else if (WIFSIGNALED(c.nWaitStatus)) {
        const std::string sig = std::to_string(WTERMSIG(c.nWaitStatus));
        message = c.bResult ? "the session was ended by signal " + sig + " after its result"
                            : "the session ended without a result (signal " + sig + ")";
    } else if (!c.bResult) {
        message = "the session ended without a result (exit code " +
                  std::to_string(WEXITSTATUS(c.nWaitStatus)) + ")";
    } else {
        code = Int(c.result, "exit_code", WEXITSTATUS(c.nWaitStatus));
        if (code < kCodeSuccess || code > kCodeLogFile)
            code = kCodeFailed;
        message = Str(c.result, "message");
    }
    s.nExitCode = code;
    s.strStatus = StatusName(code);
    // A success may say something too (the operator's cancel came after the upload's end).
    s.strMessage = message;

    if (!c.strRecordError.empty() && s.nExitCode == kCodeSuccess) {
        s.nExitCode = kCodeLogFile;
        s.strStatus = StatusName(kCodeLogFile);
        s.strMessage = c.strRecordError;
    }
    if (c.record && c.bRecorded) {
        c.record->Release();
    } else if (c.record) {
        // The session ended without its result line and row: they are written here.
        const std::string strNew = c.record->Finish(s);
        if (!strNew.empty())
            Notify(c, strNew);
    }

    Json result = {{"type", "result"},
                   {"port", s.strLabel},
                   {"status", s.strStatus},
                   {"exit_code", s.nExitCode},
                   {"elapsed", RoundHalfAway(s.dElapsed * 1000) / 1000}};
    if (!s.strMessage.empty())
        result["message"] = s.strMessage;
    if (const std::string e = Str(c.result, "log_file_error"); !e.empty())
        result["log_file_error"] = e;
    result["stable_name"] = s.strStableName;
    result["adapter_serial"] = s.strAdapterSerial;
    result["retries"] = s.nRetries;
    if (!s.strLogFile.empty())
        result["log_file"] = s.strLogFile;
    const RecordSettings& trace = m_settings.record.trace;
    result["station"] = trace.strStation;
    result["operator"] = trace.strOperator;
    result["work_order"] = trace.strWorkOrder;
    result["serial"] = s.strSerial;
    s.result = std::move(result);
    if (!trace.strOnResult.empty()) {
        c.onResult =
            std::make_unique<ResultCommand>(trace.strOnResult, s.result, trace.nOnResultSeconds);
    }
    m_observer.OnFinished(s);
    if (c.onResult && c.onResult->Over())
        ResultCommandEnded(c); // it could not be started
}

void Runner::ResultCommandEnded(Child& c) {
    const std::string failure = c.onResult->Failure();
    c.onResult.reset();
    if (failure.empty())
        return;
    // Said as it happens and kept in the unit's log, below its result; the result stands.
    Notify(c, failure);
    std::string strError;
    if (!c.state.strLogFile.empty() &&
        !UnitRecord::AppendLine(c.state.strLogFile, "---- " + failure, strError))
        Notify(c, strError);
}

std::vector<UnitState> Runner::Units() const {
    std::vector<UnitState> units;
    units.reserve(m_units.size());
    for (const auto& c : m_units) {
        units.push_back(c->state);
        UpdateTimes(units.back(), *c);
    }
    return units;
}

UnitState Runner::Unit(int nId) const {
    for (const auto& c : m_units) {
        if (c->state.nId == nId) {
            UnitState s = c->state;
            UpdateTimes(s, *c);
            return s;
        }
    }
    return {};
}

} // namespace fleet
