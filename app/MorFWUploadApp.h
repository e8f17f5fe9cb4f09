#pragma once
// The application object: records the program directory, runs the main dialog, and ends the
// program when the dialog has closed.

#include "app/DesktopBell.h"
#include "platform/Beep.h"

#include <memory>
#include <string>

class CMorFWUploadApp {
public:
    CMorFWUploadApp() = default;
    ~CMorFWUploadApp();
    CMorFWUploadApp(const CMorFWUploadApp&) = delete;
    CMorFWUploadApp& operator=(const CMorFWUploadApp&) = delete;

    // The program directory with a trailing '/', from the running program file.
    std::string m_strAppDir;

    // Runs the program; returns its exit code. The QApplication exists already.
    int InitInstance(const char* pszArgv0);

    // The steps of InitInstance before the dialog: the program directory, the window icon,
    // the desktop's bell for beep codes, the "sim:" ports.
    void SetUp(const char* pszArgv0);

private:
    std::unique_ptr<CDesktopBell> m_pBell;
    bool m_bBeepSinkSet = false;
    BeepSink m_previousBeepSink;
};
