#pragma once
// What the engine's tests run the session against: a virtual clock, a scripted unit in place
// of the serial port, and a recording host in place of the window. All three write into one
// activity record, so a test sees log marks, line activity, pauses and traces in their order.

#include "upload/UploadDlgBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<BYTE>;

// Control characters as \n, \r, \xHH; everything else as it is.
std::string Escape(std::string_view str);
// "ff 01 02" for bytes, or "\"Q!X\"" when every byte is printable ASCII.
std::string Describe(const void* pData, int nLength);

// Everything that happened, in order, one short line each:
//   open NAME BAUD | open NAME BAUD failed | close | baud N | mode N | dtr 0/1 | rts 0/1 |
//   break on | break off | send@BAUD BYTES | waittx MS [timeout] | waitbreak MS [timeout] |
//   clear rx | clear tx | read rx N | sleep MS | log "TEXT" | trace TEXT |
//   box CAPTION|TEXT|ICON|BUTTONS | range LO HI | pos N | step N | focus port | caption
class CActivity {
public:
    void Add(std::string strEvent);
    const std::vector<std::string>& Events() const { return m_events; }
    // The events that begin with one of the prefixes, in order.
    std::vector<std::string> Only(std::initializer_list<std::string_view> prefixes) const;
    // The events from index nFrom on.
    std::vector<std::string> From(std::size_t nFrom) const;
    std::size_t Size() const { return m_events.size(); }
    // Number of events equal to strEvent.
    int Count(std::string_view strEvent) const;
    void Clear() { m_events.clear(); }

    // Called after every event (on the thread that caused it): tests cancel from here.
    std::function<void(const std::string&)> onEvent;

private:
    std::vector<std::string> m_events;
};

// Time that passes only when the session sleeps or a wait runs out.
class CVirtualClock final : public IClock {
public:
    explicit CVirtualClock(CActivity& activity) : m_activity(activity) {}

    void Sleep(DWORD dwMilliseconds) override;
    std::int64_t GetMonotonicTime() override;

    // Lets time pass without an event (a wait running out, or a test moving the clock).
    void Advance(DWORD dwMilliseconds) { m_nNow += std::int64_t{dwMilliseconds} * 10'000; }
    void SetNow(std::int64_t nNow) { m_nNow = nNow; }
    std::int64_t NowMs() const { return m_nNow / 10'000; }
    // Every value GetMonotonicTime returned.
    const std::vector<std::int64_t>& Readings() const { return m_readings; }

private:
    CActivity& m_activity;
    std::int64_t m_nNow = 5'000'000'000; // an arbitrary origin
    std::vector<std::int64_t> m_readings;
};

// The unit at the end of the line, scripted. By default it behaves like a sound unit: it
// answers the unlock with a break, echoes a boot frame and ends the echo with a break, answers
// stage 2's "OK" with a break, acknowledges every load record, and answers the closing
// commands. The knobs below change that. Everything runs on the caller's thread: a reply is
// in the receive ring as soon as the command that provokes it has been sent.
class CScriptedUnit final : public ISerialPort {
public:
    CScriptedUnit(CActivity& activity, CVirtualClock& clock)
        : m_activity(activity), m_clock(clock) {}

    // --- Knobs
    HRESULT hrOpen = S_OK;
    std::function<HRESULT(DWORD dwBaud)> setBaud; // result of SetPortMode(DCB); default S_OK
    HRESULT hrSetLoaderMode = S_OK;               // result of SetPortMode(PORTMODE)
    int nSendResult = 0;                          // what Send returns
    // True makes a transmit-empty wait run out (given what was sent last and the time).
    std::function<bool(const std::string& strLastSent, DWORD dwMs)> txTimesOut;
    bool bAnswerUnlock = true;
    // The bytes echoed for a boot frame (nFrame counts frames from 1); default: the image.
    std::function<Bytes(const Bytes& image, int nFrame)> echo;
    bool bBreakAfterEcho = true;
    // Whether stage 2's "OK" (nOk counts them from 1) gets its break; default yes.
    std::function<bool(int nOk)> answerBootOk;
    // The reply to a load record, after the unit's break (nSend counts the sends of this same
    // record in a row, from 1); nullopt: no break and no reply. Default: the acknowledgement.
    std::function<std::optional<Bytes>(const Bytes& record, int nSend)> reply;
    // Whether stage 3's "OK" (nOk from 1) gets break and "OK"; default yes.
    std::function<bool(int nOk)> answerSBootOk;
    std::optional<Bytes> kernelReply = Bytes{'B', '0'};   // after "B0C"'s break; nullopt: silence
    std::optional<Bytes> firmwareReply = Bytes{'R', 'C'}; // after the last "RC"'s break
    std::function<void()> onClose;                        // called by Close before it records

    // --- What the unit saw
    std::vector<Bytes> records;    // every load record received, tries included
    std::vector<Bytes> bootFrames; // every boot frame received (without the lead 0xFF)
    int nUnlocks = 0;

    // --- Line state
    bool bOpen = false;
    DWORD dwBaud = 0;
    bool bDtr = false, bRts = false, bBreak = false;

    // The unit's side: a break (a 0x00 in the stream and a break event) and bytes.
    void DeliverBreak();
    void Deliver(const Bytes& bytes);

    // The correct acknowledgement of a record (without the break).
    static Bytes AckOf(const Bytes& record);

    // ISerialPort
    HRESULT Open(const PORTMODE& mode) override;
    bool Close() override;
    HRESULT SetPortMode(const PORTMODE& mode) override;
    HRESULT GetPortMode(DCB& dcb) override;
    HRESULT SetPortMode(const DCB& dcb) override;
    int Send(const void* pData, int nLength) override;
    int WaitTxEmpty(DWORD dwMilliseconds) override;
    int WaitRxBreak(DWORD dwMilliseconds) override;
    int WaitRxCount(int nCount, DWORD dwMilliseconds) override;
    HRESULT SetBreak() override;
    HRESULT ClearBreak() override;
    HRESULT EscapeFunction(DWORD dwFunction) override;
    void ClearRxBuffer() override;
    void ClearTxBuffer() override;
    int GetRxCount() override;
    char PeekRx(int nIndex) override;
    int ReadRx(char* pDest, int& nCount) override;

private:
    void OnCommand(const Bytes& bytes);  // bytes sent after a host break
    void OnRawBytes(const Bytes& bytes); // bytes sent without one

    CActivity& m_activity;
    CVirtualClock& m_clock;
    std::deque<char> m_rx;
    int m_nBreaks = 0;
    bool m_bHostBreak = false; // a host break came since the last send
    std::string m_strLastSent;
    bool m_bRcSent = false;  // "RC" came since the last boot frame (stage 3 restarts)
    bool m_bB0CSent = false; // "B0C" came since the last boot frame
    int m_nBootOks = 0, m_nSBootOks = 0;
    Bytes m_lastRecord;
    int m_nSameRecord = 0;
};

// A test image set held in memory.
struct TestImages {
    Bytes shutup;
    Bytes booti;
    Bytes sboot;
    std::string kernel;   // S-record text
    std::string firmware; // S-record text
};

// S-record text: an S0 header, one S1 line of nPerLine data bytes (or fewer at the end) for
// each chunk of the data from address wStart, and an S9 line.
std::string MakeS19(std::uint16_t wStart, const Bytes& data, int nPerLine = 16);
// Bytes 1, 2, 3, ... (never 0x00), n of them.
Bytes CountingBytes(int n, int nFirst = 1);
// A small sound set: 16- and 8-byte boot images, 130 bytes of SBoot (3 records), kernel and
// firmware of 3 and 2 S1 lines.
TestImages SmallImages();

// The window, recorded.
class CRecordingHost : public CUploadDlgBase {
public:
    CRecordingHost(CActivity& activity, CVirtualClock& clock, CScriptedUnit& unit);
    ~CRecordingHost() override;

    // --- Knobs
    std::string strPortText = "/dev/ttyUSB0";
    MsgBoxResult answer = MsgBoxResult::Ok;
    TestImages images = SmallImages();
    int nLoadFailAt = -1;      // the load fails at this position (earlier images stay)
    std::string strLoadError;  // the loader's text for that failure
    bool bRealLoader = false;  // load from m_strImageDir with the real loader
    bool bThreadFails = false; // the system gives no thread
    // Called in the middle of loading (a cancel confirmed while the images load).
    std::function<void()> onLoading;

    // --- What the window showed
    std::string strShown; // the log pane's text, from the appended pieces
    int nRangeLower = -1, nRangeUpper = -1, nPos = -1;
    int nStepTotal = 0;
    std::size_t nImagesAtClose = 0; // images still held when the port was closed

    HRESULT LoadImageFiles(std::int32_t* pnRecords, std::string* pstrError) override;

    // Runs UploadProc here, on the test's thread.
    HRESULT Run() { return static_cast<HRESULT>(UploadProc(nullptr)); }

protected:
    void ShowLogText(const std::string& strAppended) override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void DeltaProgressPos(int nDelta) override;
    std::string GetPortText() override;
    MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                MsgBoxIcon eIcon, MsgBoxButtons eButtons) override;
    void FocusPortBox() override;
    void RestoreStartCaption() override;
    bool StartSessionThread(CThreadThunk* pThunk) override;

private:
    CActivity& m_activity;
};

// Captures the debug traces into the activity record while it lives.
class CTraceCapture {
public:
    explicit CTraceCapture(CActivity& activity);
    ~CTraceCapture();
};

// --- Expected sequences ----------------------------------------------------------------------

using Events = std::vector<std::string>;

void Append(Events& to, const Events& more);
// One unlock sequence; "baud 300" first unless the line is at 300 already.
Events UnlockEvents(bool bAt300);
// A boot frame's transfer: the switch to dwBaud, the unlock's break, the frame and the waits,
// up to the wait for the echo's closing break (bEchoBreak: that break came).
Events BootFrameEvents(const Bytes& image, DWORD dwBaud, bool bUnlockBreak = true,
                       bool bEchoBreak = true);
// Stage 2's switch to 38400 baud and its "OK" (bAnswered: the unit's break came).
Events BootOkEvents(bool bAnswered);
// A host break followed by bytes at 38400 baud.
Events CommandEvents(const Bytes& bytes);
// One try of a load record that the unit acknowledges at once.
Events RecordTryEvents(const Bytes& record);
// All records of a stage, each acknowledged at once: marks, tries, progress steps, and the
// emptying of both rings at the end.
Events RecordTransferEvents(const std::vector<Bytes>& records);

// The load records of an image as the stages build them.
std::vector<Bytes> RecordsOf(const Bytes& binary, std::int32_t nBase);
std::vector<Bytes> RecordsOfS19(const std::string& text, std::int32_t nBase);

// The engine tests' common set-up.
class UploadFixture : public ::testing::Test {
protected:
    UploadFixture();
    ~UploadFixture() override;

    // Loads the host's images and opens the unit at dwBaud, then clears the record: for
    // tests that call one stage by itself.
    void Prepare(DWORD dwBaud);
    std::string Log() const { return host.GetLogText(); }

    CActivity activity;
    CVirtualClock clock{activity};
    CScriptedUnit unit{activity, clock};
    CTraceCapture traces{activity};
    CRecordingHost host{activity, clock, unit};
};
