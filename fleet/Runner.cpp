#include "fleet/Runner.h"

#include "fleet/PortIdentity.h"
#include "fleet/Progress.h"
#include "platform/Rounding.h"
#include "upload/UploadTexts.h"

#include <chrono>
#include <cmath>
#include <csignal>

namespace fleet {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

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
    ChildProcess process;
    std::string outBuf;
    std::string errBuf;
    bool bOutEnded = false;
    bool bErrEnded = false;
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
            Signal(kSignalKill);
        while (RunningCount() > 0)
            Wait(1000);
    }
    FinishResultCommands();
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

    std::vector<std::string> args = {"morfw", "upload", "--port", c.state.strPort, "--json"};
    args.insert(args.end(), m_settings.sessionArgs.begin(), m_settings.sessionArgs.end());
    // The session keeps its own record (transcript, result line, row).
    if (c.record)
        args.insert(args.end(), {"--unit-record", c.record->Handoff()});
    if (c.process.Start(m_settings.strProgram, args, c.strSpawnError))
        c.state.pid = c.process.Pid();
    else if (c.strSpawnError.empty())
        c.strSpawnError = "unknown reason";

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
        if (!c->state.bFinished && c->process.Signal(nSignal))
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

int Runner::Wait(int nTimeoutMs, std::span<WaitItem> extra) {
    std::vector<WaitItem> items(extra.begin(), extra.end());
    std::vector<std::size_t> commands; // the units whose --on-result runs, in items' order
    std::vector<ChildProcess*> children;
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        Child& c = *m_units[i];
        if (c.onResult) {
            // Its time limit is kept by this very wait.
            const int nLeft =
                c.onResult->Fd() >= 0 ? c.onResult->MsLeft() : std::min(c.onResult->MsLeft(), 100);
            nTimeoutMs = nTimeoutMs < 0 ? nLeft : std::min(nTimeoutMs, nLeft);
            if (c.onResult->Fd() >= 0) {
                items.push_back(WaitFor(c.onResult->Fd()));
                commands.push_back(i);
            }
        }
        if (!c.state.bFinished)
            children.push_back(&c.process);
    }
    if (children.empty() && items.empty() && nTimeoutMs < 0)
        return 0;
    const int n = WaitForChildren(children, nTimeoutMs, items);
    for (std::size_t i = 0; i < extra.size(); ++i)
        extra[i].revents = items[i].revents;
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        if (m_units[i]->onResult && m_units[i]->onResult->Check())
            ResultCommandEnded(*m_units[i]);
    }
    for (std::size_t i = 0; i < m_units.size(); ++i) {
        Child& c = *m_units[i];
        if (c.state.bFinished)
            continue;
        std::string out, err;
        c.process.Read(out, err);
        const bool bEnded = c.process.OutputEnded();
        Feed(c, true, out, bEnded && !c.bOutEnded);
        Feed(c, false, err, bEnded && !c.bErrEnded);
        // A session is over when its process has ended and everything it wrote has been read.
        const bool bReaped = c.process.Reap();
        if (bEnded && bReaped)
            FinishUnit(c);
    }
    return n;
}

void Runner::Feed(Child& c, bool bStdout, std::string_view chunk, bool bEnd) {
    std::string& buf = bStdout ? c.outBuf : c.errBuf;
    buf.append(chunk);
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
        (bStdout ? c.bOutEnded : c.bErrEnded) = true;
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
    const ChildExit& exit = c.process.Exit();
    s.nPeakRssKiB = exit.nPeakRssKiB;
    s.dCpuSeconds = exit.dCpuSeconds;

    int code = kCodeFailed;
    std::string message;
    if (!c.strSpawnError.empty()) {
        message = "the session could not be started: " + c.strSpawnError;
    } else if (!exit.bByItself) {
        message = c.bResult ? "the session was ended by " + exit.strCause + " after its result"
                            : "the session ended without a result (" + exit.strCause + ")";
    } else if (!c.bResult) {
        message =
            "the session ended without a result (exit code " + std::to_string(exit.nExitCode) + ")";
    } else {
        code = Int(c.result, "exit_code", exit.nExitCode);
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
