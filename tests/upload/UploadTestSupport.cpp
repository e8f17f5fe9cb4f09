#include "UploadTestSupport.h"

#include "image/FileImg.h"
#include "platform/Trace.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

// --- Texts -----------------------------------------------------------------------------------

std::string Escape(std::string_view str) {
    std::string out;
    for (const char c : str) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7F) {
            char sz[8];
            std::snprintf(sz, sizeof sz, "\\x%02x", u);
            out += sz;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Describe(const void* pData, int nLength) {
    const auto* p = static_cast<const BYTE*>(pData);
    bool bText = nLength > 0;
    for (int i = 0; i < nLength; ++i)
        bText = bText && p[i] >= 0x20 && p[i] < 0x7F;
    if (bText)
        return "\"" +
               std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(nLength)) +
               "\"";
    std::string out;
    for (int i = 0; i < nLength; ++i) {
        char sz[4];
        std::snprintf(sz, sizeof sz, "%02x", p[i]);
        if (i)
            out += ' ';
        out += sz;
    }
    return out;
}

// --- Activity ------------------------------------------------------------------------------

void CActivity::Add(std::string strEvent) {
    m_events.push_back(std::move(strEvent));
    if (onEvent)
        onEvent(m_events.back());
}

std::vector<std::string> CActivity::Only(std::initializer_list<std::string_view> prefixes) const {
    std::vector<std::string> out;
    for (const auto& e : m_events) {
        for (const auto prefix : prefixes) {
            if (std::string_view(e).substr(0, prefix.size()) == prefix) {
                out.push_back(e);
                break;
            }
        }
    }
    return out;
}

std::vector<std::string> CActivity::From(std::size_t nFrom) const {
    if (nFrom >= m_events.size())
        return {};
    return {m_events.begin() + static_cast<std::ptrdiff_t>(nFrom), m_events.end()};
}

int CActivity::Count(std::string_view strEvent) const {
    int n = 0;
    for (const auto& e : m_events)
        n += e == strEvent ? 1 : 0;
    return n;
}

// --- Clock -----------------------------------------------------------------------------------

void CVirtualClock::Sleep(DWORD dwMilliseconds) {
    Advance(dwMilliseconds);
    m_activity.Add("sleep " + std::to_string(dwMilliseconds));
}

std::int64_t CVirtualClock::GetMonotonicTime() {
    m_readings.push_back(m_nNow);
    return m_nNow;
}

// --- Scripted unit ---------------------------------------------------------------------------

Bytes CScriptedUnit::AckOf(const Bytes& r) {
    return {'L', r[5], r.back(), r[3], r[4], r[2]};
}

void CScriptedUnit::DeliverBreak() {
    m_rx.push_back('\0');
    ++m_nBreaks;
}

void CScriptedUnit::Deliver(const Bytes& bytes) {
    for (const BYTE b : bytes)
        m_rx.push_back(static_cast<char>(b));
}

HRESULT CScriptedUnit::Open(const PORTMODE& mode) {
    const std::string strEvent =
        "open " + std::string(mode.szPort) + " " + std::to_string(mode.dwBaudRate);
    if (hrOpen != S_OK) {
        m_activity.Add(strEvent + " failed");
        return hrOpen;
    }
    bOpen = true;
    dwBaud = mode.dwBaudRate;
    m_activity.Add(strEvent);
    return S_OK;
}

bool CScriptedUnit::Close() {
    if (onClose)
        onClose();
    bOpen = false;
    m_rx.clear();
    m_nBreaks = 0;
    m_activity.Add("close");
    return true;
}

HRESULT CScriptedUnit::SetPortMode(const PORTMODE& mode) {
    m_activity.Add("mode " + std::to_string(mode.dwBaudRate));
    if (hrSetLoaderMode == S_OK)
        dwBaud = mode.dwBaudRate;
    return hrSetLoaderMode;
}

HRESULT CScriptedUnit::GetPortMode(DCB& dcb) {
    dcb = DCB{};
    dcb.BaudRate = dwBaud;
    return S_OK;
}

HRESULT CScriptedUnit::SetPortMode(const DCB& dcb) {
    m_activity.Add("baud " + std::to_string(dcb.BaudRate));
    const HRESULT hr = setBaud ? setBaud(dcb.BaudRate) : S_OK;
    if (hr == S_OK)
        dwBaud = dcb.BaudRate;
    return hr;
}

int CScriptedUnit::Send(const void* pData, int nLength) {
    m_activity.Add("send@" + std::to_string(dwBaud) + " " + Describe(pData, nLength));
    const auto* p = static_cast<const BYTE*>(pData);
    const Bytes bytes(p, p + nLength);
    m_strLastSent.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(nLength));
    if (m_bHostBreak) {
        m_bHostBreak = false;
        OnCommand(bytes);
    } else {
        OnRawBytes(bytes);
    }
    return nSendResult;
}

void CScriptedUnit::OnRawBytes(const Bytes& bytes) {
    if (dwBaud == 300 && bytes == Bytes{'Q', '!', 'X'} && bDtr && bRts) {
        ++nUnlocks;
        m_bRcSent = m_bB0CSent = false;
        if (bAnswerUnlock)
            DeliverBreak();
        return;
    }
    if (dwBaud != 300 && dwBaud != 38400 && !bytes.empty() && bytes[0] == 0xFF) {
        const Bytes image(bytes.begin() + 1, bytes.end());
        bootFrames.push_back(image);
        m_bRcSent = m_bB0CSent = false;
        Deliver(echo ? echo(image, static_cast<int>(bootFrames.size())) : image);
        if (bBreakAfterEcho)
            DeliverBreak();
    }
}

void CScriptedUnit::OnCommand(const Bytes& bytes) {
    if (dwBaud != 38400)
        return;
    if (bytes.size() >= 7 && bytes[0] == 'L' && bytes[1] == 'R') {
        records.push_back(bytes);
        m_nSameRecord = bytes == m_lastRecord ? m_nSameRecord + 1 : 1;
        m_lastRecord = bytes;
        const std::optional<Bytes> answer =
            reply ? reply(bytes, m_nSameRecord) : std::optional<Bytes>(AckOf(bytes));
        if (answer) {
            DeliverBreak();
            Deliver(*answer);
        }
        return;
    }
    m_lastRecord.clear();
    if (bytes == Bytes{'O', 'K'}) {
        if (!m_bRcSent) {
            if (!answerBootOk || answerBootOk(++m_nBootOks))
                DeliverBreak();
        } else if (!answerSBootOk || answerSBootOk(++m_nSBootOks)) {
            DeliverBreak();
            Deliver({'O', 'K'});
        }
    } else if (bytes == Bytes{'R', 'C'}) {
        if (!m_bB0CSent) {
            m_bRcSent = true;
        } else if (firmwareReply) {
            DeliverBreak();
            Deliver(*firmwareReply);
        }
    } else if (bytes == Bytes{'B', '0', 'C'}) {
        m_bB0CSent = true;
        if (kernelReply) {
            DeliverBreak();
            Deliver(*kernelReply);
        }
    }
}

int CScriptedUnit::WaitTxEmpty(DWORD dwMilliseconds) {
    if (txTimesOut && txTimesOut(m_strLastSent, dwMilliseconds)) {
        m_clock.Advance(dwMilliseconds);
        m_activity.Add("waittx " + std::to_string(dwMilliseconds) + " timeout");
        return 1;
    }
    m_activity.Add("waittx " + std::to_string(dwMilliseconds));
    return 0;
}

int CScriptedUnit::WaitRxBreak(DWORD dwMilliseconds) {
    if (m_nBreaks > 0) {
        --m_nBreaks;
        m_activity.Add("waitbreak " + std::to_string(dwMilliseconds));
        return 0;
    }
    m_clock.Advance(dwMilliseconds);
    m_activity.Add("waitbreak " + std::to_string(dwMilliseconds) + " timeout");
    return 1;
}

int CScriptedUnit::WaitRxCount(int nCount, DWORD dwMilliseconds) {
    const std::string strEvent =
        "waitrx " + std::to_string(nCount) + " " + std::to_string(dwMilliseconds);
    if (static_cast<int>(m_rx.size()) >= nCount) {
        m_activity.Add(strEvent);
        return 0;
    }
    m_clock.Advance(dwMilliseconds);
    m_activity.Add(strEvent + " timeout");
    return 1;
}

HRESULT CScriptedUnit::SetBreak() {
    bBreak = true;
    m_activity.Add("break on");
    return S_OK;
}

HRESULT CScriptedUnit::ClearBreak() {
    if (bBreak)
        m_bHostBreak = true;
    bBreak = false;
    m_activity.Add("break off");
    return S_OK;
}

HRESULT CScriptedUnit::EscapeFunction(DWORD dwFunction) {
    switch (dwFunction) {
    case SETDTR:
        bDtr = true;
        m_activity.Add("dtr 1");
        break;
    case CLRDTR:
        bDtr = false;
        m_activity.Add("dtr 0");
        break;
    case SETRTS:
        bRts = true;
        m_activity.Add("rts 1");
        break;
    case CLRRTS:
        bRts = false;
        m_activity.Add("rts 0");
        break;
    default:
        m_activity.Add("escape " + std::to_string(dwFunction));
        return E_FAIL;
    }
    return S_OK;
}

void CScriptedUnit::ClearRxBuffer() {
    m_rx.clear();
    m_activity.Add("clear rx");
}

void CScriptedUnit::ClearTxBuffer() {
    m_activity.Add("clear tx");
}

int CScriptedUnit::GetRxCount() {
    return static_cast<int>(m_rx.size());
}

char CScriptedUnit::PeekRx(int nIndex) {
    if (nIndex < 0 || static_cast<std::size_t>(nIndex) >= m_rx.size())
        throw std::out_of_range("PeekRx beyond the received bytes");
    return m_rx[static_cast<std::size_t>(nIndex)];
}

int CScriptedUnit::ReadRx(char* pDest, int& nCount) {
    if (m_rx.empty())
        return 1;
    int n = 0;
    while (n < nCount && !m_rx.empty()) {
        pDest[n++] = m_rx.front();
        m_rx.pop_front();
    }
    nCount = n;
    m_activity.Add("read rx " + std::to_string(n));
    return 0;
}

// --- Images --------------------------------------------------------------------------------

namespace {

std::string Hex2(unsigned v) {
    char sz[4];
    std::snprintf(sz, sizeof sz, "%02X", v & 0xFFu);
    return sz;
}

std::unique_ptr<CFileImg> MakeImg(const std::string& strName, const BYTE* p, std::size_t n,
                                  std::int32_t nType, std::int32_t nBase) {
    auto pImg = std::make_unique<CFileImg>();
    pImg->strFileName = "/test/MorFWImg/" + strName;
    pImg->nLength = static_cast<std::int32_t>(n);
    pImg->nType = nType;
    pImg->nBaseAddr = nBase;
    pImg->pData = std::make_unique<BYTE[]>(n + FILEIMG_SPARE); // zeroed
    if (n)
        std::memcpy(pImg->pData.get(), p, n);
    return pImg;
}

} // namespace

std::string MakeS19(std::uint16_t wStart, const Bytes& data, int nPerLine) {
    std::string s = "S00600004844521B\r\n";
    for (std::size_t k = 0; k < data.size(); k += static_cast<std::size_t>(nPerLine)) {
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(nPerLine), data.size() - k);
        const unsigned wAddr = (wStart + k) & 0xFFFFu;
        unsigned sum = static_cast<unsigned>(n + 3) + (wAddr >> 8) + (wAddr & 0xFF);
        std::string line =
            "S1" + Hex2(static_cast<unsigned>(n + 3)) + Hex2(wAddr >> 8) + Hex2(wAddr);
        for (std::size_t i = 0; i < n; ++i) {
            line += Hex2(data[k + i]);
            sum += data[k + i];
        }
        s += line + Hex2(~sum & 0xFFu) + "\r\n";
    }
    s += "S9030000FC\r\n";
    return s;
}

Bytes CountingBytes(int n, int nFirst) {
    Bytes b;
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<BYTE>((nFirst - 1 + i) % 255 + 1)); // 1 .. 255, never 0
    return b;
}

TestImages SmallImages() {
    TestImages t;
    t.shutup = CountingBytes(16, 1);
    t.booti = CountingBytes(8, 40);
    t.sboot = CountingBytes(130, 7);
    t.kernel = MakeS19(0x2000, CountingBytes(40, 3), 16);   // 3 S1 lines
    t.firmware = MakeS19(0x8000, CountingBytes(20, 9), 16); // 2 S1 lines
    return t;
}

// --- Recording host --------------------------------------------------------------------------

CRecordingHost::CRecordingHost(CActivity& activity, CVirtualClock& clock, CScriptedUnit& unit)
    : m_activity(activity) {
    SetClock(&clock);
    SetSerialPort(&unit);
    unit.onClose = [this] { nImagesAtClose = m_listFileImg.size(); };
}

CRecordingHost::~CRecordingHost() {
    WaitForSessionEnd(INFINITE);
}

HRESULT CRecordingHost::LoadImageFiles(std::int32_t* pnRecords, std::string* pstrError) {
    if (bRealLoader)
        return CUploadDlgBase::LoadImageFiles(pnRecords, pstrError);
    *pnRecords = 0;
    const auto& table = GetImageTable();
    const std::string* texts[] = {nullptr, nullptr, nullptr, &images.kernel, &images.firmware};
    const Bytes* bins[] = {&images.shutup, &images.booti, &images.sboot, nullptr, nullptr};
    for (int nImg = 0; nImg < FILEIMG_COUNT; ++nImg) {
        if (nImg == 2 && onLoading)
            onLoading();
        if (nImg == nLoadFailAt) {
            *pstrError = strLoadError;
            return E_FAIL;
        }
        const auto& entry = table[static_cast<std::size_t>(nImg)];
        std::unique_ptr<CFileImg> pImg =
            bins[nImg]
                ? MakeImg(entry.pszFileName, bins[nImg]->data(), bins[nImg]->size(), FILEIMG_BIN,
                          entry.nBaseAddr)
                : MakeImg(entry.pszFileName, reinterpret_cast<const BYTE*>(texts[nImg]->data()),
                          texts[nImg]->size(), FILEIMG_S19, entry.nBaseAddr);
        if (nImg >= 2)
            *pnRecords += CountLoadRecords(*pImg);
        m_listFileImg.push_back(std::move(pImg));
    }
    return S_OK;
}

void CRecordingHost::ShowLogText(const std::string& strAppended) {
    strShown += strAppended;
    // Recorded as the caller wrote it: without the CRs the log adds.
    std::string strRaw;
    for (const char c : strAppended) {
        if (c != '\r')
            strRaw += c;
    }
    m_activity.Add("log \"" + Escape(strRaw) + "\"");
}

void CRecordingHost::SetProgressRange(int nLower, int nUpper) {
    nRangeLower = nLower;
    nRangeUpper = nUpper;
    m_activity.Add("range " + std::to_string(nLower) + " " + std::to_string(nUpper));
}

void CRecordingHost::SetProgressPos(int nNewPos) {
    nPos = nNewPos;
    m_activity.Add("pos " + std::to_string(nNewPos));
}

void CRecordingHost::DeltaProgressPos(int nDelta) {
    nStepTotal += nDelta;
    m_activity.Add("step " + std::to_string(nDelta));
}

std::string CRecordingHost::GetPortText() {
    return strPortText;
}

MsgBoxResult CRecordingHost::ShowMessageBox(const std::string& strText,
                                            const std::string& strCaption, MsgBoxIcon eIcon,
                                            MsgBoxButtons eButtons) {
    m_activity.Add("box " + strCaption + "|" + Escape(strText) + "|" +
                   (eIcon == MsgBoxIcon::Exclamation ? "excl" : "none") + "|" +
                   (eButtons == MsgBoxButtons::Ok ? "ok" : "yesno"));
    return answer;
}

void CRecordingHost::FocusPortBox() {
    m_activity.Add("focus port");
}

void CRecordingHost::RestoreStartCaption() {
    m_activity.Add("caption " + m_strStartCaption);
}

bool CRecordingHost::StartSessionThread(CThreadThunk* pThunk) {
    if (bThreadFails)
        return false;
    return CUploadDlgBase::StartSessionThread(pThunk);
}

// --- Traces ----------------------------------------------------------------------------------

CTraceCapture::CTraceCapture(CActivity& activity) {
    SetTraceSink(
        [&activity](std::string_view line) { activity.Add("trace " + std::string(line)); });
}

CTraceCapture::~CTraceCapture() {
    SetTraceSink({});
}

// --- Expected sequences ----------------------------------------------------------------------

#include "image/LRArray.h"

void Append(Events& to, const Events& more) {
    to.insert(to.end(), more.begin(), more.end());
}

Events UnlockEvents(bool bAt300) {
    Events e;
    if (!bAt300)
        e.push_back("baud 300");
    Append(e, {"waittx 2000", "dtr 1", "rts 1", "clear rx", "send@300 \"Q!X\"", "sleep 100",
               "dtr 0", "rts 0", "sleep 50", "waittx 2000"});
    return e;
}

Events BootFrameEvents(const Bytes& image, DWORD dwBaud, bool bUnlockBreak, bool bEchoBreak) {
    Bytes frame{0xFF};
    frame.insert(frame.end(), image.begin(), image.end());
    Events e{"baud " + std::to_string(dwBaud)};
    if (bUnlockBreak) {
        e.push_back("waitbreak 100");
    } else {
        Append(e, {"waitbreak 100 timeout",
                   "trace CMorFWUploadDlg::SendUnlockSequence:  WaitRxBreak timed out"});
    }
    Append(e, {"clear rx",
               "send@" + std::to_string(dwBaud) + " " +
                   Describe(frame.data(), static_cast<int>(frame.size())),
               "waittx " + std::to_string(image.size() * 90),
               bEchoBreak ? "waitbreak 500" : "waitbreak 500 timeout"});
    return e;
}

Events BootOkEvents(bool bAnswered) {
    Events e{"mode 38400", "sleep 100", "clear rx",          "waittx 2000", "break on",
             "sleep 1",    "break off", "send@38400 \"OK\"", "waittx 2000"};
    if (bAnswered) {
        e.push_back("waitbreak 100");
    } else {
        Append(e, {"waitbreak 100 timeout", "sleep 200",
                   "trace CMorFWUploadDlg::UploadBootI:  WaitRxBreak timed out", "log \"*\""});
    }
    return e;
}

Events CommandEvents(const Bytes& bytes) {
    return {"break on", "sleep 1", "break off",
            "send@38400 " + Describe(bytes.data(), static_cast<int>(bytes.size()))};
}

Events RecordTryEvents(const Bytes& record) {
    Events e{"clear rx", "clear tx"};
    Append(e, CommandEvents(record));
    Append(e, {"waittx 1000", "waitbreak 500", "waitrx 7 20"});
    return e;
}

Events RecordTransferEvents(const std::vector<Bytes>& records) {
    Events e;
    for (std::size_t i = 0; i < records.size(); ++i) {
        e.push_back("log \".\"");
        if ((i + 1) % 100 == 0)
            e.push_back("log \"\\n+ \"");
        Append(e, RecordTryEvents(records[i]));
        if (i % 20 == 0)
            e.push_back("step 20");
    }
    Append(e, {"clear rx", "clear tx"});
    return e;
}

namespace {

std::vector<Bytes> RecordsOfImg(CFileImg& img) {
    CLRArray lr(&img);
    std::vector<Bytes> out;
    for (int i = 0; i < lr.GetSize(); ++i) {
        const auto& r = lr.GetAt(i);
        out.emplace_back(reinterpret_cast<const BYTE*>(r.data()),
                         reinterpret_cast<const BYTE*>(r.data()) + r.size());
    }
    return out;
}

} // namespace

std::vector<Bytes> RecordsOf(const Bytes& binary, std::int32_t nBase) {
    auto pImg = MakeImg("x.bin", binary.data(), binary.size(), FILEIMG_BIN, nBase);
    return RecordsOfImg(*pImg);
}

std::vector<Bytes> RecordsOfS19(const std::string& text, std::int32_t nBase) {
    auto pImg = MakeImg("x.s19", reinterpret_cast<const BYTE*>(text.data()), text.size(),
                        FILEIMG_S19, nBase);
    return RecordsOfImg(*pImg);
}

UploadFixture::UploadFixture() {
    host.m_strStartCaption = "Start Upload";
    g_nBootstrapBaud = BOOTSTRAP_BAUD_NORMAL;
}

UploadFixture::~UploadFixture() {
    g_nBootstrapBaud = BOOTSTRAP_BAUD_NORMAL;
}

void UploadFixture::Prepare(DWORD dwBaud) {
    std::int32_t nRecords = 0;
    std::string strError;
    ASSERT_EQ(host.LoadImageFiles(&nRecords, &strError), S_OK) << strError;
    PORTMODE mode{};
    std::strcpy(mode.szPort, "/dev/ttyUSB0");
    mode.dwBaudRate = dwBaud;
    ASSERT_EQ(unit.Open(mode), S_OK);
    activity.Clear();
}
