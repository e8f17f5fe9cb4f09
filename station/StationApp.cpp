#include "station/StationApp.h"

#include "app/MessageBox.h"
#include "platform/ProgramDir.h"
#include "station/StationIcon.h"
#include "station/StationOptions.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QStandardPaths>

#include <cstdio>

namespace {

// A problem before the window: on standard error, and in a box unless the run is scripted
// (the desktop's menu shows no standard error).
int Fail(const std::string& strText, int nCode, bool bScripted) {
    std::fprintf(stderr, "MorFWStation: %s\n", strText.c_str());
    if (!bScripted) {
        CMessageBox box(QMessageBox::Critical, QStringLiteral("MorFWStation"),
                        QString::fromStdString(strText), QMessageBox::Ok, nullptr);
        box.exec();
    }
    return nCode;
}

} // namespace

int RunStationApp(int argc, char** argv) {
    station::StationOptions options;
    std::string strOut, strErr;
    const int rc = station::ParseStationOptions(argc, argv, options, strOut, strErr);
    if (rc >= 0) {
        std::fputs(strOut.c_str(), stdout);
        std::fputs(strErr.c_str(), stderr);
        return rc;
    }

    QIcon icon;
    for (const int nSize : {16, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(PaintStationIcon(nSize)));
    QApplication::setWindowIcon(icon);
    // Ties the window to MorFWStation.desktop (its icon and name in task bars).
    QGuiApplication::setDesktopFileName(QStringLiteral("MorFWStation"));

    const std::string strAppDir = GetProgramDir(argc > 0 ? argv[0] : nullptr);
    const std::string strDefaultLogs =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString() +
        "/MorFWStation/logs";
    station::StationSetup setup;
    std::string strError;
    if (!station::MakeStationSetup(options, strAppDir, strDefaultLogs, setup, strError))
        return Fail(strError, 2, options.bQuitWhenDone);
    // A scripted run whose set cannot be used ends at once; an operator sees the banner.
    if (!setup.engine.lock.bValid && options.bQuitWhenDone)
        return Fail("the image set in " + setup.engine.lock.strImageDir +
                        " cannot be used: " + setup.engine.lock.strProblem,
                    4, true);

    CStationWindow window(options, std::move(setup), strAppDir);
    if (!window.StartEngine(strError))
        return Fail(strError, 2, options.bQuitWhenDone);
    if (options.bQuitWhenDone)
        window.show();
    else
        window.showMaximized();
    QApplication::exec();
    return window.ExitCode();
}
