#include "cli/Backends.h"
#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "cli/Reporter.h"
#include "cli/Terminal.h"
#include "cli/UploadHost.h"

#include "image/FileImg.h"
#include "image/ImageCheck.h"
#include "image/Sha256.h"
#include "platform/Event.h"
#include "platform/FileCompat.h"
#include "platform/HostName.h"
#include "platform/LocalTime.h"
#include "platform/PrintableText.h"
#include "platform/ProgramDir.h"
#include "platform/Trace.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialPort.h"
#include "upload/UploadTexts.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace cli {

namespace {

// How often the main thread looks at the session and refreshes the status line.
constexpr DWORD TICK_MS = 100;

std::string LocalTimeText() {
    return LocalTimestamp(std::time(nullptr));
}

// Puts the default trace sink back when the upload ends, before the Reporter goes away.
class TraceSinkScope {
public:
    explicit TraceSinkScope(Reporter* pReporter) : m_bSet(pReporter != nullptr) {
        if (m_bSet)
            SetTraceSink([pReporter](std::string_view line) { pReporter->Trace(line); });
    }
    ~TraceSinkScope() {
        if (m_bSet)
            SetTraceSink(nullptr);
    }
    TraceSinkScope(const TraceSinkScope&) = delete;
    TraceSinkScope& operator=(const TraceSinkScope&) = delete;

private:
    bool m_bSet;
};

struct Outcome {
    ExitCode code;
    std::string strDetail;
};

Outcome JudgeSession(HRESULT hr, const SessionTracker& tracker, const std::string& strPortIn,
                     const std::string& strImageDirIn, const std::string& strOpenFailure,
                     const std::string& strModeFailure, int nRxBreaks,
                     const std::string& strBreakVerdict) {
    const std::string strPort = EscapeControlChars(strPortIn);
    const std::string strImageDir = EscapeControlChars(strImageDirIn);
    if (hr == S_OK)
        return {ExitCode::Success, tracker.CancelDetail(true)};
    // The result follows what the log says: a session whose log ends in "User cancelled..."
    // was cancelled, also when the stage or the open it was in failed meanwhile.
    if (hr == 1 || tracker.SawUserCancelled())
        return {ExitCode::Cancelled, tracker.CancelDetail(false)};
    if (hr == E_INVALIDARG)
        return {ExitCode::Port, "the serial port name \"" + strPort + "\" is not valid"};
    if (tracker.LoadFailed()) {
        const std::string error = tracker.GetImageError();
        return {ExitCode::Images, "the image set in " + strImageDir + " is missing or invalid" +
                                      (error.empty() ? std::string() : ": " + error)};
    }
    if (tracker.OpenFailed()) {
        return {ExitCode::Port,
                "serial port " + strPort + " could not be opened" +
                    (strOpenFailure.empty() ? std::string()
                                            : ": " + EscapeControlChars(strOpenFailure))};
    }
    if (tracker.GetPart() > 0) {
        std::string strDetail =
            "upload failed in part " + std::to_string(tracker.GetPart()) + " of 5";
        // A line setting the line refused ends the part at once: that is the cause.
        if (!strModeFailure.empty())
            return {ExitCode::UploadFailed, strDetail + ": " + EscapeControlChars(strModeFailure)};
        // The unit opens every answer with a break: none at all points at the line, not the
        // unit, and most often at an adapter that does not report breaks.
        if (nRxBreaks == 0) {
            strDetail += "; no break ever came from the unit";
            if (!strBreakVerdict.empty())
                strDetail += ": " + strBreakVerdict;
        }
        return {ExitCode::UploadFailed, strDetail};
    }
    return {ExitCode::UploadFailed, "upload failed"};
}

// Runs --on-result once the upload's result is out, on every way out of RunUpload (as the
// last thing before the Reporter goes): it never changes the exit code, and what went wrong with
// it goes to standard error in every form (the JSON result stays the last object).
class ResultHandOff {
public:
    ResultHandOff(const Reporter& reporter, const fleet::RecordSettings& trace)
        : m_reporter(reporter), m_trace(trace) {}
    ~ResultHandOff() {
        const auto result = m_reporter.GetResult();
        if (m_trace.strOnResult.empty() || result.is_null())
            return;
        const std::string failure =
            RunResultCommand(m_trace.strOnResult, result, m_trace.nOnResultSeconds);
        if (!failure.empty())
            WriteAll(STDERR_FILENO, "morfw: " + failure + "\n");
    }
    ResultHandOff(const ResultHandOff&) = delete;
    ResultHandOff& operator=(const ResultHandOff&) = delete;

private:
    const Reporter& m_reporter;
    const fleet::RecordSettings& m_trace;
};

} // namespace

bool ChooseDefaultPort(const std::vector<SerialPortInfo>& allPorts, std::string& strPort,
                       std::string& strError) {
    // The kernel's console is never taken: an upload would write into it.
    std::vector<SerialPortInfo> ports;
    std::string strConsoles;
    for (const auto& port : allPorts) {
        if (!port.bConsole)
            ports.push_back(port);
        else
            strConsoles += (strConsoles.empty() ? "" : ", ") + port.strDevice;
    }
    if (ports.size() == 1) {
        strPort = ports.front().strDevice;
        return true;
    }
    if (ports.empty()) {
        strError = "no serial port given and none found" +
                   (strConsoles.empty()
                        ? std::string()
                        : " but the kernel console (" + strConsoles + "), which is never used") +
                   "; name one with --port (a device such as /dev/ttyUSB0, or sim: for the "
                   "simulated unit)";
        return false;
    }
    strError = "no serial port given and " + std::to_string(ports.size()) +
               " found; name one with --port:";
    for (const auto& port : ports)
        strError += "\n  " + port.strDevice;
    return false;
}

std::string ResolveImageDir(const std::string& strImages) {
    if (strImages.empty())
        return GetImageDir(GetProgramDir());
    return WithTrailingSeparator(strImages);
}

const char* VersionText() {
    return "morfw " MORFW_VERSION;
}

std::string DescribeOptions(const UploadOptions& o) {
    std::string s;
    const auto add = [&s](bool bOn, const char* pszName) {
        if (bOn)
            s += s.empty() ? pszName : std::string(" ") + pszName;
    };
    add(o.bSlow, "--slow");
    add(o.bRelaxed, "--relaxed");
    add(o.bQuiet, "--quiet");
    add(o.bJson, "--json");
    add(o.bTrace, "--trace");
    return s.empty() ? "none" : s;
}

int RunUpload(const UploadOptions& o) {
    // Before any thread exists, so that every thread inherits the blocked signals.
    CancelSignals signals;
    const bool bSignals = signals.Install();

    const std::string strImageDir = ResolveImageDir(o.strImages);
    RegisterLineBackends(strImageDir);

    LogFileRecord logFile;
    if (!o.strLogFile.empty()) {
        std::string strError;
        if (!logFile.Open(o.strLogFile, strError)) {
            WriteAll(STDERR_FILENO, "morfw: cannot open the log file " +
                                        EscapeControlChars(o.strLogFile) + ": " + strError + "\n");
            return ToInt(ExitCode::Usage);
        }
    }
    // A unit of a many-unit run: its runner made the record, the session keeps it.
    std::string strUnitRecordError;
    const std::unique_ptr<SessionRecord> unitRecord =
        o.strUnitRecord.empty() ? nullptr : AdoptUnitRecord(o.strUnitRecord, strUnitRecordError);

    fleet::RecordSettings trace = o.trace;
    if (trace.strStation.empty())
        trace.strStation = GetHostName();
    ReporterSettings settings;
    settings.mode = o.bJson ? OutputMode::Json : o.bQuiet ? OutputMode::Quiet : OutputMode::Text;
    settings.bStatusLine = settings.mode == OutputMode::Text && IsCapableTerminal(STDOUT_FILENO);
    settings.pRecord = unitRecord ? unitRecord.get() : o.strLogFile.empty() ? nullptr : &logFile;
    settings.trace = trace;
    Reporter reporter(settings);
    if (!bSignals)
        reporter.Notice("Ctrl-C cannot be caught here; it would end morfw without closing the "
                        "session");
    if (!strUnitRecordError.empty())
        reporter.Notice(strUnitRecordError);
    const ResultHandOff handOff(reporter, trace);

    // The sink outlives the host, whose port threads may trace until the port is closed.
    const TraceSinkScope traceScope(o.bTrace ? &reporter : nullptr);
    UploadHost host(reporter);
    std::string strPort = o.strPort;
    if (!o.bPortGiven) {
        std::string strError;
        if (!ChooseDefaultPort(host.GetPortList(), strPort, strError)) {
            reporter.Notice(strError);
            return ToInt(reporter.Finish(ExitCode::Port, "no serial port"));
        }
    }
    host.SetPortText(strPort);

    // The digests say which bytes the unit was sent, checkable later with sha256sum. (A unit's
    // record has its header from the runner.)
    if (!o.strLogFile.empty() && !unitRecord) {
        reporter.LogFileLine("---- " + std::string(VersionText()) + ", " + LocalTimeText() +
                             ", port " + EscapeControlChars(strPort) + ", images " +
                             EscapeControlChars(strImageDir) + ", options: " +
                             DescribeOptions(o) + ", sha256 " +
                             DescribeDigests(DigestImageSet(strImageDir)));
        reporter.LogFileLine(fleet::TraceabilityLine(trace, ""));
    }
    host.m_bSlowMode = o.bSlow;
    host.m_bRelaxedErrorChecking = o.bRelaxed;
    host.m_strAppDir = GetProgramDir();
    if (!o.strImages.empty())
        host.m_strImageDir = strImageDir;

    reporter.BeginSession({MORFW_VERSION, strPort, strImageDir, o.bSlow, o.bRelaxed});
    if (o.bRelaxed)
        reporter.MessageBox(MSG_RELAXED_WARNING, CAPTION_WARNING, BoxKind::Warning);
    // An adapter known to fail this protocol is named before the upload, not after fifteen
    // passes.
    const ADAPTER_INFO adapter = ReadPortAdapterInfo(strPort);
    for (const std::string& strWarning : AdapterUploadWarnings(adapter, o.bSlow))
        reporter.Notice("warning: " + EscapeControlChars(strWarning));
    if (!host.StartUploadSession()) {
        return ToInt(reporter.Finish(ExitCode::UploadFailed, "the upload could not be started"));
    }

    int nSignals = 0;
    while (host.IsSessionRunning()) {
        signals.Wait(TICK_MS);
        for (int sig = signals.Take(); sig != 0; sig = signals.Take()) {
            const std::string name = SignalName(sig);
            if (nSignals++ > 0) {
                reporter.Notice("cancel already under way (" + name +
                                "); waiting for the session to close the port");
            } else if (host.ConfirmCancel(host.GetCancelTicket())) {
                reporter.Notice("cancel requested (" + name +
                                "); the upload stops at its next check and closes the port");
            } else {
                reporter.Notice("cancel requested (" + name +
                                ") too late: the upload is already ending");
            }
        }
        reporter.Tick();
    }
    const HRESULT hr = host.JoinSession();

    const Outcome outcome = JudgeSession(
        hr, reporter.GetTracker(), strPort, strImageDir, host.m_SerialPort.GetOpenFailureReason(),
        host.m_SerialPort.GetModeFailureReason(), host.m_SerialPort.GetRxBreakCount(),
        AdapterBreakVerdict(adapter));
    return ToInt(reporter.Finish(outcome.code, outcome.strDetail));
}

} // namespace cli
