// Renders the main dialog for the documentation: idle, and after a successful upload to the
// simulated unit. Usage: morfw_app_screenshots OUTPUT_DIR [PORT [IDLE_NAME]]
// With IDLE_NAME, only the idle dialog is rendered, with its Help menu open, into that file
// (scripts/screenshots.sh uses it for the picture at 150 %). With --boxes SUFFIX in place of
// PORT, it renders the message boxes and the focused Start button instead.
// Run it under a real display server (Xvfb): scripts/screenshots.sh does.

#include "app/MorFWUploadApp.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"
#include "upload/UploadTexts.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// What the display server shows of the window (QWidget::grab renders it anew instead, and at a
// fractional scale that rendering differs from the screen's at the edges).
bool Save(QWidget& widget, const QString& strPath) {
    QPixmap pixmap;
    if (QScreen* pScreen = widget.screen())
        pixmap = pScreen->grabWindow(widget.winId());
    if (pixmap.isNull())
        pixmap = widget.grab();
    const bool bOk = pixmap.save(strPath, "PNG");
    std::fprintf(bOk ? stdout : stderr, "%s %s\n", bOk ? "wrote" : "could not write",
                 qPrintable(strPath));
    return bOk;
}

// The message boxes an operator meets, and the dialog with the keyboard focus on Start, into
// NAME-SUFFIX.png files (to look at them at each scale).
int SaveBoxes(CMorFWUploadDlg& dlg, const QString& strOut, const QString& strSuffix) {
    int nResult = 0;
    QTimer boxWatch;
    QString strName;
    QObject::connect(&boxWatch, &QTimer::timeout, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!pBox || !pBox->isVisible())
            return;
        if (!Save(*pBox, strOut + "/" + strName + "-" + strSuffix + ".png"))
            nResult = 1;
        pBox->accept();
    });
    boxWatch.start(300);
    const struct {
        const char* pszName;
        const char* pszText;
        QMessageBox::StandardButtons buttons;
        const char* pszDetail;
    } boxes[] = {
        {"MorFWUpload-cancel-question", MSG_CANCEL_QUESTION, QMessageBox::Yes | QMessageBox::No,
         ""},
        {"MorFWUpload-relaxed-warning", MSG_RELAXED_WARNING, QMessageBox::Ok, ""},
        {"MorFWUpload-port-box", MSG_PORT_NOT_OPEN, QMessageBox::Ok,
         "busy: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 is open in "
         "minicom (pid 4242)"},
    };
    for (const auto& box : boxes) {
        strName = QString::fromUtf8(box.pszName);
        dlg.DoMessageBox(QString::fromUtf8(box.pszText), QString::fromUtf8(CAPTION_WARNING),
                         QMessageBox::Warning, box.buttons, QString::fromUtf8(box.pszDetail));
    }
    boxWatch.stop();
    QApplication::setActiveWindow(&dlg);
    dlg.m_btnStart->setFocus(Qt::TabFocusReason);
    QTimer::singleShot(500, [&] {
        if (!Save(dlg, strOut + "/MorFWUpload-start-focused-" + strSuffix + ".png"))
            nResult = 1;
        dlg.reject();
    });
    dlg.exec();
    return nResult;
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

    if (argc > 3 && std::strcmp(argv[2], "--boxes") == 0)
        return SaveBoxes(dlg, strOut, QString::fromLocal8Bit(argv[3]));

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

    if (argc > 3) {
        const QString strName = QString::fromLocal8Bit(argv[3]);
        QTimer::singleShot(500, [&] { dlg.m_btnHelp->showMenu(); });
        QTimer::singleShot(800, [&] {
            // The dialog with the menu over it, as the screen shows both.
            QRect rc = dlg.geometry();
            if (QWidget* pMenu = QApplication::activePopupWidget())
                rc = rc.united(pMenu->geometry());
            QPixmap shot = dlg.screen()->grabWindow(0, rc.x(), rc.y(), rc.width(), rc.height());
            const bool bOk = shot.save(strOut + "/" + strName, "PNG");
            std::fprintf(bOk ? stdout : stderr, "%s %s\n", bOk ? "wrote" : "could not write",
                         qPrintable(strOut + "/" + strName));
            nResult = bOk ? 0 : 1;
            QApplication::closeAllWindows();
            dlg.reject();
        });
        dlg.exec();
        return nResult;
    }
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
