// The main dialog as the operator meets it: its initial state, the Start button with an empty
// port box, the option warning, Close and Escape during a session, Enter, help and about.
// Sessions here use a port that does not exist, so they end at the opening step.

#include "AppTestSupport.h"
#include "app/AboutDlg.h"
#include "app/MorFWUploadApp.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"
#include "platform/Beep.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <thread>

namespace {

struct DialogFixture : ::testing::Test {
    DialogFixture() : tty(QStringList()), dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev()) {
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        (void)QTest::qWaitForWindowActive(&dlg);
    }
    ~DialogFixture() override {
        // No session may outlive a test.
        WaitUntil([this] { return !dlg.IsSessionRunning(); }, 20000);
    }
    bool WaitIdle(int nMs = 20000) {
        return WaitUntil([this] { return !dlg.IsSessionRunning() && dlg.m_btnClose->isEnabled(); },
                         nMs);
    }
    std::string Log() const { return dlg.m_edtLog->Text().toStdString(); }

    SilentBeeps beeps;
    CTempAppDir dir;
    FakeTtyTree tty;
    CMorFWUploadDlg dlg;
};

// A port name that cannot open; opening it takes a few seconds of retries.
const QString MISSING_PORT = QStringLiteral("/dev/nonexist0");

} // namespace

TEST_F(DialogFixture, InitialStateShowsTheTemplatesTextsAndClearOptions) {
    EXPECT_EQ(dlg.windowTitle(), "Morvane 2000  Firmware Upload");
    EXPECT_EQ(dlg.m_stcPort->text(), "Serial Port");
    EXPECT_EQ(dlg.m_stcProgress->text(), "Upload Progress");
    EXPECT_EQ(dlg.m_stcRevision->text(), "FW Revision:   2.7.1 (test set)");
    EXPECT_EQ(dlg.m_chkSlowMode->text(), "Slow Mode");
    EXPECT_EQ(dlg.m_chkRelaxedErrorChecking->text(), "Relaxed Error Checking");
    EXPECT_EQ(dlg.m_btnStart->text(), "Start Upload");
    EXPECT_EQ(dlg.m_btnClose->text(), "Close");
    EXPECT_EQ(dlg.m_btnHelp->text(), "&Help");
    EXPECT_TRUE(dlg.m_stcVersion->text().endsWith("Ver.1.0.4"));

    EXPECT_FALSE(dlg.m_chkSlowMode->isChecked());
    EXPECT_FALSE(dlg.m_chkRelaxedErrorChecking->isChecked());
    EXPECT_FALSE(dlg.m_bSlowMode.load());
    EXPECT_FALSE(dlg.m_bRelaxedErrorChecking.load());
    EXPECT_FALSE(dlg.m_bUploading.load());
    EXPECT_FALSE(dlg.m_bCancel.load());

    EXPECT_TRUE(dlg.m_btnStart->isDefault());
    EXPECT_TRUE(dlg.m_btnClose->isEnabled());
    EXPECT_TRUE(dlg.m_cmbPort->isEditable());
    EXPECT_FALSE(dlg.m_ctlProgress->isTextVisible());
    EXPECT_EQ(dlg.m_ctlProgress->value(), dlg.m_ctlProgress->minimum());
    EXPECT_TRUE(dlg.m_edtLog->isReadOnly());
    EXPECT_TRUE(dlg.m_edtLog->Text().isEmpty());

    // No ports: an empty list and an empty field.
    EXPECT_EQ(dlg.m_cmbPort->count(), 0);
    EXPECT_TRUE(dlg.m_cmbPort->currentText().isEmpty());
}

TEST(DialogInit, PortListIsSortedWithTheFirstEntrySelected) {
    const CTempAppDir dir;
    const FakeTtyTree tty({"ttyUSB1", "ttyS10", "ttyS2", "ttyACM0"});
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    ASSERT_EQ(dlg.m_cmbPort->count(), 4);
    EXPECT_EQ(dlg.m_cmbPort->itemText(0), tty.DevPath("ttyACM0"));
    EXPECT_EQ(dlg.m_cmbPort->itemText(1), tty.DevPath("ttyS2"));
    EXPECT_EQ(dlg.m_cmbPort->itemText(2), tty.DevPath("ttyS10"));
    EXPECT_EQ(dlg.m_cmbPort->itemText(3), tty.DevPath("ttyUSB1"));
    EXPECT_EQ(dlg.m_cmbPort->currentIndex(), 0);
    EXPECT_EQ(dlg.m_cmbPort->currentText(), tty.DevPath("ttyACM0"));
}

TEST(DialogInit, TheKernelConsoleIsListedButNeverSelected) {
    const CTempAppDir dir;
    for (const QStringList& consoles : {QStringList{"ttyUSB0"}, QStringList{"ttyUSB0", "ttyUSB1"}}) {
        const FakeTtyTree tty({"ttyUSB0", "ttyUSB1"});
        QDir().mkpath(QString::fromStdString(tty.Sys()) + "/console");
        QFile active(QString::fromStdString(tty.Sys()) + "/console/active");
        ASSERT_TRUE(active.open(QIODevice::WriteOnly));
        active.write((consoles.join(' ') + "\n").toUtf8());
        active.close();
        CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
        EXPECT_EQ(dlg.m_cmbPort->count(), 2);
        EXPECT_EQ(dlg.m_cmbPort->currentText(),
                  consoles.size() == 2 ? QString() : tty.DevPath("ttyUSB1"));
    }
}

TEST(DialogInit, RevisionIsUnspecifiedWithoutIniFile) {
    const CTempAppDir dir(std::nullopt);
    const FakeTtyTree tty({});
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    EXPECT_EQ(dlg.m_stcRevision->text(), "FW Revision:   Unspecified");
}

// The INI file's text may hold a line end or an escape sequence: shown escaped, on one line.
TEST(DialogInit, RevisionControlCharactersAreShownEscaped) {
    const CTempAppDir dir(std::string("1.0\x1B[2K\x07\rforged"));
    const FakeTtyTree tty({});
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    EXPECT_EQ(dlg.m_stcRevision->text(), "FW Revision:   1.0\\x1B[2K\\x07\\rforged");
}

TEST_F(DialogFixture, StartWithEmptyPortBoxShowsTheErrorAndFocusesThePortBox) {
    CBoxAnswerer answerer(&dlg);
    dlg.m_btnStart->setFocus();
    ASSERT_TRUE(dlg.m_btnStart->hasFocus());

    QTest::mouseClick(dlg.m_btnStart, Qt::LeftButton);
    EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");
    EXPECT_TRUE(dlg.IsSessionRunning());
    ASSERT_TRUE(WaitIdle());

    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].strCaption, "Error");
    EXPECT_EQ(answerer.seen[0].strText, "You must select a valid serial port");
    EXPECT_EQ(answerer.seen[0].icon, QMessageBox::Warning);
    EXPECT_EQ(answerer.seen[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(answerer.seen[0].bParentIsDialog);
    // The port box has the focus within the dialog (and keeps it when the window becomes
    // active again, which the offscreen platform leaves to the test).
    EXPECT_EQ(dlg.focusWidget(), dlg.m_cmbPort);
    QApplication::setActiveWindow(&dlg);
    EXPECT_TRUE(dlg.m_cmbPort->hasFocus());
    EXPECT_EQ(dlg.m_btnStart->text(), "Start Upload");
    EXPECT_EQ(Log(), "Using high baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Succeeded\r\n"
                     "\r\n");
    // The range was set after loading, before the port was read.
    EXPECT_EQ(dlg.m_ctlProgress->maximum(), CTempAppDir::RECORDS_SBOOT +
                                                CTempAppDir::RECORDS_KERNEL +
                                                CTempAppDir::RECORDS_FIRMWARE);
}

TEST_F(DialogFixture, PortThatCannotOpenIsReportedAndTheDialogIsIdleAgain) {
    CBoxAnswerer answerer(&dlg);
    dlg.m_chkSlowMode->click();
    dlg.m_cmbPort->setEditText(MISSING_PORT);
    dlg.m_btnStart->click();
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].strCaption, "Error");
    EXPECT_TRUE(answerer.seen[0].strText.startsWith("Serial port could not be open.\n\n"));
    // The fixed text says what to check, the detail what the system found.
    EXPECT_TRUE(answerer.seen[0].strInformative.startsWith(
        "no such device: /dev/nonexist0 ("))
        << answerer.seen[0].strInformative.toStdString();
    EXPECT_EQ(Log(), "Using low baudrate bootstrap mode\r\n"
                     "Loading the firmware image files...  -> Succeeded\r\n"
                     "Opening COM port...  -> Failed!!!\r\n"
                     "\r\n");
    EXPECT_EQ(beeps.nBeeps.load(), 7); // 3-3-1: the port is missing
    EXPECT_EQ(dlg.m_btnStart->text(), "Start Upload");
}

TEST_F(DialogFixture, RelaxedErrorCheckingWarnsOnlyWhenTicked) {
    CBoxAnswerer answerer(&dlg);

    dlg.m_chkRelaxedErrorChecking->click(); // clear -> ticked
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].strCaption, "Morvane® Firmware Upload - Warning");
    EXPECT_EQ(answerer.seen[0].strText.toStdString(),
              "NOTE: Use this option as a last resort.\n\n"
              "Make sure you have tried first the \"Slow Mode\" option\n"
              "without success before using \"Relaxed Error Checking\" option.\n\n"
              "Using this option limits this program's capability to\n"
              "detect failed uploads.\n\n");
    EXPECT_EQ(answerer.seen[0].icon, QMessageBox::Warning);
    EXPECT_EQ(answerer.seen[0].buttons, QMessageBox::Ok);
    // The warning does not undo the tick, and the option follows the box at once.
    EXPECT_TRUE(dlg.m_chkRelaxedErrorChecking->isChecked());
    EXPECT_TRUE(dlg.m_bRelaxedErrorChecking.load());

    dlg.m_chkRelaxedErrorChecking->click(); // ticked -> clear: no warning
    EXPECT_EQ(answerer.seen.size(), 1u);
    EXPECT_FALSE(dlg.m_bRelaxedErrorChecking.load());

    dlg.m_chkRelaxedErrorChecking->click(); // and again on the next tick
    EXPECT_EQ(answerer.seen.size(), 2u);
    EXPECT_TRUE(dlg.m_bRelaxedErrorChecking.load());

    // Slow Mode is only read when a session starts.
    dlg.m_chkSlowMode->click();
    EXPECT_FALSE(dlg.m_bSlowMode.load());
    EXPECT_EQ(answerer.seen.size(), 2u);
}

TEST_F(DialogFixture, CloseIsDisabledAndEscapeRefusedWhileASessionRuns) {
    CBoxAnswerer answerer(&dlg);
    dlg.m_cmbPort->setEditText(MISSING_PORT);
    dlg.m_btnStart->click();
    ASSERT_TRUE(dlg.IsSessionRunning());

    // At the next idle moment.
    ASSERT_TRUE(WaitUntil([this] { return !dlg.m_btnClose->isEnabled(); }, 2000));

    // Escape, the window's close button and Close's own slot all leave the dialog open, and
    // change nothing else.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.close());
    dlg.reject();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.IsSessionRunning());
    EXPECT_FALSE(dlg.m_bCancel.load());
    EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");
    EXPECT_TRUE(answerer.seen.empty());

    // The port box and both options stay usable; Relaxed Error Checking takes effect at once.
    EXPECT_TRUE(dlg.m_cmbPort->isEnabled());
    EXPECT_TRUE(dlg.m_chkSlowMode->isEnabled());
    EXPECT_TRUE(dlg.m_chkRelaxedErrorChecking->isEnabled());
    dlg.m_chkRelaxedErrorChecking->click();
    EXPECT_TRUE(dlg.m_bRelaxedErrorChecking.load());
    ASSERT_GE(answerer.seen.size(), 1u);
    EXPECT_TRUE(answerer.seen[0].strText.startsWith("NOTE: Use this option as a last resort."));

    // Enabled again after the session, at the next idle moment; then Escape ends the dialog.
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(dlg.m_btnClose->isEnabled());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

TEST_F(DialogFixture, EnterStartsAndWhileUploadingAsksTheCancelQuestion) {
    std::vector<QString> questions;
    CBoxAnswerer answerer(&dlg, [&](const BOX_SEEN& box) {
        questions.push_back(box.strText);
        return box.buttons & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok;
    });
    dlg.m_cmbPort->setEditText(MISSING_PORT);
    dlg.m_cmbPort->setFocus();

    // Enter in the port box presses the default button: Start.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(dlg.IsSessionRunning());
    EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");
    EXPECT_EQ(dlg.m_cmbPort->count(), 0); // a typed name is not added to the list

    // Enter again, while the session runs: the cancel question, answered No.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    ASSERT_GE(answerer.seen.size(), 1u);
    const BOX_SEEN& box = answerer.seen[0];
    EXPECT_EQ(box.strCaption, "Morvane® Firmware Upload - Warning");
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(box.bParentIsDialog);
    EXPECT_EQ(box.strText.toStdString(),
              "Interrupting the firmware upload process will most likely\n"
              "leave your Morvane® 2000 unit non functional.\n\n"
              "It is recomended that you let the firmware upload process finish.\n"
              "However, in case the firmware upload did not finish correctly,\n"
              "it is always possible to repeat the whole firmware upload process.\n\n"
              "Are you sure you wish to stop the upload process?");
    EXPECT_FALSE(dlg.m_bCancel.load());
    EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");
    ASSERT_TRUE(WaitIdle());
}

TEST_F(DialogFixture, HelpOpensThePageBesideTheProgramAtItsContents) {
    CUrlRecorder recorder;
    CBoxAnswerer answerer(&dlg);
    dir.WriteFile("MorFWUpload.html", "<html></html>");
    dlg.m_btnHelp->click();
    QTest::keyClick(&dlg, Qt::Key_F1);
    ASSERT_EQ(recorder.urls.size(), 2u);
    const QUrl url = recorder.urls[0];
    EXPECT_TRUE(url.isLocalFile());
    EXPECT_EQ(url.toLocalFile(), QString::fromStdString(dir.Path()) + "MorFWUpload.html");
    EXPECT_EQ(url.fragment(), "contents");
    EXPECT_TRUE(answerer.seen.empty());
}

TEST(DialogHelp, FindsTheInstalledPageAndReportsAMissingOne) {
    SilentBeeps beeps;
    const CTempAppDir dir;
    const FakeTtyTree tty({});
    CUrlRecorder recorder;
    {
        // The installed layout: the program in bin/, the page in share/doc/MorFWUpload/.
        dir.WriteFile("share/doc/MorFWUpload/MorFWUpload.html", "<html></html>");
        dir.WriteFile("bin/placeholder", "");
        CMorFWUploadDlg dlg(dir.Path() + "bin/", nullptr, tty.Sys(), tty.Dev());
        EXPECT_EQ(dlg.GetHelpPage(),
                  QString::fromStdString(dir.Path()) + "share/doc/MorFWUpload/MorFWUpload.html");
    }
    {
        CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
        CBoxAnswerer answerer(&dlg);
        dlg.OnHelp();
        EXPECT_TRUE(recorder.urls.empty());
        ASSERT_EQ(answerer.seen.size(), 1u);
        EXPECT_EQ(answerer.seen[0].strCaption, "Error");
        EXPECT_TRUE(answerer.seen[0].strText.contains("MorFWUpload.html"));
    }
}

TEST_F(DialogFixture, AboutIsInTheContextMenuAndOnCtrlShiftA) {
    QStringList titles;
    CBoxAnswerer answerer(&dlg);
    answerer.onOtherDialog = [&](QDialog* pDialog) {
        titles << pDialog->windowTitle();
        if (auto* pAbout = qobject_cast<CAboutDlg*>(pDialog))
            titles << pAbout->m_pVersion->text();
    };

    QTest::keyClick(&dlg, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(titles, QStringList({"About MorFWUpload", "MorFWUpload Version 1.0.3"}));

    // The context menu of the dialog and of the log pane offer the same item.
    for (QWidget* pTarget : {static_cast<QWidget*>(&dlg), dlg.m_edtLog->viewport()}) {
        QStringList items;
        QTimer::singleShot(50, [&] {
            if (auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* pAction : pMenu->actions())
                    items << pAction->text();
                pMenu->close();
            }
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                pTarget->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(pTarget, &event);
        EXPECT_TRUE(items.contains("&About MorFWUpload...")) << items.join('|').toStdString();
        EXPECT_TRUE(items.contains("&Help"));
    }
    dlg.m_actAbout->trigger();
    EXPECT_EQ(titles.size(), 4);

    // And in the Help button's menu, opened from its arrow; the button's face stays Help.
    QStringList items;
    QTimer::singleShot(50, [&] {
        if (auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* pAction : pMenu->actions())
                items << pAction->text();
            for (QAction* pAction : pMenu->actions())
                if (pAction->text() == "&About MorFWUpload...") {
                    pMenu->close();
                    pAction->trigger();
                }
        }
    });
    dlg.m_btnHelp->showMenu();
    EXPECT_EQ(items, QStringList({"&Help", "", "&About MorFWUpload..."}));
    EXPECT_EQ(titles.size(), 6);
}

TEST(Application, SetsUpTheProgramAndRunsTheDialogUntilItCloses) {
    std::atomic<int> nMarker{0};
    const BeepSink before = SetBeepSink([&](DWORD, DWORD) { ++nMarker; });
    {
        CMorFWUploadApp theApp;
        QString strTitle;
        bool bModal = false;
        // The operator closes the dialog as soon as it is up.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* pDlg = qobject_cast<CMorFWUploadDlg*>(QApplication::activeModalWidget())) {
                strTitle = pDlg->windowTitle();
                bModal = pDlg->isModal();
                pDlg->m_btnClose->click();
            }
        });
        closer.start(20);
        EXPECT_EQ(theApp.InitInstance(nullptr), 0);
        EXPECT_EQ(strTitle, "Morvane 2000  Firmware Upload");
        EXPECT_TRUE(bModal);

        // The program directory is the running program's, with a trailing '/'.
        EXPECT_EQ(QString::fromStdString(theApp.m_strAppDir),
                  QCoreApplication::applicationDirPath() + "/");
        EXPECT_EQ(QGuiApplication::desktopFileName(), "MorFWUpload");
        // The icon is there in its pixels, not only as a name: the window's and the about box's.
        const QImage expected = QImage(QStringLiteral(MORFW_ICON_DIR "/MorFWUpload-32.png"))
                                    .convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(expected.isNull());
        EXPECT_EQ(QApplication::windowIcon().pixmap(32, 32).toImage().convertToFormat(
                      QImage::Format_ARGB32),
                  expected);
        CAboutDlg about;
        const QImage shown = about.m_pIcon->pixmap().toImage();
        ASSERT_FALSE(shown.isNull());
        int nOpaque = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                nOpaque += qAlpha(shown.pixel(x, y)) > 0;
        EXPECT_GT(nOpaque, shown.width() * shown.height() / 4);

        // Beep codes ring the desktop's bell and still take each tone's length, from any thread.
        QElapsedTimer timer;
        timer.start();
        std::thread beeper([] { Beep(1000, 100); });
        beeper.join();
        EXPECT_GE(timer.elapsed(), 95);
        EXPECT_EQ(nMarker.load(), 0);
    }
    // Leaving restores the previous sink.
    Beep(1000, 1);
    EXPECT_EQ(nMarker.load(), 1);
    SetBeepSink(before);
}
