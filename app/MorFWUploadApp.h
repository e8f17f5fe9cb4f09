#pragma once
// The application object: records the program directory, runs the main dialog, and ends the
// program when the dialog has closed.

#include <string>

class CMorFWUploadApp {
public:
    // The program directory with a trailing '/', from the running program file.
    std::string m_strAppDir;

    // Runs the program; returns its exit code. The QApplication exists already.
    int InitInstance(const char* pszArgv0);
};
