// MorFWUpload.exe: the native Windows dialog that uploads firmware to a Morvane 2000 unit.
#include "platform/ProgramDir.h"
#include "sim/SimLine.h"

#include "app/win32/MorFWUploadDlg.h"

#include <commctrl.h>

namespace {

class CMorFWUploadApp {
public:
    // Sets up the program directory, shows the main dialog modally and ends when it closes.
    int InitInstance(HINSTANCE hInstance) {
        INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX),
                                 ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
        // The program file's own path, with its trailing backslash (not the command line's
        // first word, which need not hold a directory).
        m_strAppDir = GetProgramDir();
        // "sim:" in the port box uploads to the simulated unit (demonstrations, rehearsals).
        RegisterSimLineBackend();
        CMorFWUploadDlg dlg(m_strAppDir, hInstance);
        dlg.DoModal();
        return 0;
    }

    std::string m_strAppDir;
};

} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    CMorFWUploadApp theApp;
    return theApp.InitInstance(hInstance);
}
