// The message boxes keep the program's own line breaks at any scale and font size, wrap the
// system's reason without splitting a path, and the Start button shows the keyboard focus apart
// from its look as the default button. The suite runs these once more at 150 % and at 200 %.

#include "AppTestSupport.h"
#include "app/DialogTexts.h"
#include "app/MorFWUploadDlg.h"
#include "app/WrapButton.h"
#include "upload/UploadTexts.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>

namespace {

struct BOX_CASE {
    const char* pszText;
    QMessageBox::StandardButtons buttons;
    QString strDetail;
};

// A by-id link: longer than most lines of a box, and it must not be split inside a name.
const QString BY_ID_PATH =
    QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

std::vector<BOX_CASE> Boxes() {
    return {
        {MSG_CANCEL_QUESTION, QMessageBox::Yes | QMessageBox::No, {}},
        {MSG_RELAXED_WARNING, QMessageBox::Ok, {}},
        {MSG_PORT_NOT_OPEN, QMessageBox::Ok,
         QStringLiteral("busy: /dev/ttyUSB0 is open in sleep (pid 123)")},
        {MSG_PORT_NOT_OPEN, QMessageBox::Ok,
         "busy: " + BY_ID_PATH + " is open in minicom (pid 4242) and in screen (pid 4243)"},
        {MSG_SELECT_PORT, QMessageBox::Ok, {}},
        {MSG_UPLOAD_SUCCESSFUL, QMessageBox::Ok, {}},
    };
}

// Shows the box as the dialog does and returns what the operator saw.
BOX_SEEN Show(CMorFWUploadDlg& dlg, const BOX_CASE& c) {
    CBoxAnswerer answerer(&dlg);
    dlg.DoMessageBox(QString::fromUtf8(c.pszText), QString::fromUtf8(CAPTION_ERROR),
                     QMessageBox::Warning, c.buttons, c.strDetail);
    return answerer.seen.empty() ? BOX_SEEN{} : answerer.seen.back();
}

// The shown text with the breaks the box added taken out again: a break at a space stands for
// that space, a break after a separator for nothing.
QString Unwrapped(const QString& strShown) {
    QString str = strShown;
    for (qsizetype i = str.indexOf(u'\n'); i >= 0; i = str.indexOf(u'\n', i)) {
        const bool bAfterSeparator = i > 0 && (str[i - 1] == u'/' || str[i - 1] == u'\\');
        str.replace(i, 1, bAfterSeparator ? QString() : QStringLiteral(" "));
    }
    return str;
}

void ExpectLinesFit(const QString& strShown, const QFontMetrics& fm, int nWidth) {
    for (const QString& line : strShown.split(u'\n'))
        EXPECT_LE(fm.horizontalAdvance(line), nWidth) << line.toStdString();
}

} // namespace

TEST(DialogHiDpi, MessageBoxesKeepEachOfTheProgramsLinesWhole) {
    const CTempAppDir dir;
    const FakeTtyTree tty({});
    for (const int nPoints : {9, 12}) {
        const ScopedAppFont font(nPoints);
        CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
        dlg.show();
        for (const BOX_CASE& c : Boxes()) {
            SCOPED_TRACE(std::to_string(nPoints) + " pt: " + c.pszText);
            const BOX_SEEN box = Show(dlg, c);
            ASSERT_GT(box.nMaxTextWidth, 0) << "no box was shown";
            const QFontMetrics fm(box.font);
            const QString strText = QString::fromUtf8(c.pszText);
            EXPECT_FALSE(box.bLabelWraps) << "the box lays its lines out itself";
            EXPECT_LE(box.size.width(), box.nScreenWidth);
            // Every line the program wrote stands whole on a line of its own, the label wide
            // enough for the widest of them (the screens of these runs have room for them).
            int nWidest = 0;
            for (const QString& line : strText.split(u'\n'))
                nWidest = std::max(nWidest, fm.horizontalAdvance(line));
            ASSERT_LE(nWidest, box.nMaxTextWidth);
            EXPECT_EQ(box.strText.toStdString(), strText.toStdString());
            EXPECT_GE(box.nTextWidth, nWidest);
            // The reason is wrapped to the box, at spaces, with the path in one piece.
            if (!c.strDetail.isEmpty()) {
                EXPECT_EQ(Unwrapped(box.strShownDetail).toStdString(), c.strDetail.toStdString());
                ExpectLinesFit(box.strShownDetail, fm, box.nDetailWidth);
                EXPECT_LE(box.nDetailWidth,
                          std::max(box.nTextWidth, fm.horizontalAdvance(BY_ID_PATH)));
                for (const QString& strName :
                     {QStringLiteral("/dev/ttyUSB0"),
                      QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")})
                    if (c.strDetail.contains(strName)) {
                        EXPECT_TRUE(box.strShownDetail.contains(strName))
                            << box.strShownDetail.toStdString();
                    }
            }
        }
    }
}

TEST(DialogHiDpi, ALineWiderThanTheScreenBreaksOnlyAtSpaces) {
    const CTempAppDir dir;
    const FakeTtyTree tty({});
    // A font so large that the screen cannot hold the cancel question's last line.
    const QString strLast = QStringLiteral("Are you sure you wish to stop the upload process?");
    QFont big = QApplication::font();
    big.setPointSize(24);
    const int nScreen = QApplication::primaryScreen()->availableGeometry().width();
    const int nPoints = 24 * (nScreen / QFontMetrics(big).horizontalAdvance(strLast) + 2);
    const ScopedAppFont font(nPoints);
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    dlg.show();
    const BOX_CASE c{MSG_CANCEL_QUESTION, QMessageBox::Yes | QMessageBox::No,
                     "busy: " + BY_ID_PATH + " is open"};
    const BOX_SEEN box = Show(dlg, c);
    ASSERT_GT(box.nMaxTextWidth, 0) << "no box was shown";
    const QFontMetrics fm(box.font);
    ASSERT_GT(fm.horizontalAdvance(strLast), box.nMaxTextWidth);
    EXPECT_FALSE(box.bLabelWraps);
    // Broken further, at spaces only: each shown line is a piece of one of the program's lines
    // between spaces, and nothing but spaces went missing.
    const QString strText = QString::fromUtf8(c.pszText);
    EXPECT_NE(box.strText, strText);
    const QStringList original = strText.split(u'\n');
    for (const QString& line : box.strText.split(u'\n')) {
        bool bFound = line.isEmpty();
        for (const QString& whole : original)
            bFound = bFound || (" " + whole + " ").contains(" " + line.trimmed() + " ");
        EXPECT_TRUE(bFound) << line.toStdString();
    }
    EXPECT_EQ(QString(box.strText).remove(u' ').remove(u'\n').toStdString(),
              QString(strText).remove(u' ').remove(u'\n').toStdString());
    // The program's empty lines are still there.
    EXPECT_TRUE(box.strText.contains(QStringLiteral("\n\n")));
    ExpectLinesFit(box.strText, fm, box.nMaxTextWidth);
    ExpectLinesFit(box.strText, fm, box.nTextWidth);
    // A path wider than the box breaks after a separator, never inside a name.
    EXPECT_EQ(Unwrapped(box.strShownDetail).toStdString(), c.strDetail.toStdString());
    for (const QString& line : box.strShownDetail.split(u'\n'))
        EXPECT_TRUE(c.strDetail.contains(line)) << line.toStdString();
    EXPECT_TRUE(
        box.strShownDetail.contains(QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")))
        << box.strShownDetail.toStdString();
}

// The Start button is the default button; with the focus on it as well, an operator must see
// the difference: a dotted frame inside its face, wherever the scale puts device pixels.
TEST(DialogHiDpi, StartUploadShowsTheKeyboardFocusApartFromBeingTheDefault) {
    const CTempAppDir dir;
    const FakeTtyTree tty({});
    CMorFWUploadDlg dlg(dir.Path(), nullptr, tty.Sys(), tty.Dev());
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_cmbPort->hasFocus(); }, 2000));
    ASSERT_TRUE(dlg.m_btnStart->isDefault());
    const QImage imgDefault = dlg.m_btnStart->grab().toImage();

    dlg.m_btnStart->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_btnStart->hasFocus(); }, 2000));
    EXPECT_TRUE(dlg.m_btnStart->isDefault());
    const QImage imgFocused = dlg.m_btnStart->grab().toImage();
    ASSERT_EQ(imgDefault.size(), imgFocused.size());

    // Pixels along each side of the frame differ, enough of them to be seen.
    const qreal dpr = imgFocused.devicePixelRatio();
    const QRect rcFrame = dlg.m_btnStart->FocusFrame();
    const QRect rcOuter(QPoint(static_cast<int>(std::floor(rcFrame.left() * dpr)) - 1,
                               static_cast<int>(std::floor(rcFrame.top() * dpr)) - 1),
                        QPoint(static_cast<int>(std::ceil((rcFrame.right() + 1) * dpr)),
                               static_cast<int>(std::ceil((rcFrame.bottom() + 1) * dpr))));
    const QRect rcInner = rcOuter.adjusted(
        static_cast<int>(std::ceil(2 * dpr)) + 1, static_cast<int>(std::ceil(2 * dpr)) + 1,
        -static_cast<int>(std::ceil(2 * dpr)) - 1, -static_cast<int>(std::ceil(2 * dpr)) - 1);
    int nOnFrame = 0;
    int nLeft = 0, nRight = 0, nTop = 0, nBottom = 0;
    for (int y = 0; y < imgFocused.height(); ++y)
        for (int x = 0; x < imgFocused.width(); ++x) {
            if (imgDefault.pixel(x, y) == imgFocused.pixel(x, y))
                continue;
            const QPoint pt(x, y);
            if (!rcOuter.contains(pt) || rcInner.contains(pt))
                continue;
            ++nOnFrame;
            nLeft += x < rcInner.left();
            nRight += x > rcInner.right();
            nTop += y < rcInner.top();
            nBottom += y > rcInner.bottom();
        }
    EXPECT_GE(nLeft, rcInner.height() / 4);
    EXPECT_GE(nRight, rcInner.height() / 4);
    EXPECT_GE(nTop, rcInner.width() / 4);
    EXPECT_GE(nBottom, rcInner.width() / 4);
    EXPECT_GT(nOnFrame, 0);

    // Away from the button, the frame goes.
    dlg.m_cmbPort->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_cmbPort->hasFocus(); }, 2000));
    EXPECT_EQ(dlg.m_btnStart->grab().toImage(), imgDefault);
}
