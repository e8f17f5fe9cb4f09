#pragma once
// The line doctor: whether a port can carry an upload, and if not, what to do about it. It opens
// the port as an upload does, names whoever else holds it, gives the adapter's verdicts, reads
// back whether the low-latency flag took, and with a loopback plug (TX to RX, RTS to CTS, DTR to
// DSR and DCD) sends all 256 byte values at the protocol's four rates, times their return to
// tell the rate the adapter really runs, sends the protocol's 1 ms break and watches the modem
// lines follow. The command line and the window program share it; it writes nothing itself.

#include "platform/Event.h"
#include "platform/Types.h"
#include "serial/AdapterInfo.h"
#include "serial/DeviceHolders.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class DOCTOR_VERDICT {
    Ok,
    Problem,
    Unknown, // nothing tells either way; never a reason to refuse a port
    Skipped, // the check does not apply, or what it needs is missing (no plug, no open port)
};

struct DOCTOR_CHECK {
    std::string strName;  // the JSON name: "access", "holders", "adapter_sends_break", ...
    std::string strTitle; // for a reader: "access", "other holders", "sending a break", ...
    DOCTOR_VERDICT verdict = DOCTOR_VERDICT::Unknown;
    std::string strReason;         // one line
    std::string strFix;            // one line; "" when there is nothing to do
    bool bFailsUpload = false;     // a problem that makes an upload fail (Slow Mode as asked)
    std::optional<double> measure; // what the check measured, in strUnit
    std::string strUnit;           // "baud", "ms"
};

struct DOCTOR_OPTIONS {
    std::string strPort;
    bool bLoopback = false; // a loopback plug is on the port: test the line itself
    bool bSlowMode = false; // judge for Slow Mode too: 738 baud must work
    // What is known of the adapter behind a port name; ReadAdapterInfo when empty.
    std::function<ADAPTER_INFO(const std::string&)> readAdapter;
};

struct DOCTOR_REPORT {
    std::string strPort;
    std::string strDriver; // the adapter's driver and chip, "" when not known
    std::string strChip;
    std::vector<DOCTOR_CHECK> checks; // in the order run
    bool bOpened = false;             // the port opened and took its set-up
    bool bStopped = false;            // the stop event cut the checks short
};

// Runs the checks in order, handing each to onCheck (when set) as soon as it is done. Returns
// within about a second of stop being set, with bStopped and the checks done until then.
DOCTOR_REPORT RunLineDoctor(const DOCTOR_OPTIONS& options, const CEvent& stop,
                            const std::function<void(const DOCTOR_CHECK&)>& onCheck = {});

enum class DOCTOR_OUTCOME {
    Ready,     // no problem stands in an upload's way
    Fails,     // a problem makes an upload fail on this line
    NotOpened, // the port could not be opened (missing, not ours, busy, gone)
    Stopped,   // cut short
};
DOCTOR_OUTCOME JudgeDoctorReport(const DOCTOR_REPORT& report);

// "ok", "problem", "unknown", "skipped".
const char* DoctorVerdictName(DOCTOR_VERDICT verdict);

// ---- The parts, for their tests ----

// The rates an upload uses, in the order the loopback checks them.
inline constexpr DWORD kDoctorRates[] = {300, 738, 4800, 38400};
// Characters sent at a rate: all 256 values, and at the fast rates enough for about a second
// of timing.
int DoctorLoopbackChars(DWORD dwBaud);

// What a stretch of returned characters says of the rate: the later of two reads came
// nChars characters after the earlier one, dSeconds apart (10 bits a character).
struct RATE_TIMING {
    bool bMeasured = false; // false: no time passed between them (no real line in between)
    double dBaud = 0;       // the rate the timing shows
    bool bAsAsked = false;  // within the tolerance of the rate asked for
    DWORD dwRuns = 0;       // a common rate the timing matches, or 0
};
RATE_TIMING JudgeRateTiming(DWORD dwAsked, int nChars, double dSeconds);

// A read of returned characters: when it came back, and how many had come by then.
struct LOOPBACK_READ {
    double dSeconds = 0;
    int nTotal = 0;
};
// The stretch to time among the reads: a read's time is the latest its bytes can have come, and
// a busy machine makes some reads late, never early. So the stretch runs from the least late read
// of the first quarter to the least late of the last (lateness judged against the rate asked
// for), and a late last read does not stretch the span. nChars 0 when there are too few reads.
struct TIMED_STRETCH {
    int nChars = 0;
    double dSeconds = 0;
};
TIMED_STRETCH LeastDelayedStretch(const std::vector<LOOPBACK_READ>& reads, DWORD dwAsked);

// An open failure's reason split into what happened and what to do about it, for the access
// check: the reason as the port gives it, and a fix where one is known.
struct OPEN_FAILURE_ADVICE {
    std::string strReason;
    std::string strFix;
};
OPEN_FAILURE_ADVICE AdviseOpenFailure(const std::string& strReason,
                                      const std::vector<DeviceHolder>& holders,
                                      const std::string& strDevice);

// The fix for other holders of a port: ModemManager gets its own (stop it, or a udev rule that
// keeps it off serial adapters), any other program is named to be closed.
std::string HoldersFix(const std::vector<DeviceHolder>& holders);
