#include "app/win32/MorFWUploadDlg.h"

#include "app/DialogTexts.h"
#include "image/FileImg.h"
#include "platform/PrintableText.h"
#include "serial/PortDiscovery.h"

#include "app/win32/AboutDlg.h"
#include "app/win32/MessageBox.h"
#include "app/win32/Resource.h"
#include "app/win32/WideText.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

namespace {

// The worker's window operation, carried out by the dialog's thread (lParam: the function).
constexpr UINT WM_APP_RUNCALL = WM_APP + 1;
// Runs from the caption's restoring until the session has let go of the dialog, so that the
// dialog's thread comes to an idle moment after the session's very end.
constexpr UINT_PTR TIMER_SESSION_END = 1;
constexpr UINT SESSION_END_POLL_MS = 20;

std::string Replace1(std::string str, const std::string& strWith) {
    const auto at = str.find("%1");
    if (at != std::string::npos)
        str.replace(at, 2, strWith);
    return str;
}

bool FileExists(const std::string& strPath) {
    const DWORD dw = GetFileAttributesW(Widen(strPath).c_str());
    return dw != INVALID_FILE_ATTRIBUTES && !(dw & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

CMorFWUploadDlg::CMorFWUploadDlg(const std::string& strAppDir, HINSTANCE hInstance)
    : m_hInstance(hInstance), m_dwWindowThread(GetCurrentThreadId()),
      m_hIcon(static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), 0))),
      m_hIconSmall(static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0))),
      m_edtLog(GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW)) {
    m_strAppDir = strAppDir;
}

CMorFWUploadDlg::~CMorFWUploadDlg() {
    // The dialog does not end while a session runs. Should the program be torn down
    // regardless, ask the session to stop and serve its window operations until it has let go.
    if (m_bUploading.load()) {
        ConfirmCancel(GetCancelTicket());
        MSG msg;
        while (!WaitForSessionEnd(10))
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // takes the sent messages
    }
    if (m_hWnd)
        DestroyWindow(m_hWnd);
    if (m_hIcon)
        DestroyIcon(m_hIcon);
    if (m_hIconSmall)
        DestroyIcon(m_hIconSmall);
}

INT_PTR CMorFWUploadDlg::DoModal() {
    m_bEnded = false;
    m_hWnd = CreateDialogParamW(m_hInstance, MAKEINTRESOURCEW(IDD_MORFWUPLOAD_DIALOG), nullptr,
                                &CMorFWUploadDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!m_hWnd)
        return -1;
    // The system hides focus frames until the keyboard is used, and the default button then
    // looks the same with the focus as without: the frames show from the start.
    SendMessageW(m_hWnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    // The modal loop of a dialog framework: the dialog's own messages, and an idle moment
    // each time its queue has run empty. Messages the worker sends are taken inside
    // GetMessageW, so the loop sleeps whenever nothing is posted.
    bool bIdle = true;
    MSG msg;
    while (!m_bEnded) {
        if (bIdle && !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            OnKickIdle();
            bIdle = false;
            continue;
        }
        const BOOL b = GetMessageW(&msg, nullptr, 0, 0);
        if (b <= 0) {
            if (b == 0)
                PostQuitMessage(static_cast<int>(msg.wParam)); // for the program's end
            break;
        }
        if (!IsDialogMessageW(m_hWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        bIdle = true;
    }
    DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return m_nResult;
}

INT_PTR CALLBACK CMorFWUploadDlg::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        auto* pDlg = reinterpret_cast<CMorFWUploadDlg*>(lParam);
        pDlg->m_hWnd = hWnd;
        return pDlg->OnInitDialog();
    }
    auto* pDlg = reinterpret_cast<CMorFWUploadDlg*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    return pDlg ? pDlg->OnMessage(uMsg, wParam, lParam) : FALSE;
}

INT_PTR CMorFWUploadDlg::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_APP_RUNCALL:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL: // Close, Escape and the window's close command
            OnCancel();
            return TRUE;
        case ID_HELP:
            OnHelp();
            return TRUE;
        case IDC_RELAXED:
            if (HIWORD(wParam) == BN_CLICKED)
                OnRelaxedErrorChecking();
            return TRUE;
        default:
            return FALSE;
        }
    case WM_HELP: // F1
        OnHelp();
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            return TRUE;
        }
        return FALSE;       // the system's own commands keep their effect
    case WM_CTLCOLORSTATIC: // what a read-only edit control asks
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == m_edtLog.GetSafeHwnd())
            return reinterpret_cast<INT_PTR>(m_edtLog.CtlColor(reinterpret_cast<HDC>(wParam)));
        return FALSE;
    case WM_PAINT:
        if (IsIconic(m_hWnd)) {
            OnPaint();
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_TIMER:
        if (wParam == TIMER_SESSION_END && !m_bUploading.load())
            KillTimer(m_hWnd, TIMER_SESSION_END);
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL CMorFWUploadDlg::OnInitDialog() {
    m_ctlProgress = GetDlgItem(m_hWnd, IDC_PROGRESS);
    m_btnClose = GetDlgItem(m_hWnd, IDCANCEL);
    m_edtLog.Attach(GetDlgItem(m_hWnd, IDC_LOG));
    m_btnStart = GetDlgItem(m_hWnd, IDOK);
    m_cmbPort = GetDlgItem(m_hWnd, IDC_PORT);
    // Both options start clear: nothing is remembered from an earlier run.
    UpdateData(false);

    if (HMENU hSysMenu = GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t szAbout[128] = {};
        if (LoadStringW(m_hInstance, IDS_ABOUTBOX, szAbout, 128) > 0) {
            AppendMenuW(hSysMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));

    SendMessageW(m_ctlProgress, PBM_SETRANGE32, 0, 100);
    FillPortList();
    ShowRevision();
    return TRUE; // the system gives the first control the focus
}

void CMorFWUploadDlg::FillPortList() {
    // Numbers in numeric order (COM2 before COM10), as the command line lists them.
    std::vector<std::string> names;
    for (int i = 0;; ++i) {
        const char* pszName = m_SerialPort.GetPortName(i);
        if (!pszName)
            break;
        names.emplace_back(pszName);
    }
    std::stable_sort(names.begin(), names.end(), PortNameLess);
    for (const std::string& strName : names)
        SendMessageW(m_cmbPort, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(strName).c_str()));
    // The first entry; with no ports both the list and the field stay empty.
    SendMessageW(m_cmbPort, CB_SETCURSEL, names.empty() ? static_cast<WPARAM>(-1) : 0, 0);
}

void CMorFWUploadDlg::ShowRevision() {
    const HWND hRevision = GetDlgItem(m_hWnd, IDC_REVISION);
    const std::string strText =
        GetWindowTextUtf8(hRevision) + "  " + EscapeControlChars(GetFirmwareRevision(m_strAppDir));
    SetWindowTextW(hRevision, Widen(strText).c_str());
}

void CMorFWUploadDlg::UpdateData(bool bSaveAndValidate) {
    if (bSaveAndValidate) {
        m_bRelaxedErrorChecking.store(IsDlgButtonChecked(m_hWnd, IDC_RELAXED) == BST_CHECKED);
        m_bSlowMode.store(IsDlgButtonChecked(m_hWnd, IDC_SLOW_MODE) == BST_CHECKED);
    } else {
        CheckDlgButton(m_hWnd, IDC_RELAXED,
                       m_bRelaxedErrorChecking.load() ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(m_hWnd, IDC_SLOW_MODE, m_bSlowMode.load() ? BST_CHECKED : BST_UNCHECKED);
    }
}

// --- Handlers --------------------------------------------------------------------------------

void CMorFWUploadDlg::OnOK() {
    if (!m_bUploading.load()) {
        UpdateData(true);
        // On failure the session has logged why, and the dialog stays idle.
        if (StartUploadSession(GetWindowTextUtf8(m_btnStart)))
            SetWindowTextW(m_btnStart, Widen(CAPTION_CANCEL).c_str());
        return;
    }
    // The session goes on while the question is open; a Yes given after it has ended on its
    // own is dropped, so it cannot cancel the next one.
    const auto nTicket = GetCancelTicket();
    if (DoMessageBox(MSG_CANCEL_QUESTION, CAPTION_WARNING, MB_ICONEXCLAMATION | MB_YESNO) == IDYES)
        ConfirmCancel(nTicket);
}

void CMorFWUploadDlg::OnCancel() {
    // Close is disabled during a session; Escape and the window's close command are refused.
    if (m_bUploading.load())
        return;
    m_nResult = IDCANCEL;
    m_bEnded = true;
}

void CMorFWUploadDlg::OnRelaxedErrorChecking() {
    // The box has already changed; a clear option means it has just been ticked.
    if (!m_bRelaxedErrorChecking.load())
        DoMessageBox(MSG_RELAXED_WARNING, CAPTION_WARNING, MB_ICONEXCLAMATION | MB_OK);
    // At once, also during a session: its next bootstrap pass uses the new value.
    UpdateData(true);
}

void CMorFWUploadDlg::OnKickIdle() {
    const bool bEnable = !m_bUploading.load();
    if ((IsWindowEnabled(m_btnClose) != FALSE) != bEnable)
        EnableWindow(m_btnClose, bEnable ? TRUE : FALSE);
}

void CMorFWUploadDlg::OnSysCommand(UINT /*nID*/, LPARAM /*lParam*/) {
    CAboutDlg dlg(m_hInstance);
    dlg.DoModal(m_hWnd);
}

void CMorFWUploadDlg::OnPaint() {
    PAINTSTRUCT ps;
    const HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    RECT rc;
    GetClientRect(m_hWnd, &rc);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    DrawIcon(hdc, (rc.right - rc.left - cxIcon + 1) / 2, (rc.bottom - rc.top - cyIcon + 1) / 2,
             m_hIcon);
    EndPaint(m_hWnd, &ps);
}

void CMorFWUploadDlg::OnHelp() {
    const std::string strPage = m_strAppDir + HELP_PAGE_NAME;
    if (!FileExists(strPage)) {
        DoMessageBox(Replace1(MSG_HELP_NOT_FOUND, HELP_PAGE_NAME), CAPTION_ERROR,
                     MB_ICONEXCLAMATION | MB_OK);
        return;
    }
    // The page in the system's viewer for it (a web browser).
    const auto hResult = reinterpret_cast<INT_PTR>(
        ShellExecuteW(m_hWnd, L"open", Widen(strPage).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (hResult <= 32)
        DoMessageBox(Replace1(MSG_NO_HELP_VIEWER, strPage), CAPTION_ERROR,
                     MB_ICONEXCLAMATION | MB_OK);
}

int CMorFWUploadDlg::DoMessageBox(const std::string& strText, const std::string& strCaption,
                                  UINT uType, const std::string& strDetail) {
    return ShowFittedMessageBox(m_hWnd, strText, strCaption, uType, strDetail);
}

// --- Window operations of the session ------------------------------------------------------

void CMorFWUploadDlg::OnWindowThread(const std::function<void()>& fn) {
    if (GetCurrentThreadId() == m_dwWindowThread)
        fn();
    else
        SendMessageW(m_hWnd, WM_APP_RUNCALL, 0, reinterpret_cast<LPARAM>(&fn));
}

void CMorFWUploadDlg::ShowLogText(const std::string& strAppended) {
    OnWindowThread([&] { m_edtLog.AppendText(strAppended); });
}

void CMorFWUploadDlg::SetProgressRange(int nLower, int nUpper) {
    OnWindowThread([&] {
        SendMessageW(m_ctlProgress, PBM_SETRANGE32, static_cast<WPARAM>(nLower),
                     static_cast<LPARAM>(nUpper));
    });
}

void CMorFWUploadDlg::SetProgressPos(int nPos) {
    OnWindowThread([&] { SendMessageW(m_ctlProgress, PBM_SETPOS, static_cast<WPARAM>(nPos), 0); });
}

void CMorFWUploadDlg::DeltaProgressPos(int nDelta) {
    OnWindowThread(
        [&] { SendMessageW(m_ctlProgress, PBM_DELTAPOS, static_cast<WPARAM>(nDelta), 0); });
}

std::string CMorFWUploadDlg::GetPortText() {
    std::string strText;
    OnWindowThread([&] { strText = GetWindowTextUtf8(m_cmbPort); });
    return strText;
}

MsgBoxResult CMorFWUploadDlg::ShowMessageBox(const std::string& strText,
                                             const std::string& strCaption, MsgBoxIcon eIcon,
                                             MsgBoxButtons eButtons) {
    return ShowDetailedMessageBox(strText, strCaption, eIcon, eButtons, {});
}

MsgBoxResult CMorFWUploadDlg::ShowDetailedMessageBox(const std::string& strText,
                                                     const std::string& strCaption,
                                                     MsgBoxIcon eIcon, MsgBoxButtons eButtons,
                                                     const std::string& strDetail) {
    UINT uType = eButtons == MsgBoxButtons::YesNo ? MB_YESNO : MB_OK;
    if (eIcon == MsgBoxIcon::Exclamation)
        uType |= MB_ICONEXCLAMATION;
    int nAnswer = IDOK;
    OnWindowThread([&] { nAnswer = DoMessageBox(strText, strCaption, uType, strDetail); });
    return nAnswer == IDYES  ? MsgBoxResult::Yes
           : nAnswer == IDNO ? MsgBoxResult::No
                             : MsgBoxResult::Ok;
}

void CMorFWUploadDlg::FocusPortBox() {
    OnWindowThread(
        [&] { SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_cmbPort), TRUE); });
}

void CMorFWUploadDlg::RestoreStartCaption() {
    OnWindowThread([&] {
        SetWindowTextW(m_btnStart, Widen(m_strStartCaption).c_str());
        // The session clears its busy flag only after this, with no word to the dialog.
        SetTimer(m_hWnd, TIMER_SESSION_END, SESSION_END_POLL_MS, nullptr);
    });
}
