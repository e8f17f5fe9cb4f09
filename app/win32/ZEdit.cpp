#include "app/win32/ZEdit.h"

#include "app/win32/WideText.h"

ZEdit::ZEdit(COLORREF crText, COLORREF crBackground)
    : m_crText(crText), m_crBackground(crBackground),
      m_brBackground(CreateSolidBrush(crBackground)) {}

ZEdit::~ZEdit() {
    if (m_brBackground)
        DeleteObject(m_brBackground);
}

void ZEdit::Attach(HWND hWnd) {
    m_hWnd = hWnd;
    // Zero: the largest limit a multi-line edit control has.
    SendMessageW(m_hWnd, EM_SETLIMITTEXT, 0, 0);
}

HBRUSH ZEdit::CtlColor(HDC hdc) const {
    SetBkColor(hdc, m_crBackground);
    SetTextColor(hdc, m_crText);
    return m_brBackground;
}

void ZEdit::AppendText(const std::string& strText) {
    const std::wstring w = Widen(strText);
    const int nEnd = GetWindowTextLengthW(m_hWnd);
    SendMessageW(m_hWnd, EM_SETSEL, static_cast<WPARAM>(nEnd), static_cast<LPARAM>(nEnd));
    if (!w.empty())
        SendMessageW(m_hWnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(w.c_str()));
    SendMessageW(m_hWnd, EM_SCROLLCARET, 0, 0);
}
