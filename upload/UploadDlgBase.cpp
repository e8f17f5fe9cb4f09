// The upload session: UploadProc, its guard, and how front ends start and cancel it.

#include "upload/UploadDlgBase.h"

#include "platform/Thread.h"
#include "platform/TimerResolution.h"
#include "platform/Trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

std::atomic<std::int32_t> g_nBootstrapBaud{BOOTSTRAP_BAUD_NORMAL};

CUploadDlgBase::CUploadDlgBase()
    : m_pSerialPort(&m_SerialPort), m_pClock(&CSystemClock::Instance()) {}

CUploadDlgBase::CUploadDlgBase(const std::string& strSysClassTty, const std::string& strDevDir)
    : m_SerialPort(strSysClassTty, strDevDir), m_pSerialPort(&m_SerialPort),
      m_pClock(&CSystemClock::Instance()) {}

CUploadDlgBase::~CUploadDlgBase() {
    // A front end waits for its session before it takes itself apart; this only keeps the
    // members below alive for a worker that is still finishing its guard.
    WaitForSessionEnd(INFINITE);
}

void CUploadDlgBase::SetSerialPort(ISerialPort* pPort) {
    m_pSerialPort = pPort ? pPort : &m_SerialPort;
}

void CUploadDlgBase::SetClock(IClock* pClock) {
    m_pClock = pClock ? pClock : &CSystemClock::Instance();
}

// --- Start, cancel, end ----------------------------------------------------------------------

bool CUploadDlgBase::StartUploadSession(const std::string& strStartCaption) {
    {
        std::lock_guard lock(m_mtxSession);
        if (m_bUploading.load())
            return false;
        // Busy before the worker exists, so that its guard's clearing cannot come first.
        m_bUploading.store(true);
        m_bCancel.store(false);
        m_bCancelOpen = true;
        ++m_nSessionSerial;
        m_strStartCaption = strStartCaption;
    }
    CThreadThunk* pThunk = MakeThreadThunk(this, &CUploadDlgBase::UploadProc);
    if (pThunk && StartSessionThread(pThunk))
        return true;

    // No session exists to end the busy state: end it here and say why.
    FreeThreadThunk(pThunk);
    MarkSessionEnded();
    AddToLog(LOG_NO_THREAD);
    return false;
}

MsgBoxResult CUploadDlgBase::ShowDetailedMessageBox(const std::string& strText,
                                                    const std::string& strCaption, MsgBoxIcon eIcon,
                                                    MsgBoxButtons eButtons,
                                                    const std::string& /*strDetail*/) {
    return ShowMessageBox(strText, strCaption, eIcon, eButtons);
}

bool CUploadDlgBase::StartSessionThread(CThreadThunk* pThunk) {
    CThread thread;
    if (!thread.Start(pThunk, pThunk, THREAD_PRIORITY_BELOW_NORMAL))
        return false;
    thread.Detach();
    return true;
}

std::uint64_t CUploadDlgBase::GetCancelTicket() const {
    std::lock_guard lock(m_mtxSession);
    return m_bCancelOpen ? m_nSessionSerial : 0;
}

bool CUploadDlgBase::ConfirmCancel(std::uint64_t nTicket) {
    std::lock_guard lock(m_mtxSession);
    if (nTicket == 0 || nTicket != m_nSessionSerial || !m_bCancelOpen)
        return false;
    m_bCancel.store(true);
    return true;
}

bool CUploadDlgBase::WaitForSessionEnd(DWORD dwMilliseconds) const {
    std::unique_lock lock(m_mtxSession);
    auto idle = [this] { return !m_bUploading.load(); };
    if (dwMilliseconds == INFINITE) {
        m_cvSessionEnded.wait(lock, idle);
        return true;
    }
    return m_cvSessionEnded.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), idle);
}

void CUploadDlgBase::MarkSessionEnded() {
    // Notified under the lock: a waiter that then destroys this object cannot do so before
    // the notification is complete. Nothing of this object is touched after the unlock.
    std::lock_guard lock(m_mtxSession);
    m_bCancelOpen = false;
    m_bUploading.store(false);
    m_cvSessionEnded.notify_all();
}

// --- The log ---------------------------------------------------------------------------------

bool CUploadDlgBase::AddToLog(const char* pszText) {
    std::string strAdded;
    {
        std::lock_guard lock(m_mtxLog);
        strAdded = m_LogText.Append(pszText ? pszText : "");
    }
    ShowLogText(strAdded);
    return true;
}

std::string CUploadDlgBase::GetLogText() const {
    std::lock_guard lock(m_mtxLog);
    return m_LogText.GetText();
}

// --- Images ----------------------------------------------------------------------------------

HRESULT CUploadDlgBase::LoadImageFiles(std::int32_t* pnRecords, std::string* pstrError) {
    const std::string strDir = m_strImageDir.empty() ? GetImageDir(m_strAppDir) : m_strImageDir;
    // Every failure gets its line, a missing file too: the window's operator has no other
    // place to learn which file it is.
    return LoadImageFilesFromDir(strDir, m_listFileImg, pnRecords, pstrError);
}

void CUploadDlgBase::ReleaseSessionResources() {
    m_listFileImg.clear();
    m_pSerialPort->Close();
}

// --- The session -----------------------------------------------------------------------------

DWORD CUploadDlgBase::UploadProc(void* pThunk) {
    auto result = [](HRESULT hr) { return static_cast<DWORD>(hr); };
    // Before the guard, so that it is given back after the guard, on every path; it touches
    // nothing of this object.
    const CTimerResolutionScope timerResolution;
    NameCurrentThread("upload");
    // Each record waits for this thread twice (the end of its break, its answer's last byte):
    // it runs briefly at each, and should run as soon as woken, below-normal priority or not.
    RequestShortTimeSlices();
    LCCleanUp guard(this, pThunk);
    IClock& clock = *m_pClock;

    // Elapsed time on a monotonic clock: setting the system time during an upload must not
    // change it.
    const std::int64_t nStartTime = clock.GetMonotonicTime();

    if (m_bSlowMode.load()) {
        g_nBootstrapBaud = BOOTSTRAP_BAUD_SLOW;
        AddToLog(LOG_SLOW_MODE);
    } else {
        g_nBootstrapBaud = BOOTSTRAP_BAUD_NORMAL;
        AddToLog(LOG_FAST_MODE);
    }

    std::int32_t nRecords = 0;
    AddToLog(LOG_LOADING);
    m_listFileImg.clear();
    std::string strImageError;
    if (LoadImageFiles(&nRecords, &strImageError) != S_OK) {
        AddToLog(LOG_FAILED);
        if (!strImageError.empty())
            AddToLog((strImageError + "\n").c_str());
        return result(E_FAIL);
    }
    AddToLog(LOG_SUCCEEDED);
    if (m_bCancel.load())
        return 1;

    SetProgressRange(0, nRecords);
    SetProgressPos(0);

    // A name that does not fit the settings record is refused like an empty one.
    const std::string strPort = GetPortText();
    if (strPort.empty() || strPort.size() >= sizeof(PORTMODE::szPort) ||
        strPort.find('\0') != std::string::npos) {
        ShowMessageBox(MSG_SELECT_PORT, CAPTION_ERROR, MsgBoxIcon::Exclamation, MsgBoxButtons::Ok);
        FocusPortBox();
        return result(E_INVALIDARG);
    }

    AddToLog(LOG_OPENING);
    PORTMODE mode;
    std::memset(&mode, 0, sizeof mode);
    mode.cbSize = 32;
    std::memcpy(mode.szPort, strPort.c_str(), strPort.size() + 1);
    mode.dwBaudRate = 300;
    mode.byParity = NOPARITY;
    mode.byByteSize = 8;
    mode.byStopBits = ONESTOPBIT;
    mode.byRtsControl = RTS_CONTROL_DISABLE;
    mode.dwReserved = 0xFFFFFFFFu;
    if (m_pSerialPort->Open(mode) != S_OK) {
        AddToLog(LOG_FAILED);
        // The fixed text says what to check; the detail says what the system found.
        ShowDetailedMessageBox(MSG_PORT_NOT_OPEN, CAPTION_ERROR, MsgBoxIcon::Exclamation,
                               MsgBoxButtons::Ok, m_pSerialPort->GetOpenFailureReason());
        return result(E_FAIL);
    }
    AddToLog(LOG_SUCCEEDED);
    if (m_bCancel.load())
        return 1;

    char szLine[64];
    std::snprintf(szLine, sizeof szLine, LOG_STAGE_FORMAT, 1);
    AddToLog(szLine);
    if (UploadShutup() != 0) {
        if (m_bCancel.load())
            return 1;
        AddToLog(LOG_STAGE_FAILED);
        clock.Sleep(2000);
        return result(E_FAIL);
    }
    AddToLog(LOG_STAGE_SUCCEEDED);
    if (m_bCancel.load())
        return 1;

    using Stage = int (CUploadDlgBase::*)();
    static constexpr Stage stages[] = {&CUploadDlgBase::UploadBootI, &CUploadDlgBase::UploadSBoot,
                                       &CUploadDlgBase::UploadKernel,
                                       &CUploadDlgBase::UploadFirmware};
    int nStage = 2;
    for (const Stage pfnStage : stages) {
        std::snprintf(szLine, sizeof szLine, LOG_STAGE_FORMAT, nStage++);
        AddToLog(szLine);
        clock.Sleep(300);
        if ((this->*pfnStage)() != 0) {
            if (m_bCancel.load())
                return 1;
            AddToLog(LOG_STAGE_FAILED);
            return result(E_FAIL);
        }
        AddToLog(LOG_STAGE_SUCCEEDED);
        if (m_bCancel.load())
            return 1;
    }

    // Whole hours, however many: an upload of a day or more must not lose them.
    const std::int64_t nElapsed = std::max<std::int64_t>(0, clock.GetMonotonicTime() - nStartTime);
    const long long nSeconds = nElapsed / 10'000'000;
    std::snprintf(szLine, sizeof szLine, "Firmware uploaded in %lld:%02lld:%02lld (h:mm:ss)\n\n",
                  nSeconds / 3600, nSeconds / 60 % 60, nSeconds % 60);
    AddToLog(szLine);

    ShowMessageBox(MSG_UPLOAD_SUCCESSFUL, m_strAppTitle, MsgBoxIcon::None, MsgBoxButtons::Ok);
    return result(S_OK);
}

CUploadDlgBase::LCCleanUp::LCCleanUp(CUploadDlgBase* pDlg, void* pThunk)
    : m_pDlg(pDlg), m_pThunk(static_cast<CThreadThunk*>(pThunk)) {}

CUploadDlgBase::LCCleanUp::~LCCleanUp() {
    CUploadDlgBase& dlg = *m_pDlg;
    // Each step runs even when a window operation before it failed: the session must always
    // end idle, with the port closed.
    auto step = [](auto&& fn) {
        try {
            fn();
        } catch (...) {
            TraceDebug("CMorFWUploadDlg::LCCleanUp:  a clean-up step failed\n");
        }
    };
    step([&] { dlg.ReleaseSessionResources(); });
    step([&] { dlg.AddToLog("\n"); });
    step([&] { dlg.RestoreStartCaption(); });

    bool bCancelled;
    {
        // From here on a confirmation of the cancel question has no session left to stop.
        std::lock_guard lock(dlg.m_mtxSession);
        bCancelled = dlg.m_bCancel.exchange(false);
        dlg.m_bCancelOpen = false;
    }
    if (bCancelled)
        step([&] { dlg.AddToLog(LOG_USER_CANCELLED); });

    FreeThreadThunk(m_pThunk);
    dlg.MarkSessionEnded(); // the worker's last touch of the dialog
}
