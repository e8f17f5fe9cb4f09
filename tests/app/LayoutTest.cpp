// The dialogs' layout: dialog units follow the font, every control of the template sits where
// its units say, and the window keeps its proportions with a larger font.

#include "AppTestSupport.h"
#include "app/AboutDlg.h"
#include "app/DialogUnits.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

QRect Rect(const CDialogUnits& du, const DLGITEM_LAYOUT& l) {
    return du.MapDialogRect(l.x, l.y, l.cx, l.cy);
}

} // namespace

TEST(DialogUnits, BaseUnitsComeFromTheFontsAverageLetterWidthAndHeight) {
    const QFont font = QApplication::font();
    const QFontMetrics fm(font);
    const CDialogUnits du(font);
    const int nAlphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ(du.BaseX(), (nAlphabet / 26 + 1) / 2);
    EXPECT_EQ(du.BaseY(), fm.height());
    // Four units across make one average character, eight down one line.
    EXPECT_EQ(du.MapX(4), du.BaseX());
    EXPECT_EQ(du.MapY(8), du.BaseY());
    EXPECT_EQ(du.MapX(0), 0);
    const QRect rc = du.MapDialogRect(10, 20, 30, 40);
    EXPECT_EQ(rc.left(), du.MapX(10));
    EXPECT_EQ(rc.top(), du.MapY(20));
    EXPECT_EQ(rc.left() + rc.width(), du.MapX(40));
    EXPECT_EQ(rc.top() + rc.height(), du.MapY(60));
}

TEST(DialogLayout, EveryControlSitsAtItsTemplatePositionAtAnyFontSize) {
    const CTempAppDir dir;
    for (const int nPoints : {9, 16}) {
        const ScopedAppFont font(nPoints);
        CMorFWUploadDlg dlg(dir.Path());
        const CDialogUnits du(dlg.font());
        SCOPED_TRACE(nPoints);

        EXPECT_EQ(dlg.size(), QSize(du.MapX(281), du.MapY(196)));
        EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()); // a fixed frame

        EXPECT_EQ(dlg.m_stcPort->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_PORT_LABEL));
        EXPECT_EQ(dlg.m_stcProgress->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_PROGRESS_LABEL));
        EXPECT_EQ(dlg.m_ctlProgress->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_PROGRESS));
        EXPECT_EQ(dlg.m_stcRevision->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_REVISION));
        // The pane's edges may move inwards onto whole device pixels, by less than one of them.
        const QRect rcLog = Rect(du, CMorFWUploadDlg::LAYOUT_LOG);
        const int nSlack = dlg.devicePixelRatioF() == 1.0 ? 0 : 3;
        EXPECT_TRUE(rcLog.contains(dlg.m_edtLog->geometry()));
        EXPECT_LE(rcLog.width() - dlg.m_edtLog->width(), nSlack);
        EXPECT_LE(rcLog.height() - dlg.m_edtLog->height(), nSlack);
        EXPECT_EQ(dlg.m_chkSlowMode->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_SLOW_MODE));
        EXPECT_EQ(dlg.m_chkRelaxedErrorChecking->geometry(),
                  Rect(du, CMorFWUploadDlg::LAYOUT_RELAXED));
        EXPECT_EQ(dlg.m_btnStart->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_START));
        EXPECT_EQ(dlg.m_btnClose->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_CLOSE));
        EXPECT_EQ(dlg.m_btnHelp->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_HELP));
        EXPECT_EQ(dlg.m_stcVersion->geometry(), Rect(du, CMorFWUploadDlg::LAYOUT_VERSION));
        // The port box: its place and width from the template; its field keeps its own height.
        const QRect rcPort = Rect(du, CMorFWUploadDlg::LAYOUT_PORT);
        EXPECT_EQ(dlg.m_cmbPort->pos(), rcPort.topLeft());
        EXPECT_EQ(dlg.m_cmbPort->width(), rcPort.width());

        // The texts fit their places in the dialog's own font.
        const QFontMetrics fm(dlg.font());
        for (QLabel* pLabel :
             {dlg.m_stcPort, dlg.m_stcProgress, dlg.m_stcRevision, dlg.m_stcVersion})
            EXPECT_LE(fm.horizontalAdvance(pLabel->text()), pLabel->width())
                << pLabel->text().toStdString();
    }
}

TEST(WrapButton, WrapsTheCaptionOnlyWhenItDoesNotFit) {
    CWrapButton button(QStringLiteral("Cancel Upload"));
    const QFontMetrics fm(button.font());
    button.resize(fm.horizontalAdvance(QStringLiteral("Cancel Upload")) * 3, 40);
    EXPECT_EQ(button.WrappedText(), "Cancel Upload");
    button.resize(fm.horizontalAdvance(QStringLiteral("Upload")) + 30, 60);
    EXPECT_EQ(button.WrappedText(), "Cancel\nUpload");
    EXPECT_EQ(button.text(), "Cancel Upload"); // the caption itself never changes
}

TEST(AboutBox, ShowsNameVersionAndNoticeAtItsTemplatePositions) {
    CAboutDlg dlg;
    const CDialogUnits du(dlg.font());
    EXPECT_EQ(dlg.windowTitle(), "About MorFWUpload");
    EXPECT_EQ(dlg.m_pVersion->text(), "MorFWUpload Version 1.0.3");
    EXPECT_FALSE(dlg.m_pNotice->text().isEmpty());
    EXPECT_EQ(dlg.m_pVersion->geometry(), du.MapDialogRect(40, 10, 119, 8));
    EXPECT_EQ(dlg.m_pNotice->geometry(), du.MapDialogRect(40, 25, 119, 8));
    EXPECT_EQ(dlg.m_pOK->geometry(), du.MapDialogRect(178, 7, 50, 14));
    EXPECT_EQ(dlg.m_pIcon->pos(), du.MapDialogRect(11, 17, 0, 0).topLeft());
    EXPECT_TRUE(dlg.m_pOK->isDefault());
    EXPECT_EQ(dlg.size(), QSize(du.MapX(235), du.MapY(55)));
    const QFontMetrics fm(dlg.font());
    EXPECT_LE(fm.horizontalAdvance(dlg.m_pNotice->text()), dlg.m_pNotice->width());
}

// At a fractional scale (the suite runs this once more with QT_SCALE_FACTOR=1.5) the log pane
// keeps its right and bottom frame lines: what the dialog paints has a dark line along both.
TEST(DialogHiDpi, TheLogPaneKeepsItsWholeFrameAtAFractionalScale) {
    const qreal dpr = qApp->devicePixelRatio();
    if (dpr == std::floor(dpr))
        GTEST_SKIP() << "only at a fractional scale (QT_SCALE_FACTOR=1.5)";
    const CTempAppDir dir;
    const FakeTtyTree tty({});
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    dlg.show();
    const QImage img = dlg.grab().toImage();
    ASSERT_EQ(img.devicePixelRatio(), dpr);
    const QRect g = dlg.m_edtLog->geometry();
    // The pane's last device column and row, and the darkest grey within the last three.
    const int nRight = static_cast<int>(std::ceil((g.x() + g.width()) * dpr)) - 1;
    const int nBottom = static_cast<int>(std::ceil((g.y() + g.height()) * dpr)) - 1;
    const int nMidX = static_cast<int>((g.x() + g.width() / 2) * dpr);
    const int nMidY = static_cast<int>((g.y() + g.height() / 2) * dpr);
    int nDarkestRight = 255;
    int nDarkestBottom = 255;
    for (int d = 0; d < 3; ++d) {
        nDarkestRight = std::min(nDarkestRight, qGray(img.pixel(nRight - d, nMidY)));
        nDarkestBottom = std::min(nDarkestBottom, qGray(img.pixel(nMidX, nBottom - d)));
    }
    const int nFace = qGray(img.pixel(2, 2)); // the dialog's face
    EXPECT_LT(nDarkestRight, nFace - 24);
    EXPECT_LT(nDarkestBottom, nFace - 24);
}
