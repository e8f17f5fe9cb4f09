#include "app/MorFWUploadApp.h"

#include "app/MorFWUploadDlg.h"
#include "platform/Beep.h"
#include "platform/ProgramDir.h"
#include "platform/Sleep.h"

#include <QApplication>
#include <QIcon>
#include <QMetaObject>

int CMorFWUploadApp::InitInstance(const char* pszArgv0) {
    // The first argument may hold a bare name (found through PATH): the running program file
    // says where the program and its image directory really are.
    m_strAppDir = GetProgramDir(pszArgv0);

    QIcon icon;
    for (const int nSize : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/MorFWUpload-%1.png").arg(nSize), QSize(nSize, nSize));
    QApplication::setWindowIcon(icon);
    // Ties the window to MorFWUpload.desktop (its icon and name in task bars).
    QGuiApplication::setDesktopFileName(QStringLiteral("MorFWUpload"));

    // Beep codes ring the desktop's bell; the caller still waits out each tone's length, so
    // the codes keep their rhythm.
    const BeepSink previous = SetBeepSink([](DWORD, DWORD dwDuration) {
        QMetaObject::invokeMethod(
            qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
        Sleep(dwDuration);
    });

    {
        CMorFWUploadDlg dlg(m_strAppDir);
        dlg.exec();
    }
    SetBeepSink(previous);
    return 0;
}
