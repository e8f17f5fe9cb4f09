#pragma once
// The main dialog as a native Windows dialog (template 102): port box, options, progress bar,
// log pane, Start/Cancel, Close and Help. As in the Qt window, the session runs on a worker
// thread against this dialog, and each window operation the worker asks for is carried out on
// the dialog's thread while the worker waits (a sent message). The dialog's thread never waits
// for the worker.

#include "upload/UploadDlgBase.h"

#include "platform/Win32.h" // after the project's headers

#include "app/win32/ZEdit.h"

#include <functional>
#include <string>

class CMorFWUploadDlg : public CUploadDlgBase {
public:
    // strAppDir: the program directory with its trailing backslash.
    CMorFWUploadDlg(const std::string& strAppDir, HINSTANCE hInstance);
    ~CMorFWUploadDlg() override;

    // Creates the dialog from its template and runs it until it ends; IDCANCEL (Close).
    INT_PTR DoModal();

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Reads the check boxes into the options (bSaveAndValidate true) or ticks them from them.
    void UpdateData(bool bSaveAndValidate);

protected:
    void ShowLogText(const std::string& strAppended) override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void DeltaProgressPos(int nDelta) override;
    std::string GetPortText() override;
    MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                MsgBoxIcon eIcon, MsgBoxButtons eButtons) override;
    MsgBoxResult ShowDetailedMessageBox(const std::string& strText, const std::string& strCaption,
                                        MsgBoxIcon eIcon, MsgBoxButtons eButtons,
                                        const std::string& strDetail) override;
    void FocusPortBox() override;
    void RestoreStartCaption() override;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    void OnOK();
    void OnCancel();
    void OnRelaxedErrorChecking();
    void OnKickIdle();
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    void OnHelp();
    void FillPortList();
    void ShowRevision();

    // A message box owned by the dialog, on the dialog's thread, sized to its text; a detail
    // (the system's reason for a failure) follows the text after an empty line.
    int DoMessageBox(const std::string& strText, const std::string& strCaption, UINT uType,
                     const std::string& strDetail = {});

    // Runs fn on the dialog's thread: at once there; from the worker through a sent message,
    // which returns when fn has run.
    void OnWindowThread(const std::function<void()>& fn);

    HINSTANCE m_hInstance;
    HWND m_hWnd = nullptr;
    DWORD m_dwWindowThread;
    bool m_bEnded = false;
    INT_PTR m_nResult = IDCANCEL;

    HICON m_hIcon;      // the program icon, large
    HICON m_hIconSmall; // and small
    ZEdit m_edtLog;
    HWND m_ctlProgress = nullptr;
    HWND m_btnClose = nullptr;
    HWND m_btnStart = nullptr;
    HWND m_cmbPort = nullptr;
};
