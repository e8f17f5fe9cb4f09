// Renders the main dialog for the documentation: idle, and after a successful upload to the
// simulated unit. Usage: morfw_app_screenshots OUTPUT_DIR [PORT]
// Run it under a real display server (Xvfb): scripts/screenshots.sh does.

#include "app/MorFWUploadApp.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

bool Save(QWidget& widget, const QString& strPath) {
    const bool bOk = widget.grab().save(strPath, "PNG");
    std::fprintf(bOk ? stdout : stderr, "%s %s\n", bOk ? "wrote" : "could not write",
                 qPrintable(strPath));
    return bOk;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [PORT]\n", argv[0]);
        return 2;
    }
    const QString strOut = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString strPort = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("sim:");
    QDir().mkpath(strOut);

    CMorFWUploadApp theApp;
    theApp.SetUp(argv[0]);
    CMorFWUploadDlg dlg(theApp.m_strAppDir);
    dlg.show();

    int nResult = 0;
    bool bSucceeded = false;
    // The success box is answered as an operator would, after it has been captured too.
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || !pBox->isVisible())
            return;
        bSucceeded = pBox->text().startsWith(QStringLiteral("Firmware upload appears"));
        if (bSucceeded && !Save(*pBox, strOut + "/MorFWUpload-success-box.png"))
            nResult = 1;
        pBox->accept();
    });

    QTimer::singleShot(500, [&] {
        if (!Save(dlg, strOut + "/MorFWUpload-idle.png"))
            nResult = 1;
        dlg.m_cmbPort->setEditText(strPort);
        boxWatch.start(200);
        dlg.m_btnStart->click();
    });

    QTimer endWatch;
    QObject::connect(&endWatch, &QTimer::timeout, [&] {
        if (dlg.IsSessionRunning() || !dlg.m_btnClose->isEnabled())
            return;
        endWatch.stop();
        boxWatch.stop();
        if (!bSucceeded) {
            std::fprintf(stderr, "the upload did not succeed:\n%s\n",
                         qPrintable(dlg.m_edtLog->Text()));
            nResult = 1;
        } else if (!Save(dlg, strOut + "/MorFWUpload-uploaded.png")) {
            nResult = 1;
        }
        dlg.reject();
    });
    QTimer::singleShot(1000, [&] { endWatch.start(100); });

    dlg.exec();
    return nResult;
}
