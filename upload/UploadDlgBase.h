#pragma once
// The dialog seam: everything the upload session and its five stages use of the main dialog,
// without any window system. The session (UploadProc with its guard LCCleanUp) and the stages
// are members of this class and work on its members directly; the few things they need of a
// window are pure virtual functions that each front end implements.
//
// How a front end uses it (the Qt dialog CMorFWUploadDlg, the command line, test hosts):
//
//   class CMorFWUploadDlg : public QDialog, public CUploadDlgBase { ... };
//
//   1. Derive, implement the window operations below, and set m_strAppDir (the program
//      directory, ending in '/') or m_strImageDir before the first session.
//   2. Start: on the window's thread, while IsSessionRunning() is false, copy the check boxes
//      into m_bSlowMode / m_bRelaxedErrorChecking and call
//      StartUploadSession(current caption of the Start button). On true, set the button's
//      caption to "Cancel Upload". StartUploadSession makes the thread entry thunk
//      (MakeThreadThunk(this, &CUploadDlgBase::UploadProc)), starts the worker with CThread at
//      THREAD_PRIORITY_BELOW_NORMAL and lets it run on unowned: nobody joins it. It marks the
//      session running (m_bUploading) before the thread starts, so the guard's clearing can
//      never come first. On false (the system gave no thread) it has logged a line saying so
//      and the dialog is idle again.
//   3. Cancel: ask the operator first. Take a ticket before the question and hand it back
//      with the answer:
//          const auto nTicket = GetCancelTicket();
//          if (<question answered Yes>) ConfirmCancel(nTicket);
//      ConfirmCancel sets m_bCancel only if that same session is still running and its guard
//      has not yet taken the flag, so a Yes given after the session ended on its own never
//      leaves m_bCancel set for the next session. (A Yes that comes before the guard, even
//      after the last stage, is still reported by the guard as "User cancelled...".)
//   4. End: m_bUploading (IsSessionRunning) turns false as the very last thing the worker does
//      with this object; from then on the object may be destroyed and a new session may
//      start. WaitForSessionEnd waits for that moment (the command line's main, a window's
//      destructor). A front end must not destroy its own parts while a session runs.
//
// Threads: the window operations are called on the worker thread (and ShowLogText once on the
// window's thread, when StartUploadSession finds no thread). Each must be carried out before
// it returns: a window performs it on its own thread while the worker waits.

#include "image/FileImg.h"
#include "platform/Status.h"
#include "platform/ThreadThunk.h"
#include "platform/Types.h"
#include "serial/PortMode.h"
#include "serial/SerialPort.h"
#include "serial/SerialPortInterface.h"
#include "upload/Clock.h"
#include "upload/LogText.h"
#include "upload/UploadTexts.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CLRArray;

// The baud rate of the unit's bootstrap mode: 738 in Slow Mode, 4800 otherwise. Each session
// sets it before anything else; it keeps its value afterwards.
extern std::atomic<std::int32_t> g_nBootstrapBaud;

inline constexpr std::int32_t BOOTSTRAP_BAUD_SLOW = 738;
inline constexpr std::int32_t BOOTSTRAP_BAUD_NORMAL = 4800;

enum class MsgBoxIcon { None, Exclamation };
enum class MsgBoxButtons { Ok, YesNo };
enum class MsgBoxResult { Ok, Yes, No };

class CUploadDlgBase {
public:
    CUploadDlgBase();
    // The same, with m_SerialPort's port list read from another tree (see CSerialPort).
    CUploadDlgBase(const std::string& strSysClassTty, const std::string& strDevDir);
    virtual ~CUploadDlgBase();
    CUploadDlgBase(const CUploadDlgBase&) = delete;
    CUploadDlgBase& operator=(const CUploadDlgBase&) = delete;

    // --- What the session works on -------------------------------------------------------

    // The two options; the window writes them while the worker reads them. Slow Mode is read
    // once at the start of a session; Relaxed Error Checking at each bootstrap pass.
    std::atomic<bool> m_bSlowMode{false};
    std::atomic<bool> m_bRelaxedErrorChecking{false};
    // True while a session exists. Set by StartUploadSession, cleared by the session's guard.
    std::atomic<bool> m_bUploading{false};
    // The operator's confirmed cancel request; polled by the session and the stages, cleared
    // by the guard. Front ends set it through ConfirmCancel.
    std::atomic<bool> m_bCancel{false};

    // The dialog's one serial port; it also holds the list of installed ports. The session
    // opens it and the guard closes it, unless SetSerialPort put another port in its place.
    CSerialPort m_SerialPort;
    // The five images during a session (emptied before loading and by the guard).
    CFileImgList m_listFileImg;
    // The Start button's caption, saved when a session starts (RestoreStartCaption puts it back).
    std::string m_strStartCaption;
    // The program directory, ending in '/'; the images are in its "MorFWImg/".
    std::string m_strAppDir;
    // When not empty, the image directory itself (the command line's --images).
    std::string m_strImageDir;
    // The application title: the caption of the success box.
    std::string m_strAppTitle = APP_TITLE;

    // --- Seams -----------------------------------------------------------------------------

    // The port the session opens and the stages drive: m_SerialPort unless replaced. Replaceable
    // only while no session runs (tests put a scripted unit here); null puts back m_SerialPort.
    void SetSerialPort(ISerialPort* pPort);
    ISerialPort* GetSerialPort() const { return m_pSerialPort; }
    // The clock of the stages' pauses and polls and of the elapsed time; null puts back the
    // system clock. Replaceable only while no session runs.
    void SetClock(IClock* pClock);
    IClock& GetClock() const { return *m_pClock; }

    // --- Front ends: start, cancel, end (window's thread) ----------------------------------

    // Starts a session on its worker thread; see the notes at the top. False when a session
    // is already running or no thread could be started.
    bool StartUploadSession(const std::string& strStartCaption = CAPTION_START);
    // A ticket naming the running session (0 when none runs), taken before the cancel question.
    std::uint64_t GetCancelTicket() const;
    // Sets m_bCancel when the ticket's session still runs and can still see it. Returns
    // whether it did.
    bool ConfirmCancel(std::uint64_t nTicket);
    // True from StartUploadSession until the worker has let go of this object.
    bool IsSessionRunning() const { return m_bUploading.load(); }
    // Waits until no session runs: true, or false when the time ran out (INFINITE allowed).
    bool WaitForSessionEnd(DWORD dwMilliseconds) const;

    // --- The log ---------------------------------------------------------------------------

    // Appends to the log (bare LF becomes CR LF) and returns when the window shows it. Always
    // true. Called on the worker thread.
    bool AddToLog(const char* pszText);
    // The whole log text with CR LF line ends (a copy).
    std::string GetLogText() const;

    // --- The session ---------------------------------------------------------------------

    // The session: the worker's routine. pThunk is the session's own thunk (null when a test
    // calls it directly); the guard frees it. Returns S_OK, 1 (cancelled), E_FAIL or
    // E_INVALIDARG, as an exit code.
    DWORD UploadProc(void* pThunk);

    // The session's clean-up guard, a local object of UploadProc.
    class LCCleanUp {
    public:
        LCCleanUp(CUploadDlgBase* pDlg, void* pThunk);
        // Frees the images, closes the port, logs "\n", restores the caption, reports a
        // cancellation, frees the thunk, and clears m_bUploading, in that order.
        virtual ~LCCleanUp();
        LCCleanUp(const LCCleanUp&) = delete;
        LCCleanUp& operator=(const LCCleanUp&) = delete;

        CUploadDlgBase* m_pDlg; // not owned
        CThreadThunk* m_pThunk; // owned; may be null
    };

    // Empties m_listFileImg, then closes the port. Called only by the guard.
    void ReleaseSessionResources();

    // Loads the five images into m_listFileImg (which the caller has emptied) from
    // m_strImageDir, or from "MorFWImg/" under m_strAppDir. *pnRecords receives the load-record
    // count of images 2 to 4. On failure *pstrError receives one line naming the file and
    // what is wrong with it (a missing file included). Tests override it.
    virtual HRESULT LoadImageFiles(std::int32_t* pnRecords, std::string* pstrError);

    // --- The stages ----------------------------------------------------------------------
    // Each returns 0 on success, 1 when it stopped for m_bCancel, E_FAIL or E_UNEXPECTED.

    int UploadShutup();   // stage 1: "Shutup.bin" in bootstrap mode
    int UploadBootI();    // stage 2: "BootI.bin", then 38400 baud and the "OK" exchange
    int UploadSBoot();    // stage 3: "SBoot.bin" as load records, "RC" and "OK"
    int UploadKernel();   // stage 4: "kernimg.s19" as load records, "B0C"
    int UploadFirmware(); // stage 5: "Morvane.s19" as load records, "RC"

    // The boot image at list position nImage in bootstrap mode, up to 15 attempts.
    int UploadBootStrap(int nImage, bool bRelaxed);
    // One unlock sequence at 300 baud: 0 or E_FAIL.
    int SendUnlockSequence();
    // Every record of the array in order, each acknowledged: 0, 1 or E_FAIL.
    int SendLoadRecords(CLRArray* pLRArray);

protected:
    // --- Window operations (front ends implement these) --------------------------------

    // Shows text appended to the log (CR LF line ends, as the log holds it); returns when it
    // is shown. An empty text only brings the newest line into view.
    virtual void ShowLogText(const std::string& strAppended) = 0;
    // The progress bar: range lower..upper, position, and a step by nDelta (the bar stops at
    // the end of its range).
    virtual void SetProgressRange(int nLower, int nUpper) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    virtual void DeltaProgressPos(int nDelta) = 0;
    // The port box's current text: the selected entry or what the operator typed.
    virtual std::string GetPortText() = 0;
    // A message box owned by the window, modal to it; returns the operator's answer.
    virtual MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                        MsgBoxIcon eIcon, MsgBoxButtons eButtons) = 0;
    // The same with a detail below the text (the system's reason for a failure). Front ends
    // that can show it override this; by default the detail is left out.
    virtual MsgBoxResult ShowDetailedMessageBox(const std::string& strText,
                                                const std::string& strCaption, MsgBoxIcon eIcon,
                                                MsgBoxButtons eButtons,
                                                const std::string& strDetail);
    // Gives the port box the keyboard focus.
    virtual void FocusPortBox() = 0;
    // Sets the Start button's caption back to m_strStartCaption.
    virtual void RestoreStartCaption() = 0;

    // Starts the worker thread on pThunk (as its entry and its argument) and lets it run on
    // unowned. False when the system gives no thread. Tests override it.
    virtual bool StartSessionThread(CThreadThunk* pThunk);

private:
    // A break of about 1 ms from the host: opens every record and command.
    void SendHostBreak();
    // Logs "# " and sends every load record of the image at list position nPos: 0, 1 or E_FAIL.
    int SendImageRecords(int nPos);
    // A closing command of stages 4 and 5: host break, the command, the unit's break, then up
    // to nPolls polls of 1 ms for its three reply bytes.
    void SendClosingCommand(const char* pszCommand, int nLength, int nPolls);
    // Whether the receive ring holds the unit's acknowledgement of record rec.
    bool IsLoadRecordAck(const std::vector<char>& rec);
    // Ends the session's run: marks it idle and wakes WaitForSessionEnd.
    void MarkSessionEnded();

    ISerialPort* m_pSerialPort;
    IClock* m_pClock;

    mutable std::mutex m_mtxLog;
    CLogText m_LogText;

    // Guards the session's start and end against the cancel confirmation.
    mutable std::mutex m_mtxSession;
    mutable std::condition_variable m_cvSessionEnded;
    std::uint64_t m_nSessionSerial = 0; // numbers the sessions started by StartUploadSession
    bool m_bCancelOpen = false;         // the running session can still see a cancel request
};
