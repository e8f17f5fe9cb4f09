// MorFWUpload.exe driven from another process as an operator would drive it: the dialog's
// texts, the port list from the registry, an upload to the simulated unit, the cancel question,
// the option warning, About from the system menu. Runs under Wine on a virtual X display
// (the ctest entry sets that up); with MORFW_SCREENSHOT_DIR set it also saves pictures there.
#include "app/DialogTexts.h"
#include "serial/PortDiscovery.h"
#include "upload/UploadTexts.h"

#include "MorFWVersion.h"
#include "app/win32/Resource.h"
#include "app/win32/WideText.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The test measures texts and windows in the system's pixels, as the dialog (which declares
// itself aware of the density) lays them out, also when the system runs at 150 % or 200 %.
const BOOL g_bDpiAware = SetProcessDPIAware();

// Waits for a condition of the other process, looking every 20 ms.
bool WaitFor(const std::function<bool()>& pred, int nMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A control's text from another process: GetWindowText reads only captions there.
std::string TextOf(HWND hWnd) {
    DWORD_PTR nLen = 0;
    if (!SendMessageTimeoutW(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &nLen))
        return {};
    std::wstring w(nLen + 1, L'\0');
    DWORD_PTR nGot = 0;
    SendMessageTimeoutW(hWnd, WM_GETTEXT, nLen + 1, reinterpret_cast<LPARAM>(w.data()),
                        SMTO_ABORTIFHUNG, 5000, &nGot);
    w.resize(nGot);
    return Narrow(w);
}

std::string ClassOf(HWND hWnd) {
    wchar_t sz[64] = {};
    GetClassNameW(hWnd, sz, 64);
    return Narrow(sz);
}

struct DialogSearch {
    DWORD dwPid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND hWnd, LPARAM lParam) {
    auto& c = *reinterpret_cast<DialogSearch*>(lParam);
    DWORD dw = 0;
    GetWindowThreadProcessId(hWnd, &dw);
    if (dw == c.dwPid && IsWindowVisible(hWnd) && ClassOf(hWnd) == "#32770")
        c.found.push_back(hWnd);
    return TRUE;
}

// The dialog windows (class #32770) of a process, visible ones only.
std::vector<HWND> DialogsOf(DWORD dwPid) {
    DialogSearch search{dwPid, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The texts of a dialog's static controls, in order.
std::vector<std::string> StaticTexts(HWND hWnd) {
    std::vector<std::string> texts;
    for (HWND h = GetWindow(hWnd, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        if (ClassOf(h) == "Static")
            texts.push_back(TextOf(h));
    }
    return texts;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// The window's picture as the screen shows it, as a top-down 32-bit bitmap.
struct Picture {
    int cx = 0, cy = 0;
    std::vector<std::uint32_t> px; // 0x00RRGGBB
    COLORREF At(int x, int y) const {
        const std::uint32_t v = px[static_cast<std::size_t>(y * cx + x)];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }
};

Picture Capture(HWND hWnd) {
    Picture pic;
    RECT rc;
    GetWindowRect(hWnd, &rc);
    pic.cx = rc.right - rc.left;
    pic.cy = rc.bottom - rc.top;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = pic.cx;
    bi.bmiHeader.biHeight = -pic.cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* pBits = nullptr;
    const HDC hScreen = GetDC(nullptr);
    const HDC hMem = CreateCompatibleDC(hScreen);
    const HBITMAP hBmp = CreateDIBSection(hScreen, &bi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    const HGDIOBJ hOld = SelectObject(hMem, hBmp);
    BitBlt(hMem, 0, 0, pic.cx, pic.cy, hScreen, rc.left, rc.top, SRCCOPY);
    GdiFlush();
    const auto* p = static_cast<const std::uint32_t*>(pBits);
    pic.px.assign(p, p + static_cast<std::size_t>(pic.cx) * static_cast<std::size_t>(pic.cy));
    SelectObject(hMem, hOld);
    DeleteObject(hBmp);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    return pic;
}

// The small program icon as drawn on black and on white: the pixels that come out the same on
// both are its opaque ones.
struct IconPixels {
    int cx = 0;
    std::vector<std::pair<POINT, COLORREF>> opaque;
};

// MorFWUpload.exe beside this test program.
std::wstring DialogExe() {
    wchar_t szPath[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    const std::wstring strSelf(szPath, n);
    return strSelf.substr(0, strSelf.find_last_of(L"\\/") + 1) + L"MorFWUpload.exe";
}

IconPixels SmallProgramIcon() {
    IconPixels icon;
    const HMODULE hExe = LoadLibraryExW(DialogExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!hExe)
        return icon;
    icon.cx = GetSystemMetrics(SM_CXSMICON);
    const auto hIcon = static_cast<HICON>(
        LoadImageW(hExe, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, icon.cx, icon.cx, 0));
    Picture onBlack, onWhite;
    for (Picture* p : {&onBlack, &onWhite}) {
        const HDC hScreen = GetDC(nullptr);
        const HDC hMem = CreateCompatibleDC(hScreen);
        const HBITMAP hBmp = CreateCompatibleBitmap(hScreen, icon.cx, icon.cx);
        const HGDIOBJ hOld = SelectObject(hMem, hBmp);
        RECT rc{0, 0, icon.cx, icon.cx};
        const int nBrush = p == &onBlack ? BLACK_BRUSH : WHITE_BRUSH;
        FillRect(hMem, &rc, static_cast<HBRUSH>(GetStockObject(nBrush)));
        DrawIconEx(hMem, 0, 0, hIcon, icon.cx, icon.cx, 0, nullptr, DI_NORMAL);
        p->cx = p->cy = icon.cx;
        for (int y = 0; y < icon.cx; ++y)
            for (int x = 0; x < icon.cx; ++x) {
                const COLORREF c = GetPixel(hMem, x, y);
                p->px.push_back((GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c));
            }
        SelectObject(hMem, hOld);
        DeleteObject(hBmp);
        DeleteDC(hMem);
        ReleaseDC(nullptr, hScreen);
    }
    for (int y = 0; y < icon.cx; ++y)
        for (int x = 0; x < icon.cx; ++x)
            if (onBlack.At(x, y) == onWhite.At(x, y))
                icon.opaque.push_back({POINT{x, y}, onBlack.At(x, y)});
    DestroyIcon(hIcon);
    FreeLibrary(hExe);
    return icon;
}

// Whether the small program icon appears, every opaque pixel exact, within the area.
bool ShowsSmallIcon(const Picture& pic, int x0, int y0, int x1, int y1) {
    const IconPixels icon = SmallProgramIcon();
    if (icon.opaque.size() < 16)
        return false;
    for (int y = y0; y + icon.cx <= std::min(y1, pic.cy); ++y)
        for (int x = x0; x + icon.cx <= std::min(x1, pic.cx); ++x) {
            bool bAll = true;
            for (const auto& [pt, c] : icon.opaque)
                if (pic.At(x + pt.x, y + pt.y) != c) {
                    bAll = false;
                    break;
                }
            if (bAll)
                return true;
        }
    return false;
}

// Saves the window's picture as NAME.bmp in MORFW_SCREENSHOT_DIR (when set).
void Screenshot(HWND hWnd, const std::string& strName) {
    const char* pszDir = std::getenv("MORFW_SCREENSHOT_DIR");
    if (!pszDir || !*pszDir)
        return;
    std::this_thread::sleep_for(300ms); // let the window finish painting
    const Picture pic = Capture(hWnd);
    const std::string strPath = std::string(pszDir) + "/" + strName + ".bmp";
    FILE* f = std::fopen(strPath.c_str(), "wb");
    if (!f)
        return;
    const DWORD nBits = static_cast<DWORD>(pic.px.size() * 4);
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + nBits;
    ih.biSize = sizeof ih;
    ih.biWidth = pic.cx;
    ih.biHeight = -pic.cy;
    ih.biPlanes = 1;
    ih.biBitCount = 32;
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&ih, sizeof ih, 1, f);
    std::fwrite(pic.px.data(), 1, nBits, f);
    std::fclose(f);
}

// The system's density in dots per inch (96 at 100 %).
int SystemDpi() {
    const HDC hdc = GetDC(nullptr);
    const int nDpi = GetDeviceCaps(hdc, LOGPIXELSY);
    ReleaseDC(nullptr, hdc);
    return nDpi;
}

// A picture's name with the density it was taken at, where that is not 100 %.
std::string AtDpi(const std::string& strName) {
    const int nDpi = SystemDpi();
    return nDpi == 96 ? strName : strName + "-" + std::to_string(nDpi * 100 / 96) + "-percent";
}

// The text of a message box (its static control) and the room the box gives it.
HWND BoxText(HWND hBox) {
    return GetDlgItem(hBox, 0xFFFF);
}

// Each line of the box's text stands whole on a line of its own: the control does not wrap, and
// it is as wide as the widest line and as tall as all of them in the system's message font.
void ExpectBoxFitsItsText(HWND hBox, const std::string& strText) {
    const HWND hText = BoxText(hBox);
    ASSERT_NE(hText, nullptr);
    EXPECT_EQ(TextOf(hText), strText);
    EXPECT_EQ(GetWindowLongW(hText, GWL_STYLE) & SS_TYPEMASK, SS_LEFTNOWORDWRAP);
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0));
    const HFONT hFont = CreateFontIndirectW(&ncm.lfMessageFont);
    const HDC hdc = GetDC(nullptr);
    const HGDIOBJ hOld = SelectObject(hdc, hFont);
    RECT rcRoom;
    GetClientRect(hText, &rcRoom);
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = strText.find('\n', nStart);
        const std::wstring wLine = Widen(strText.substr(nStart, nEnd - nStart));
        RECT rc{0, 0, 0, 0};
        DrawTextW(hdc, wLine.c_str(), static_cast<int>(wLine.size()), &rc,
                  DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        EXPECT_LE(rc.right, rcRoom.right) << Narrow(wLine);
        if (nEnd == std::string::npos)
            break;
        nStart = nEnd + 1;
    }
    const std::wstring wText = Widen(strText);
    RECT rcAll{0, 0, 0, 0};
    DrawTextW(hdc, wText.c_str(), static_cast<int>(wText.size()), &rcAll,
              DT_CALCRECT | DT_NOPREFIX);
    EXPECT_LE(rcAll.bottom, rcRoom.bottom);
    SelectObject(hdc, hOld);
    ReleaseDC(nullptr, hdc);
    DeleteObject(hFont);
    // The box stays on the screen.
    RECT rcBox;
    GetWindowRect(hBox, &rcBox);
    EXPECT_LE(rcBox.right - rcBox.left, GetSystemMetrics(SM_CXSCREEN));
    // The density is the one the run asked the system for.
    if (const char* pszDpi = std::getenv("MORFW_TEST_DPI")) {
        EXPECT_EQ(SystemDpi(), std::atoi(pszDpi));
    }
}

// The installed ports as the registry lists them, in the dialog's order.
std::vector<std::string> RegistryPorts() {
    std::vector<std::string> names;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        wchar_t szName[256], szData[256];
        DWORD cchName = 256, cbData = sizeof szData, dwType = 0;
        if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType,
                          reinterpret_cast<BYTE*>(szData), &cbData) != ERROR_SUCCESS)
            break;
        if (dwType == REG_SZ)
            names.push_back(Narrow(std::wstring(szData, wcsnlen(szData, cbData / 2))));
    }
    RegCloseKey(hKey);
    std::stable_sort(names.begin(), names.end(), PortNameLess);
    return names;
}

// MorFWUpload.exe, started with the sample image set beside it.
class Dialog : public ::testing::Test {
protected:
    void SetUp() override { Start(DialogExe()); }

    // Ends the running program and starts strExe in its place.
    void Restart(const std::wstring& strExe) {
        TearDown();
        m_pi = {};
        m_hDlg = nullptr;
        Start(strExe);
    }

    void Start(const std::wstring& strExe) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring strCmd = L"\"" + strExe + L"\"";
        ASSERT_TRUE(CreateProcessW(strExe.c_str(), strCmd.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &si, &m_pi))
            << GetLastError();
        WaitForInputIdle(m_pi.hProcess, 30000);
        ASSERT_TRUE(WaitFor(
            [&] {
                for (HWND h : DialogsOf(m_pi.dwProcessId))
                    if (TextOf(h) == DLG_TITLE)
                        m_hDlg = h;
                return m_hDlg != nullptr;
            },
            30000));
    }

    void TearDown() override {
        if (!m_pi.hProcess)
            return;
        if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_pi.hProcess, 99);
            WaitForSingleObject(m_pi.hProcess, 10000);
        }
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }

    HWND Item(int nId) const { return GetDlgItem(m_hDlg, nId); }

    // A window of the program other than the main dialog (a message box, the about box) with
    // this caption, once it shows.
    HWND WaitForBox(const std::string& strCaption, int nMs = 30000) const {
        HWND hBox = nullptr;
        WaitFor(
            [&] {
                for (HWND h : DialogsOf(m_pi.dwProcessId))
                    if (h != m_hDlg && TextOf(h) == strCaption)
                        hBox = h;
                return hBox != nullptr;
            },
            nMs);
        return hBox;
    }

    bool AnyBox() const { return DialogsOf(m_pi.dwProcessId).size() > 1; }

    // The operator presses a button of a box or of the dialog (posted: a box may open).
    static void Press(HWND hWnd, int nId) {
        PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hWnd, nId)));
    }

    void StartUploadTo(const std::string& strPort) {
        SendMessageW(Item(IDC_PORT), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(Widen(strPort).c_str()));
        Press(m_hDlg, IDOK);
        ASSERT_TRUE(WaitFor([&] { return TextOf(Item(IDOK)) == CAPTION_CANCEL; }, 10000));
    }

    std::string Log() const { return TextOf(Item(IDC_LOG)); }

    PROCESS_INFORMATION m_pi{};
    HWND m_hDlg = nullptr;
};

} // namespace

// The version record (what Explorer's Details tab and installers read) carries the project's
// version in both its numbers and its texts; no display needed.
TEST(DialogProgram, ItsVersionRecordIsTheProjectVersion) {
    const std::wstring strExe = DialogExe();
    DWORD dwHandle = 0;
    const DWORD nSize = GetFileVersionInfoSizeW(strExe.c_str(), &dwHandle);
    ASSERT_GT(nSize, 0u) << "no version record in MorFWUpload.exe";
    std::vector<char> data(nSize);
    ASSERT_TRUE(GetFileVersionInfoW(strExe.c_str(), 0, nSize, data.data()));

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT nLen = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&pFixed), &nLen));
    ASSERT_GE(nLen, sizeof(VS_FIXEDFILEINFO));
    const DWORD dwMs = MAKELONG(MORFW_VERSION_MINOR, MORFW_VERSION_MAJOR);
    const DWORD dwLs = MAKELONG(MORFW_VERSION_BUILD, MORFW_VERSION_PATCH);
    EXPECT_EQ(pFixed->dwFileVersionMS, dwMs);
    EXPECT_EQ(pFixed->dwFileVersionLS, dwLs);
    EXPECT_EQ(pFixed->dwProductVersionMS, dwMs);
    EXPECT_EQ(pFixed->dwProductVersionLS, dwLs);
    // The dotted form of the same four numbers is what morfw --version prints.
    const std::string strDotted = std::to_string(HIWORD(dwMs)) + "." +
                                  std::to_string(LOWORD(dwMs)) + "." +
                                  std::to_string(HIWORD(dwLs)) + "." + std::to_string(LOWORD(dwLs));
    EXPECT_EQ(strDotted, MORFW_VERSION);

    for (const wchar_t* pszName : {L"\\StringFileInfo\\040904b0\\FileVersion",
                                   L"\\StringFileInfo\\040904b0\\ProductVersion"}) {
        wchar_t* pszValue = nullptr;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), pszName, reinterpret_cast<void**>(&pszValue), &nLen))
            << Narrow(pszName);
        EXPECT_EQ(Narrow(pszValue), MORFW_VERSION_RC_TEXT) << Narrow(pszName);
    }
}

TEST_F(Dialog, StartsWithItsTextsThePortsOfTheRegistryAndItsIcon) {
    Screenshot(m_hDlg, "MorFWUpload-win32-idle");
    EXPECT_EQ(TextOf(Item(IDOK)), CAPTION_START);
    EXPECT_EQ(TextOf(Item(IDCANCEL)), "Close");
    EXPECT_EQ(TextOf(Item(ID_HELP)), "&Help");
    EXPECT_EQ(TextOf(Item(IDC_SLOW_MODE)), "Slow Mode");
    EXPECT_EQ(SendMessageW(Item(IDC_SLOW_MODE), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(Item(IDC_RELAXED), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    const std::vector<std::string> statics = StaticTexts(m_hDlg);
    EXPECT_TRUE(Contains(statics, DLG_VERSION_LINE)) << "the resource script's version line";
    // The sample set's INI names its revision after three spaces.
    EXPECT_EQ(TextOf(Item(IDC_REVISION)).rfind(std::string(DLG_REVISION_PREFIX) + "  ", 0), 0u);
    EXPECT_NE(TextOf(Item(IDC_REVISION)), std::string(DLG_REVISION_PREFIX) + "  ");

    const std::vector<std::string> expected = RegistryPorts();
    std::vector<std::string> listed;
    const auto nCount = SendMessageW(Item(IDC_PORT), CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        wchar_t sz[256] = {};
        SendMessageW(Item(IDC_PORT), CB_GETLBTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(sz));
        listed.push_back(Narrow(sz));
    }
    EXPECT_EQ(listed, expected);
    if (const char* pszCom = std::getenv("MORFW_TEST_COM")) {
        EXPECT_TRUE(Contains(listed, pszCom));
    }
    EXPECT_EQ(TextOf(Item(IDC_PORT)), expected.empty() ? "" : expected.front());

    // The read-only pane is painted in the window colour, not the dialog's face.
    RECT rcDlg, rcLog;
    GetWindowRect(m_hDlg, &rcDlg);
    GetWindowRect(Item(IDC_LOG), &rcLog);
    SetForegroundWindow(m_hDlg);
    std::this_thread::sleep_for(300ms);
    const Picture pic = Capture(m_hDlg);
    EXPECT_EQ(pic.At(rcLog.left - rcDlg.left + 20, rcLog.top - rcDlg.top + 20),
              GetSysColor(COLOR_WINDOW));
    EXPECT_NE(GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_3DFACE));
    // The program icon (resource 128) is in the title bar.
    EXPECT_TRUE(ShowsSmallIcon(pic, 0, 0, pic.cx, GetSystemMetrics(SM_CYCAPTION) + 8));
}

TEST_F(Dialog, UploadsToTheSimulatedUnitAndReportsSuccess) {
    StartUploadTo("sim:");
    // Close is disabled at the next idle moment, and the window cannot be closed meanwhile.
    EXPECT_TRUE(WaitFor([&] { return !IsWindowEnabled(Item(IDCANCEL)); }, 5000));
    PostMessageW(m_hDlg, WM_CLOSE, 0, 0);
    const HWND hBox = WaitForBox(APP_TITLE, 300000);
    ASSERT_NE(hBox, nullptr) << Log();
    Screenshot(m_hDlg, "MorFWUpload-win32-uploaded");
    EXPECT_TRUE(Contains(StaticTexts(hBox), MSG_UPLOAD_SUCCESSFUL));
    EXPECT_EQ(GetWindow(hBox, GW_OWNER), m_hDlg);
    Press(hBox, IDOK);
    EXPECT_TRUE(WaitFor([&] { return TextOf(Item(IDOK)) == CAPTION_START; }, 10000));
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Item(IDCANCEL)) != FALSE; }, 5000));
    const std::string log = Log();
    EXPECT_EQ(log.rfind(std::string("Using high baudrate bootstrap mode\r\n") +
                            "Loading the firmware image files...  -> Succeeded\r\n" +
                            "Opening COM port...  -> Succeeded\r\n" +
                            "Uploading firmware - part 1 of 5...\r\n#  Succeeded\r\n",
                        0),
              0u)
        << log;
    EXPECT_NE(log.find("Uploading firmware - part 5 of 5...\r\n# ."), std::string::npos);
    EXPECT_NE(log.find("Firmware uploaded in "), std::string::npos);
    // The progress bar stands at the end of its range.
    EXPECT_EQ(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0),
              SendMessageW(Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
    // Close ends the program.
    Press(m_hDlg, IDCANCEL);
    EXPECT_EQ(WaitForSingleObject(m_pi.hProcess, 10000), WAIT_OBJECT_0);
}

TEST_F(Dialog, TheCancelQuestionLetsTheUploadGoOnUntilYes) {
    StartUploadTo("sim:");
    ASSERT_TRUE(
        WaitFor([&] { return Log().find("part 3 of 5...\r\n# .") != std::string::npos; }, 60000))
        << Log();
    Press(m_hDlg, IDOK);
    HWND hBox = WaitForBox(CAPTION_WARNING);
    ASSERT_NE(hBox, nullptr);
    Screenshot(hBox, AtDpi("MorFWUpload-win32-cancel-question"));
    EXPECT_TRUE(Contains(StaticTexts(hBox), MSG_CANCEL_QUESTION));
    ExpectBoxFitsItsText(hBox, MSG_CANCEL_QUESTION);
    // A question to be answered: Yes is the default, and Escape does not close it.
    EXPECT_NE(GetWindowLongW(GetDlgItem(hBox, IDYES), GWL_STYLE) & BS_DEFPUSHBUTTON, 0);
    PostMessageW(hBox, WM_COMMAND, IDCANCEL, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(IsWindow(hBox));
    // The session goes on while the question is open.
    const std::size_t nBefore = Log().size();
    EXPECT_TRUE(WaitFor([&] { return Log().size() > nBefore; }, 5000));
    Press(hBox, IDNO);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hBox); }, 5000));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(TextOf(Item(IDOK)), CAPTION_CANCEL);
    EXPECT_EQ(Log().find("User cancelled"), std::string::npos);

    // Escape does not end the dialog under a running session.
    const HWND hPortField = GetWindow(Item(IDC_PORT), GW_CHILD);
    PostMessageW(hPortField, WM_KEYDOWN, VK_ESCAPE, 1);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(IsWindow(m_hDlg));
    EXPECT_EQ(WaitForSingleObject(m_pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Enter in the port box presses the default button, which asks again.
    PostMessageW(hPortField, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(hPortField, WM_KEYUP, VK_RETURN, 0xC0000001);
    hBox = WaitForBox(CAPTION_WARNING);
    ASSERT_NE(hBox, nullptr);
    Press(hBox, IDYES);
    EXPECT_TRUE(WaitFor([&] { return TextOf(Item(IDOK)) == CAPTION_START; }, 20000));
    EXPECT_NE(Log().find("User cancelled...\r\n\r\n"), std::string::npos) << Log();
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Item(IDCANCEL)) != FALSE; }, 5000));
}

TEST_F(Dialog, TickingRelaxedErrorCheckingWarnsClearingDoesNot) {
    PostMessageW(Item(IDC_RELAXED), BM_CLICK, 0, 0);
    const HWND hBox = WaitForBox(CAPTION_WARNING);
    ASSERT_NE(hBox, nullptr);
    // The text ends in two line ends, which the box keeps.
    EXPECT_TRUE(Contains(StaticTexts(hBox), MSG_RELAXED_WARNING));
    ExpectBoxFitsItsText(hBox, MSG_RELAXED_WARNING);
    Screenshot(hBox, AtDpi("MorFWUpload-win32-relaxed-warning"));
    // Ctrl+C (WM_COPY) puts the box on the clipboard as the system's box does, in CR LF lines.
    SendMessageW(hBox, WM_COPY, 0, 0);
    std::string strCopied;
    if (OpenClipboard(nullptr)) {
        if (const HANDLE hData = GetClipboardData(CF_UNICODETEXT)) {
            strCopied = Narrow(static_cast<const wchar_t*>(GlobalLock(hData)));
            GlobalUnlock(hData);
        }
        CloseClipboard();
    }
    const std::string strRule = "---------------------------\r\n";
    EXPECT_EQ(strCopied.rfind(strRule + CAPTION_WARNING + "\r\n" + strRule, 0), 0u) << strCopied;
    const std::string strFirstLine =
        std::string(MSG_RELAXED_WARNING).substr(0, std::string(MSG_RELAXED_WARNING).find('\n'));
    EXPECT_NE(strCopied.find(strFirstLine + "\r\n"), std::string::npos) << strCopied;
    EXPECT_EQ(strCopied.find("\n\n"), std::string::npos) << "a line feed without its CR";
    EXPECT_TRUE(strCopied.ends_with(strRule + "OK   \r\n" + strRule)) << strCopied;
    Press(hBox, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(hBox); }, 5000));
    EXPECT_EQ(SendMessageW(Item(IDC_RELAXED), BM_GETCHECK, 0, 0), BST_CHECKED);
    PostMessageW(Item(IDC_RELAXED), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitFor(
        [&] { return SendMessageW(Item(IDC_RELAXED), BM_GETCHECK, 0, 0) == BST_UNCHECKED; }, 5000));
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(AnyBox());
}

TEST_F(Dialog, TheSystemMenuOpensTheAboutBox) {
    // Alt+Space opens the window menu; its last item, above all the system's, is About.
    PostMessageW(m_hDlg, WM_SYSCOMMAND, SC_KEYMENU, ' ');
    HWND hMenu = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] {
            hMenu = FindWindowW(L"#32768", nullptr);
            return hMenu && IsWindowVisible(hMenu);
        },
        10000));
    Screenshot(m_hDlg, "MorFWUpload-win32-window-menu");
    PostMessageW(hMenu, WM_KEYDOWN, VK_UP, 0);
    PostMessageW(hMenu, WM_KEYDOWN, VK_RETURN, 0);

    const HWND hAbout = WaitForBox(ABOUT_TITLE);
    ASSERT_NE(hAbout, nullptr);
    Screenshot(hAbout, "MorFWUpload-win32-about");
    const std::vector<std::string> texts = StaticTexts(hAbout);
    EXPECT_TRUE(Contains(texts, ABOUT_VERSION));
    EXPECT_TRUE(Contains(texts, ABOUT_NOTICE));
    EXPECT_EQ(GetWindow(hAbout, GW_OWNER), m_hDlg);
    Press(hAbout, IDOK);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(hAbout); }, 5000));
    // Other system commands keep their effect: closing an idle dialog ends the program.
    PostMessageW(m_hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(WaitForSingleObject(m_pi.hProcess, 10000), WAIT_OBJECT_0);
}

TEST_F(Dialog, AloneWithoutItsFilesItSaysWhatIsMissing) {
    // A copy of the program in a directory of its own: no help page, no image set.
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring strDir =
        std::wstring(szTemp) + L"morfw-alone-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(strDir.c_str(), nullptr);
    const std::wstring strExe = strDir + L"\\MorFWUpload.exe";
    ASSERT_TRUE(CopyFileW(DialogExe().c_str(), strExe.c_str(), FALSE));
    Restart(strExe);
    ASSERT_NE(m_hDlg, nullptr);
    EXPECT_EQ(TextOf(Item(IDC_REVISION)), std::string(DLG_REVISION_PREFIX) + "  Unspecified");
    Press(m_hDlg, ID_HELP);
    const HWND hBox = WaitForBox(CAPTION_ERROR);
    ASSERT_NE(hBox, nullptr);
    EXPECT_TRUE(Contains(StaticTexts(hBox),
                         "The help page MorFWUpload.html was not found beside the program."));
    Press(hBox, IDOK);
    // An upload has no images to load and ends with the loading step.
    SendMessageW(Item(IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"sim:"));
    Press(m_hDlg, IDOK);
    EXPECT_TRUE(WaitFor(
        [&] {
            return Log().find("Loading the firmware image files...  -> Failed!!!\r\n") !=
                   std::string::npos;
        },
        20000))
        << Log();
    EXPECT_TRUE(WaitFor([&] { return TextOf(Item(IDOK)) == CAPTION_START; }, 10000));
    TearDown();
    m_pi = {};
    DeleteFileW(strExe.c_str());
    RemoveDirectoryW(strDir.c_str());
}

TEST_F(Dialog, APortThatCannotOpenGivesItsReasonBelowTheTextWithTheNameWhole) {
    SendMessageW(Item(IDC_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"COM99"));
    Press(m_hDlg, IDOK);
    const HWND hBox = WaitForBox(CAPTION_ERROR, 60000);
    ASSERT_NE(hBox, nullptr) << Log();
    Screenshot(hBox, AtDpi("MorFWUpload-win32-port-box"));
    const std::string strText = TextOf(BoxText(hBox));
    const std::string strHead = std::string(MSG_PORT_NOT_OPEN) + "\n\nno such device:";
    EXPECT_EQ(strText.rfind(strHead, 0), 0u) << strText;
    // The reason may wrap at spaces, never inside the port's name.
    EXPECT_NE(strText.find("COM99"), std::string::npos) << strText;
    ExpectBoxFitsItsText(hBox, strText);
    EXPECT_EQ(GetWindow(hBox, GW_OWNER), m_hDlg);
    // Escape answers a box that has only OK.
    PostMessageW(hBox, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(hBox); }, 5000));
    EXPECT_TRUE(WaitFor([&] { return TextOf(Item(IDOK)) == CAPTION_START; }, 10000));
}

TEST_F(Dialog, StartUploadShowsTheKeyboardFocusApartFromBeingTheDefault) {
    // Focus frames show from the start, not only once the keyboard has been used.
    const LRESULT nUiState = SendMessageW(m_hDlg, WM_QUERYUISTATE, 0, 0);
    EXPECT_EQ(nUiState & UISF_HIDEFOCUS, 0);
    const auto focusOn = [&](HWND hWnd) {
        PostMessageW(m_hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hWnd), TRUE);
        const DWORD dwThread = GetWindowThreadProcessId(m_hDlg, nullptr);
        return WaitFor(
            [&] {
                GUITHREADINFO gti{};
                gti.cbSize = sizeof gti;
                return GetGUIThreadInfo(dwThread, &gti) &&
                       (gti.hwndFocus == hWnd || GetParent(gti.hwndFocus) == hWnd);
            },
            5000);
    };
    SetForegroundWindow(m_hDlg);
    ASSERT_TRUE(focusOn(Item(IDC_PORT)));
    std::this_thread::sleep_for(300ms);
    const Picture picDefault = Capture(Item(IDOK));
    ASSERT_TRUE(focusOn(Item(IDOK)));
    std::this_thread::sleep_for(300ms);
    const Picture picFocused = Capture(Item(IDOK));
    Screenshot(m_hDlg, AtDpi("MorFWUpload-win32-start-focused"));
    // Still the default button, now with a frame inside its face.
    EXPECT_NE(GetWindowLongW(Item(IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON, 0);
    ASSERT_EQ(picDefault.px.size(), picFocused.px.size());
    int nDiffering = 0;
    for (std::size_t i = 0; i < picDefault.px.size(); ++i)
        nDiffering += picDefault.px[i] != picFocused.px[i];
    EXPECT_GE(nDiffering, (picFocused.cx + picFocused.cy) / 2);
}
