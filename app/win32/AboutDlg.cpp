#include "app/win32/AboutDlg.h"

#include "app/win32/Resource.h"

namespace {

INT_PTR CALLBACK AboutProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hWnd, IDOK);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

INT_PTR CAboutDlg::DoModal(HWND hParent) {
    return DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), hParent, AboutProc, 0);
}
