// morfw doctor: the line doctor's checks (serial/LineDoctor.h) as lines of text, or one JSON
// object, and an exit code that says whether the line can carry an upload.

#include "cli/Backends.h"
#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Terminal.h"

#include "platform/PrintableText.h"
#include "platform/Thread.h"
#include "platform/ThreadThunk.h"
#include "serial/LineDoctor.h"
#include "serial/SerialPort.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <unistd.h>

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

constexpr DWORD TICK_MS = 100;

// The verdict column: wide enough for the longest word and a blank.
std::string VerdictColumn(DOCTOR_VERDICT verdict) {
    std::string s = DoctorVerdictName(verdict);
    s.resize(9, ' ');
    return s;
}

bool IsLoopbackCheck(const DOCTOR_CHECK& c) {
    return c.strName.rfind("loopback_", 0) == 0;
}

// Prints each check as it is done. The loopback's checks skipped for one reason are one line.
class TextPrinter {
public:
    explicit TextPrinter(bool bLoopback) : m_bLoopback(bLoopback) {}

    void operator()(const DOCTOR_CHECK& c) {
        std::string out;
        if (IsLoopbackCheck(c) && c.verdict == DOCTOR_VERDICT::Skipped) {
            if (c.strReason == m_strSkipped)
                return;
            m_strSkipped = c.strReason;
            out = VerdictColumn(c.verdict) + "loopback: " + EscapeControlChars(c.strReason) + "\n";
        } else {
            out = VerdictColumn(c.verdict) + EscapeControlChars(c.strTitle) + ": " +
                  EscapeControlChars(c.strReason) + "\n";
            if (c.verdict == DOCTOR_VERDICT::Problem && !c.strFix.empty())
                out += std::string(9, ' ') + "fix: " + EscapeControlChars(c.strFix) + "\n";
        }
        if (c.strName == "access")
            m_bOpened = c.verdict == DOCTOR_VERDICT::Ok;
        // The loopback takes a while (all 256 values at 300 baud alone take 9 s): say so.
        if (c.strName == "low_latency" && m_bLoopback && m_bOpened)
            out += "testing the line through the loopback plug: all 256 byte values at 300, 738, "
                   "4800 and 38400 baud, a break and the modem lines (about 15 s)\n";
        WriteAll(STDOUT_FILENO, out);
    }

private:
    const bool m_bLoopback;
    bool m_bOpened = false;
    std::string m_strSkipped;
};

// The doctor on a thread of its own, so that the main thread can take the cancel signals.
class DoctorRun {
public:
    DoctorRun(DOCTOR_OPTIONS options, std::function<void(const DOCTOR_CHECK&)> onCheck)
        : m_options(std::move(options)), m_onCheck(std::move(onCheck)) {}

    DWORD Run(void*) {
        m_report = RunLineDoctor(m_options, m_stop, m_onCheck);
        m_bDone.store(true);
        return 0;
    }

    CEvent m_stop;
    std::atomic<bool> m_bDone{false};
    DOCTOR_REPORT m_report;

private:
    const DOCTOR_OPTIONS m_options;
    const std::function<void(const DOCTOR_CHECK&)> m_onCheck;
};

int Problems(const DOCTOR_REPORT& report) {
    int n = 0;
    for (const auto& c : report.checks)
        n += c.verdict == DOCTOR_VERDICT::Problem ? 1 : 0;
    return n;
}

ExitCode ExitFor(DOCTOR_OUTCOME outcome) {
    switch (outcome) {
    case DOCTOR_OUTCOME::Ready:
        return ExitCode::Success;
    case DOCTOR_OUTCOME::Fails:
        return ExitCode::UploadFailed;
    case DOCTOR_OUTCOME::NotOpened:
        return ExitCode::Port;
    case DOCTOR_OUTCOME::Stopped:
        return ExitCode::Cancelled;
    }
    return ExitCode::UploadFailed;
}

const char* OutcomeName(DOCTOR_OUTCOME outcome) {
    switch (outcome) {
    case DOCTOR_OUTCOME::Ready:
        return "ready";
    case DOCTOR_OUTCOME::Fails:
        return "fails";
    case DOCTOR_OUTCOME::NotOpened:
        return "not_opened";
    case DOCTOR_OUTCOME::Stopped:
        return "cancelled";
    }
    return "fails";
}

std::string ResultText(DOCTOR_OUTCOME outcome, int nProblems) {
    const bool bOne = nProblems == 1;
    const std::string strProblems =
        std::to_string(nProblems) + (bOne ? " problem" : " problems") + " above";
    switch (outcome) {
    case DOCTOR_OUTCOME::Ready:
        return nProblems == 0
                   ? "result: the line can carry an upload\n"
                   : "result: the line can carry an upload (the " + strProblems +
                         (bOne ? " slows it down or concerns" : " slow it down or concern") +
                         " only Slow Mode)\n";
    case DOCTOR_OUTCOME::Fails:
        return "result: an upload fails on this line (" + strProblems + ")\n";
    case DOCTOR_OUTCOME::NotOpened:
        return "result: the port could not be opened\n";
    case DOCTOR_OUTCOME::Stopped:
        return "result: cancelled\n";
    }
    return "";
}

Json ToJson(const DOCTOR_REPORT& report, const DoctorOptions& o, DOCTOR_OUTCOME outcome) {
    Json checks = Json::array();
    for (const auto& c : report.checks) {
        Json measured = nullptr;
        if (c.measure)
            measured = *c.measure;
        checks.push_back(Json{{"check", c.strName},
                              {"title", c.strTitle},
                              {"verdict", DoctorVerdictName(c.verdict)},
                              {"reason", c.strReason},
                              {"fix", c.strFix},
                              {"fails_upload", c.bFailsUpload},
                              {"measured", std::move(measured)},
                              {"unit", c.strUnit}});
    }
    return Json{{"type", "doctor"},
                {"version", MORFW_VERSION},
                {"port", report.strPort},
                {"driver", report.strDriver},
                {"chip", report.strChip},
                {"loopback", o.bLoopback},
                {"slow", o.bSlow},
                {"checks", std::move(checks)},
                {"problems", Problems(report)},
                {"result", OutcomeName(outcome)},
                {"exit_code", ToInt(ExitFor(outcome))}};
}

} // namespace

int RunDoctor(const DoctorOptions& o) {
    // Before any thread exists, so that every thread inherits the blocked signals.
    CancelSignals signals;
    const bool bSignals = signals.Install();
    RegisterLineBackends(ResolveImageDir(""));

    std::string strPort = o.strPort;
    if (!o.bPortGiven) {
        std::string strError;
        const CSerialPort serialPort;
        if (!ChooseDefaultPort(ListPorts(serialPort), strPort, strError)) {
            WriteAll(STDERR_FILENO, "morfw: " + strError + "\n");
            return ToInt(ExitCode::Port);
        }
    }

    DOCTOR_OPTIONS options;
    options.strPort = strPort;
    options.bLoopback = o.bLoopback;
    options.bSlowMode = o.bSlow;
    options.readAdapter = ReadPortAdapterInfo;
    std::function<void(const DOCTOR_CHECK&)> onCheck;
    if (!o.bJson) {
        std::string strHead = "morfw doctor: " + EscapeControlChars(strPort);
        const ADAPTER_INFO adapter = ReadPortAdapterInfo(strPort);
        const std::string strChip = AdapterChip(adapter);
        if (!adapter.strDriver.empty())
            strHead += " (driver " + adapter.strDriver +
                       (strChip.empty() ? "" : ", chip " + strChip) + ")";
        WriteAll(STDOUT_FILENO, strHead + "\n");
        onCheck = TextPrinter(o.bLoopback);
    }
    if (!bSignals)
        WriteAll(STDERR_FILENO, "morfw: Ctrl-C cannot be caught here; it would end morfw "
                                "without closing the port\n");

    DoctorRun run(options, onCheck);
    CThreadThunk* pThunk = MakeThreadThunk(&run, &DoctorRun::Run);
    CThread thread;
    if (!pThunk || !thread.Start(pThunk, nullptr)) {
        FreeThreadThunk(pThunk);
        WriteAll(STDERR_FILENO, "morfw: the checks could not be started\n");
        return ToInt(ExitCode::UploadFailed);
    }
    int nSignals = 0;
    while (!run.m_bDone.load()) {
        signals.Wait(TICK_MS);
        for (int sig = signals.Take(); sig != 0; sig = signals.Take()) {
            if (nSignals++ == 0) {
                WriteAll(STDERR_FILENO, "morfw: cancel requested (" + std::string(SignalName(sig)) +
                                            "); the checks stop and close the port\n");
            }
            run.m_stop.Set();
        }
    }
    thread.Join();
    FreeThreadThunk(pThunk);

    const DOCTOR_REPORT& report = run.m_report;
    const DOCTOR_OUTCOME outcome = JudgeDoctorReport(report);
    if (o.bJson) {
        WriteAll(STDOUT_FILENO,
                 ToJson(report, o, outcome).dump(-1, ' ', false, Json::error_handler_t::replace) +
                     "\n");
    } else {
        WriteAll(STDOUT_FILENO, ResultText(outcome, Problems(report)));
    }
    return ToInt(ExitFor(outcome));
}

} // namespace cli
