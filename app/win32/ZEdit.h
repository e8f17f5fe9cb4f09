#pragma once
// The log pane of the native dialog: a read-only multi-line edit control painted in the
// system's window colours. A read-only edit asks its parent for colours with
// WM_CTLCOLORSTATIC, and would get the dialog's face colour; the dialog hands such a query for
// the pane to CtlColor.

#include "platform/Win32.h"

#include <string>

class ZEdit {
public:
    ZEdit(COLORREF crText, COLORREF crBackground);
    ~ZEdit();
    ZEdit(const ZEdit&) = delete;
    ZEdit& operator=(const ZEdit&) = delete;

    // Takes the dialog's edit control; lifts the control's text limit, so that no append is
    // ever refused however long the log grows.
    void Attach(HWND hWnd);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // Colours the pane: the background and text colour into hdc, the brush for the rest.
    HBRUSH CtlColor(HDC hdc) const;

    // Appends UTF-8 text (CR LF line ends) at the end, puts the caret there and scrolls it
    // into view. The cost is that of the appended text, however long the log has grown.
    void AppendText(const std::string& strText);

    COLORREF TextColor() const { return m_crText; }
    COLORREF BackgroundColor() const { return m_crBackground; }

private:
    COLORREF m_crText;
    COLORREF m_crBackground;
    HBRUSH m_brBackground;
    HWND m_hWnd = nullptr;
};
