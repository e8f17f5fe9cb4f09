#pragma once
// The about box (template 100): icon, version, notice and OK.

#include "platform/Win32.h"

class CAboutDlg {
public:
    explicit CAboutDlg(HINSTANCE hInstance) : m_hInstance(hInstance) {}
    // Shows the box modally to hParent; IDOK once it is closed.
    INT_PTR DoModal(HWND hParent);

private:
    HINSTANCE m_hInstance;
};
