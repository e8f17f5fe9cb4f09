#pragma once
// The dialog's texts are UTF-8 in the program and UTF-16 in the window system: conversions
// both ways.

#include "platform/Win32.h"

#include <string>

// UTF-8 to UTF-16. Bytes that are not UTF-8 (an image set's INI file written in the system's
// code page) are read in that code page instead, so nothing turns into replacement marks.
inline std::wstring Widen(const std::string& str) {
    if (str.empty())
        return {};
    const int nLen = static_cast<int>(str.size());
    UINT cp = CP_UTF8;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, str.data(), nLen, nullptr, 0);
    if (n <= 0) {
        cp = CP_ACP;
        n = MultiByteToWideChar(cp, 0, str.data(), nLen, nullptr, 0);
    }
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(cp, cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, str.data(), nLen,
                            w.data(), n);
    return w;
}

// UTF-16 to UTF-8.
inline std::string Narrow(const std::wstring& w) {
    if (w.empty())
        return {};
    const int nLen = static_cast<int>(w.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), nLen, nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), nLen, str.data(), n, nullptr, nullptr);
    return str;
}

// A window's text as UTF-8.
inline std::string GetWindowTextUtf8(HWND hWnd) {
    const int n = GetWindowTextLengthW(hWnd);
    if (n <= 0)
        return {};
    std::wstring w(static_cast<std::size_t>(n) + 1, L'\0');
    const int nGot = GetWindowTextW(hWnd, w.data(), n + 1);
    w.resize(static_cast<std::size_t>(nGot > 0 ? nGot : 0));
    return Narrow(w);
}
