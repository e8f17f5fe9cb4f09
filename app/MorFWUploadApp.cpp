#include "app/MorFWUploadApp.h"

#include "app/DesktopBell.h"
#include "app/MorFWUploadDlg.h"
#include "platform/ProgramDir.h"
#include "platform/Sleep.h"
#include "sim/SimLine.h"

#include <QApplication>
#include <QIcon>

CMorFWUploadApp::~CMorFWUploadApp() {
    if (m_bBeepSinkSet)
        SetBeepSink(std::move(m_previousBeepSink));
}

void CMorFWUploadApp::SetUp(const char* pszArgv0) {
    // The first argument may hold a bare name (found through PATH): the running program file
    // says where the program and its image directory really are.
    m_strAppDir = GetProgramDir(pszArgv0);

    // The icons are compiled into the static library; its resource object has no symbol that
    // the program uses, so the linker drops it unless it is named here.
    Q_INIT_RESOURCE(MorFWUpload);
    QIcon icon;
    for (const int nSize : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/MorFWUpload-%1.png").arg(nSize), QSize(nSize, nSize));
    QApplication::setWindowIcon(icon);
    // Ties the window to MorFWUpload.desktop (its icon and name in task bars).
    QGuiApplication::setDesktopFileName(QStringLiteral("MorFWUpload"));

    // Beep codes ring the desktop's bell; the caller still waits out each tone's length, so
    // the codes keep their rhythm.
    m_previousBeepSink = SetBeepSink([](DWORD, DWORD dwDuration) {
        QMetaObject::invokeMethod(
            qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
        Sleep(dwDuration);
    });
    m_bBeepSinkSet = true;

    // "sim:" in the port box uploads to the simulated unit (demonstrations, rehearsals).
    RegisterSimLineBackend();
}

int CMorFWUploadApp::InitInstance(const char* pszArgv0) {
    SetUp(pszArgv0);
    CMorFWUploadDlg dlg(m_strAppDir);
    dlg.exec();
    // The dialog has ended: so does the program.
    return 0;
}
