#include "app/win32/MessageBox.h"

#include "platform/TextWrap.h"

#include "app/win32/WideText.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct BOX {
    std::string strText;
    std::string strCaption;
    std::string strDetail;
    UINT uType = MB_OK;
    HFONT hFont = nullptr;
    RECT rcBand{}; // the button band, painted in the face colour below the white text area
};

constexpr DWORD BOX_STYLE = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr int TEXT_ID = 0xFFFF; // the system's box names its text so too

bool IsYesNo(UINT uType) {
    return (uType & MB_TYPEMASK) == MB_YESNO;
}

// Pixels at the system's density for a length given at 96 dots per inch.
int Scaled(int n, int nDpi) {
    return MulDiv(n, nDpi, 96);
}

int TextWidth(HDC hdc, std::string_view s) {
    const std::wstring w = Widen(std::string(s));
    RECT rc{0, 0, 0, 0};
    DrawTextW(hdc, w.c_str(), static_cast<int>(w.size()), &rc,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    return rc.right - rc.left;
}

void LayOut(HWND hWnd, BOX& box) {
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    box.hFont = CreateFontIndirectW(&ncm.lfMessageFont);

    const HDC hdc = GetDC(hWnd);
    const HGDIOBJ hOldFont = SelectObject(hdc, box.hFont);
    const int nDpi = GetDeviceCaps(hdc, LOGPIXELSY);
    TEXTMETRICW tm{};
    GetTextMetricsW(hdc, &tm);
    const TextWidthFn width = [hdc](std::string_view s) { return TextWidth(hdc, s); };

    // The screen (its work area) the owner is on bounds the box.
    const HWND hOwner = GetWindow(hWnd, GW_OWNER);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(hOwner ? hOwner : hWnd, MONITOR_DEFAULTTONEAREST), &mi);
    const RECT& rcWork = mi.rcWork;
    // The frame and the caption, as the window has them.
    RECT rcWindow, rcClient;
    GetWindowRect(hWnd, &rcWindow);
    GetClientRect(hWnd, &rcClient);
    const int nFrameX = (rcWindow.right - rcWindow.left) - rcClient.right;
    const int nFrameY = (rcWindow.bottom - rcWindow.top) - rcClient.bottom;

    const int nMargin = Scaled(12, nDpi);
    const bool bIcon = (box.uType & MB_ICONMASK) != 0;
    const int nIcon = bIcon ? GetSystemMetrics(SM_CXICON) : 0;
    const int nIconGap = bIcon ? Scaled(10, nDpi) : 0;
    const int nMaxText = std::max(Scaled(100, nDpi), static_cast<int>(rcWork.right - rcWork.left) -
                                                         nFrameX - 2 * nMargin - nIcon - nIconGap);

    // The text's lines whole where the screen has room; the detail at the text's width.
    std::string strShown = WrapText(box.strText, nMaxText, width);
    if (!box.strDetail.empty()) {
        const int nDetailWidth = std::min(
            nMaxText, std::max(WidestLine(strShown, width), WidestWord(box.strDetail, width)));
        strShown += "\n\n" + WrapText(box.strDetail, nDetailWidth, width);
    }
    const std::wstring wShown = Widen(strShown);
    RECT rcText{0, 0, 0, 0};
    DrawTextW(hdc, wShown.c_str(), static_cast<int>(wShown.size()), &rcText,
              DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
    const int cxText = rcText.right - rcText.left;
    const int cyText = std::max<int>(rcText.bottom - rcText.top, tm.tmHeight);

    // Buttons of the system's size: 50 by 14 dialog units of the box's font, wider for a
    // longer caption.
    const int nBaseX =
        (TextWidth(hdc, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    const wchar_t* const captions[2] = {IsYesNo(box.uType) ? L"&Yes" : L"OK", L"&No"};
    const int ids[2] = {IsYesNo(box.uType) ? IDYES : IDOK, IDNO};
    const int nButtons = IsYesNo(box.uType) ? 2 : 1;
    const int cyButton = MulDiv(14, tm.tmHeight, 8);
    int cxButton = MulDiv(50, nBaseX, 4);
    for (int i = 0; i < nButtons; ++i)
        cxButton = std::max(cxButton, TextWidth(hdc, Narrow(captions[i])) + 2 * nBaseX);
    const int nButtonGap = Scaled(8, nDpi);

    // Wide enough for the caption too.
    const HFONT hCaptionFont = CreateFontIndirectW(&ncm.lfCaptionFont);
    SelectObject(hdc, hCaptionFont);
    const int cxCaption = TextWidth(hdc, box.strCaption) + 3 * GetSystemMetrics(SM_CXSIZE);
    SelectObject(hdc, hOldFont);
    DeleteObject(hCaptionFont);
    ReleaseDC(hWnd, hdc);

    const int cyTop = nMargin + std::max(nIcon, cyText) + nMargin;
    const int cyBand = cyButton + 2 * Scaled(10, nDpi);
    const int cxButtons = nButtons * cxButton + (nButtons - 1) * nButtonGap;
    int cxClient =
        std::max({2 * nMargin + nIcon + nIconGap + cxText, 2 * nMargin + cxButtons, cxCaption});
    cxClient = std::min(cxClient, static_cast<int>(rcWork.right - rcWork.left) - nFrameX);
    const int cyClient = cyTop + cyBand;
    box.rcBand = RECT{0, cyTop, cxClient, cyClient};

    // Centred on the owner, within the work area.
    RECT rcOwner = rcWork;
    if (hOwner)
        GetWindowRect(hOwner, &rcOwner);
    const int cx = cxClient + nFrameX;
    const int cy = cyClient + nFrameY;
    int x = (rcOwner.left + rcOwner.right - cx) / 2;
    int y = (rcOwner.top + rcOwner.bottom - cy) / 2;
    x = std::max<int>(rcWork.left, std::min<int>(x, rcWork.right - cx));
    y = std::max<int>(rcWork.top, std::min<int>(y, rcWork.bottom - cy));
    SetWindowPos(hWnd, nullptr, x, y, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);

    const HINSTANCE hInst = GetModuleHandleW(nullptr);
    if (bIcon) {
        const HWND hIcon =
            CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, nMargin,
                            nMargin, nIcon, nIcon, hWnd, nullptr, hInst, nullptr);
        SendMessageW(hIcon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_WARNING)),
                     0);
    }
    // One line stands beside the icon's middle, as in the system's box.
    const int yText = nMargin + std::max(0, (nIcon - cyText) / 2);
    // The lines are laid out above: the control shows them as they are.
    const HWND hText = CreateWindowExW(
        0, L"STATIC", wShown.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX,
        nMargin + nIcon + nIconGap, yText, cxText, cyText, hWnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(TEXT_ID)), hInst, nullptr);
    SendMessageW(hText, WM_SETFONT, reinterpret_cast<WPARAM>(box.hFont), FALSE);

    int xButton = cxClient - nMargin - cxButtons;
    const int yButton = cyTop + (cyBand - cyButton) / 2;
    for (int i = 0; i < nButtons; ++i) {
        const DWORD dwStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP |
                              (i == 0 ? WS_GROUP | BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        const HWND hButton = CreateWindowExW(
            0, L"BUTTON", captions[i], dwStyle, xButton, yButton, cxButton, cyButton, hWnd,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(ids[i])), hInst, nullptr);
        SendMessageW(hButton, WM_SETFONT, reinterpret_cast<WPARAM>(box.hFont), FALSE);
        xButton += cxButton + nButtonGap;
    }
    SendMessageW(hWnd, DM_SETDEFID, static_cast<WPARAM>(ids[0]), 0);
    SetFocus(GetDlgItem(hWnd, ids[0]));
}

// The box's whole text on the clipboard, laid out as the system's box gives it, so that an
// operator can paste a failure into a report.
void CopyBox(HWND hWnd, const BOX& box) {
    const std::string strRule = "---------------------------\r\n";
    std::string strButtons = IsYesNo(box.uType) ? "Yes   No   " : "OK   ";
    std::string strAll = strRule + box.strCaption + "\r\n" + strRule + box.strText;
    if (!box.strDetail.empty())
        strAll += "\n\n" + box.strDetail;
    strAll += "\r\n" + strRule + strButtons + "\r\n" + strRule;
    // The texts break their lines with a line feed alone; the clipboard's text wants CR LF.
    std::wstring wAll;
    for (const wchar_t c : Widen(strAll)) {
        if (c == L'\n' && (wAll.empty() || wAll.back() != L'\r'))
            wAll += L'\r';
        wAll += c;
    }
    const size_t cb = (wAll.size() + 1) * sizeof(wchar_t);
    HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, cb);
    if (!hMem)
        return;
    std::memcpy(GlobalLock(hMem), wAll.c_str(), cb);
    GlobalUnlock(hMem);
    if (OpenClipboard(hWnd)) {
        EmptyClipboard();
        if (SetClipboardData(CF_UNICODETEXT, hMem))
            hMem = nullptr; // the clipboard owns it now
        CloseClipboard();
    }
    if (hMem)
        GlobalFree(hMem);
}

// Ctrl+C reaches the focused button, not the box: the modal loop's message filter sees it first.
HWND g_hCopyBox = nullptr;
LRESULT CALLBACK CopyKeyFilter(int nCode, WPARAM wParam, LPARAM lParam) {
    const auto* pMsg = reinterpret_cast<const MSG*>(lParam);
    if (nCode == MSGF_DIALOGBOX && g_hCopyBox && pMsg->message == WM_KEYDOWN &&
        (pMsg->wParam == 'C' || pMsg->wParam == VK_INSERT) && GetKeyState(VK_CONTROL) < 0 &&
        (pMsg->hwnd == g_hCopyBox || IsChild(g_hCopyBox, pMsg->hwnd))) {
        SendMessageW(g_hCopyBox, WM_COPY, 0, 0);
        return TRUE;
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

INT_PTR CALLBACK BoxProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    auto* pBox = reinterpret_cast<BOX*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    switch (uMsg) {
    case WM_INITDIALOG:
        pBox = reinterpret_cast<BOX*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        SetWindowTextW(hWnd, Widen(pBox->strCaption).c_str());
        LayOut(hWnd, *pBox);
        // A Yes/No question must be answered: no close command, and Escape does nothing.
        if (IsYesNo(pBox->uType))
            EnableMenuItem(GetSystemMenu(hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
        if (pBox->uType & MB_ICONMASK)
            MessageBeep(pBox->uType & MB_ICONMASK);
        g_hCopyBox = hWnd;
        return FALSE; // the focus is set
    case WM_COPY:
        if (pBox)
            CopyBox(hWnd, *pBox);
        return TRUE;
    case WM_DESTROY:
        if (g_hCopyBox == hWnd)
            g_hCopyBox = nullptr;
        return FALSE;
    case WM_ERASEBKGND: {
        // The text area in the window colour, the buttons' band in the face colour.
        const auto hdc = reinterpret_cast<HDC>(wParam);
        RECT rc;
        GetClientRect(hWnd, &rc);
        FillRect(hdc, &rc, GetSysColorBrush(COLOR_WINDOW));
        if (pBox)
            FillRect(hdc, &pBox->rcBand, GetSysColorBrush(COLOR_3DFACE));
        SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC:
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_WINDOW));
    case WM_CTLCOLORBTN:
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_3DFACE));
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDYES:
        case IDNO:
            EndDialog(hWnd, LOWORD(wParam));
            return TRUE;
        case IDCANCEL: // Escape and the close command: OK in a box that has only OK
            if (pBox && !IsYesNo(pBox->uType))
                EndDialog(hWnd, IDOK);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

} // namespace

int ShowFittedMessageBox(HWND hOwner, const std::string& strText, const std::string& strCaption,
                         UINT uType, const std::string& strDetail) {
    BOX box{strText, strCaption, strDetail, uType, nullptr, {}};
    // An empty template: the box places its controls itself once it knows its font.
    struct alignas(4) TEMPLATE {
        DLGTEMPLATE dlg;
        WORD wMenu, wClass, wTitle;
    } tmpl{};
    tmpl.dlg.style = BOX_STYLE;
    const HWND hPreviousBox = g_hCopyBox; // a box may be shown while another is open
    const HHOOK hFilter =
        SetWindowsHookExW(WH_MSGFILTER, CopyKeyFilter, nullptr, GetCurrentThreadId());
    const INT_PTR nResult = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &tmpl.dlg, hOwner,
                                                    BoxProc, reinterpret_cast<LPARAM>(&box));
    if (hFilter)
        UnhookWindowsHookEx(hFilter);
    g_hCopyBox = hPreviousBox;
    // The controls, which used the font, are gone with the box.
    if (box.hFont)
        DeleteObject(box.hFont);
    if (nResult > 0)
        return static_cast<int>(nResult);
    // Should the box fail to appear, the system's says the same.
    const std::string strAll = strDetail.empty() ? strText : strText + "\n\n" + strDetail;
    return MessageBoxW(hOwner, Widen(strAll).c_str(), Widen(strCaption).c_str(), uType);
}
