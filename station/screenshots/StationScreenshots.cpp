// Renders the station window into PNG files for the documentation (scripts/screenshots.sh): eight
// simulated fixtures (one of whose units fails part 2) started at once, pictured mid-run and
// after the run. Not installed.
//
//   morfw_station_screenshots OUT_DIR SUFFIX [WIDTH HEIGHT]
//       writes MorFWStation-running-SUFFIX.png and MorFWStation-done-SUFFIX.png, the window
//       WIDTH x HEIGHT logical pixels large (default 1280 x 800)

#include "station/StationIcon.h"
#include "station/StationOptions.h"
#include "station/StationWindow.h"
#include "station/TileModel.h"

#include "platform/ProgramDir.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3 && argc != 5) {
        std::fputs("usage: morfw_station_screenshots OUT_DIR SUFFIX [WIDTH HEIGHT]\n", stderr);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    const QString suffix = QString::fromLocal8Bit(argv[2]);
    QIcon icon;
    for (const int nSize : {16, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(PaintStationIcon(nSize)));
    QApplication::setWindowIcon(icon);

    QTemporaryDir tmp;
    const std::string list = tmp.filePath(QStringLiteral("fixtures.txt")).toStdString();
    {
        std::ofstream out(list);
        out << "# the bench by the window, hub on the left\n";
        const char* labels[] = {"A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4"};
        for (int i = 0; i < 8; ++i)
            out << "sim:seed=" << i + 1 << (i == 5 ? ",ok=0" : "") << (i == 2 ? ",noise=3e-5" : "")
                << "  " << labels[i] << "\n";
    }
    station::StationOptions o;
    o.strPortsFrom = list;
    o.strLogDir = tmp.filePath(QStringLiteral("logs")).toStdString();
    o.strOperator = "J. Okafor";
    o.strWorkOrder = "WO-24117";
    o.strStation = "line-2-bench-1";
    o.bStart = true;
    station::StationSetup setup;
    std::string strError;
    const std::string strAppDir = GetProgramDir(argv[0]);
    if (!station::MakeStationSetup(o, strAppDir, o.strLogDir, setup, strError)) {
        std::fprintf(stderr, "%s\n", strError.c_str());
        return 1;
    }
    CStationWindow window(o, std::move(setup), strAppDir);
    window.resize(argc == 5 ? std::atoi(argv[3]) : 1280, argc == 5 ? std::atoi(argv[4]) : 800);
    window.show();
    if (!window.StartEngine(strError)) {
        std::fprintf(stderr, "%s\n", strError.c_str());
        return 1;
    }

    bool bMidShot = false;
    QTimer poll;
    poll.setInterval(200);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        bool bRunning = false;
        int nFar = 0;
        for (int i = 0; i < window.TileCount(); ++i) {
            const auto& m = window.Model(i);
            bRunning = bRunning || m.Running() || !m.bUnit;
            nFar += m.Running() && m.unit.nPart == 5 ? 1 : 0;
        }
        const auto save = [&](const char* pszName) {
            const QString path = QDir(outDir).filePath(
                QStringLiteral("MorFWStation-%1-%2.png").arg(QLatin1String(pszName), suffix));
            if (!window.grab().save(path))
                std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        };
        if (!bMidShot && nFar >= 3) {
            bMidShot = true;
            save("running");
        }
        if (!bRunning) {
            save("done");
            poll.stop();
            QApplication::quit();
        }
    });
    poll.start();
    QApplication::exec();
    return 0;
}
