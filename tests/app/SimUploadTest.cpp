// Whole uploads from the real dialog to the simulated unit, with "sim:" typed into the port
// box: the exact log transcript, the success box, the progress bar, and cancelling.

#include "../TranscriptText.h"
#include "AppTestSupport.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"
#include "sim/SimLine.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <regex>

namespace {

struct SimUploadFixture : ::testing::Test {
    SimUploadFixture() : tty(QStringList()), dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev()) {
        RegisterSimLineBackend();
        // The unit knows the image set that this dialog loads.
        SetSimDefaultImageDir(dir.ImageDir());
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        (void)QTest::qWaitForWindowActive(&dlg);
        // Typed by the operator: a name that is not in the (empty) list.
        dlg.m_cmbPort->setFocus();
        QTest::keyClicks(dlg.m_cmbPort->lineEdit(), "sim:");
    }
    ~SimUploadFixture() override {
        WaitUntil([this] { return !dlg.IsSessionRunning(); }, 60000);
        SetSimDefaultImageDir(std::string());
    }
    bool WaitIdle(int nMs = 60000) {
        return WaitUntil([this] { return !dlg.IsSessionRunning() && dlg.m_btnClose->isEnabled(); },
                         nMs);
    }
    std::string Log() const { return dlg.m_edtLog->Text().toStdString(); }
    bool LogContains(const char* psz) const { return Log().find(psz) != std::string::npos; }

    SilentBeeps beeps;
    CTempAppDir dir;
    FakeTtyTree tty;
    CMorFWUploadDlg dlg;
};

std::string Marks(int nRecords) {
    return "# " + std::string(static_cast<std::size_t>(nRecords), '.');
}

// The transcript of a clean upload of the test set; the elapsed time stands as "H:MM:SS".
std::string CleanTranscript() {
    return "Using high baudrate bootstrap mode\r\n"
           "Loading the firmware image files...  -> Succeeded\r\n"
           "Opening COM port...  -> Succeeded\r\n"
           "Uploading firmware - part 1 of 5...\r\n"
           "#  Succeeded\r\n"
           "Uploading firmware - part 2 of 5...\r\n"
           "#  Succeeded\r\n"
           "Uploading firmware - part 3 of 5...\r\n" +
           Marks(CTempAppDir::RECORDS_SBOOT) +
           " Succeeded\r\n"
           "Uploading firmware - part 4 of 5...\r\n" +
           Marks(CTempAppDir::RECORDS_KERNEL) +
           " Succeeded\r\n"
           "Uploading firmware - part 5 of 5...\r\n" +
           Marks(CTempAppDir::RECORDS_FIRMWARE) +
           " Succeeded\r\n"
           "Firmware uploaded in H:MM:SS (h:mm:ss)\r\n\r\n"
           "\r\n";
}

// The log with every elapsed time replaced by "H:MM:SS"; the times must be plausible.
// The elapsed time and the retry marks, which a busy machine may add, are left out.
std::string WithoutTimes(const std::string& strLog) {
    static const std::regex re("Firmware uploaded in 0:00:[0-5][0-9] \\(h:mm:ss\\)");
    return WithoutRetryMarks(
        std::regex_replace(strLog, re, "Firmware uploaded in H:MM:SS (h:mm:ss)"));
}

} // namespace

TEST_F(SimUploadFixture, WholeUploadLogsTheExactTranscriptAndASecondOneAppends) {
    CBoxAnswerer answerer(&dlg);
    const int nRecords =
        CTempAppDir::RECORDS_SBOOT + CTempAppDir::RECORDS_KERNEL + CTempAppDir::RECORDS_FIRMWARE;

    for (int nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE(nRun);
        dlg.m_btnStart->click();
        EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");
        ASSERT_TRUE(WaitIdle());

        ASSERT_EQ(answerer.seen.size(), static_cast<std::size_t>(nRun));
        const BOX_SEEN& box = answerer.seen.back();
        EXPECT_EQ(box.strCaption, "MorFWUpload");
        EXPECT_EQ(box.strText, "Firmware upload appears to be successful.");
        EXPECT_EQ(box.icon, QMessageBox::NoIcon);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_TRUE(box.bParentIsDialog);

        std::string strExpected;
        for (int i = 0; i < nRun; ++i)
            strExpected += CleanTranscript();
        EXPECT_EQ(WithoutTimes(Log()), strExpected);
        // The window shows what the session wrote, and the pane holds it as written.
        EXPECT_EQ(Log(), dlg.GetLogText());

        EXPECT_EQ(dlg.m_ctlProgress->maximum(), nRecords);
        EXPECT_EQ(dlg.m_ctlProgress->value(), nRecords);
        EXPECT_EQ(dlg.m_btnStart->text(), "Start Upload");
        EXPECT_TRUE(dlg.m_btnClose->isEnabled());
        EXPECT_FALSE(dlg.m_bCancel.load());
        EXPECT_EQ(dlg.m_cmbPort->currentText(), "sim:");
    }
}

TEST_F(SimUploadFixture, CancelQuestionAnsweredNoGoesOnAndYesCancels) {
    int nQuestions = 0;
    bool bGrewWhileOpen = false;
    bool bCaptionWhileOpen = false;
    CBoxAnswerer answerer(&dlg, [&](const BOX_SEEN& box) {
        if (!(box.buttons & QMessageBox::Yes))
            return QMessageBox::Ok;
        if (++nQuestions == 1) {
            // The session goes on while the question is open.
            bGrewWhileOpen = WaitUntil([&] { return LogContains("part 3 of 5"); }, 20000);
            bCaptionWhileOpen = dlg.m_btnStart->text() == "Cancel Upload";
            return QMessageBox::No;
        }
        return QMessageBox::Yes;
    });

    QTest::keyClick(dlg.m_cmbPort->lineEdit(), Qt::Key_Return); // Start
    ASSERT_TRUE(WaitUntil([&] { return LogContains("part 2 of 5"); }, 20000));
    EXPECT_FALSE(LogContains("part 3 of 5"));

    QTest::keyClick(dlg.m_cmbPort->lineEdit(), Qt::Key_Return); // the question: No
    EXPECT_EQ(nQuestions, 1);
    EXPECT_TRUE(bGrewWhileOpen);
    EXPECT_TRUE(bCaptionWhileOpen);
    EXPECT_FALSE(dlg.m_bCancel.load());
    EXPECT_TRUE(dlg.IsSessionRunning());
    EXPECT_EQ(dlg.m_btnStart->text(), "Cancel Upload");

    // Stage 3 pauses for seconds after its records: the second question comes in time.
    dlg.m_btnStart->click(); // the question: Yes
    EXPECT_EQ(nQuestions, 2);
    ASSERT_TRUE(WaitIdle());

    const std::string strLog = Log();
    // The line where the request was seen, the guard's line end, then the cancellation.
    EXPECT_TRUE(strLog.ends_with("\r\nUser cancelled...\r\n\r\n")) << strLog;
    EXPECT_FALSE(strLog.ends_with("\r\n\r\nUser cancelled...\r\n\r\n")) << strLog;
    EXPECT_EQ(strLog.find("Failed"), std::string::npos);
    EXPECT_EQ(strLog.find("Firmware uploaded"), std::string::npos);
    EXPECT_EQ(strLog.find("part 5 of 5"), std::string::npos);
    EXPECT_EQ(answerer.seen.size(), 2u); // the two questions; no success box
    EXPECT_EQ(dlg.m_btnStart->text(), "Start Upload");
    EXPECT_FALSE(dlg.m_bCancel.load());

    // Idle again: a new upload starts at once and runs to its end.
    dlg.m_btnStart->click();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(WithoutTimes(Log()).ends_with(CleanTranscript()));
}
