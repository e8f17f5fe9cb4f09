// The log pane: line ends as written and as shown, the newest line in view at any length,
// appends that touch only the new text, and the window colours of a read-only pane.

#include "app/ZEdit.h"

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <gtest/gtest.h>

namespace {

struct PaneFixture : ::testing::Test {
    PaneFixture() : pane(QColor(20, 30, 40), QColor(250, 240, 200)) {
        pane.resize(400, 200);
        pane.show();
    }
    ZEdit pane;
};

// The shown text, one line per paragraph.
QString Shown(const ZEdit& pane) {
    return pane.toPlainText();
}

bool LastLineInView(ZEdit& pane) {
    // The caret is at the end and its line lies inside the visible area.
    QTextCursor end(pane.document());
    end.movePosition(QTextCursor::End);
    if (pane.textCursor().position() != end.position())
        return false;
    const QRect rcCaret = pane.cursorRect(end);
    return pane.viewport()->rect().contains(rcCaret);
}

} // namespace

TEST_F(PaneFixture, KeepsCrLfAsWrittenAndShowsOneLinePerLineEnd) {
    pane.AppendText("Loading...  -> Succeeded\r\n");
    pane.AppendText("Uploading firmware - part 1 of 5...\r\n# ");
    pane.AppendText("+");
    pane.AppendText(" Succeeded\r\n\r\n");
    EXPECT_EQ(pane.Text(), "Loading...  -> Succeeded\r\nUploading firmware - part 1 of 5...\r\n"
                           "# + Succeeded\r\n\r\n");
    EXPECT_EQ(Shown(pane), "Loading...  -> Succeeded\nUploading firmware - part 1 of 5...\n"
                           "# + Succeeded\n\n");
}

TEST_F(PaneFixture, CrEndingOneAppendAndLfBeginningTheNextMakeOneLineEnd) {
    pane.AppendText("first\r");
    pane.AppendText("\nsecond");
    EXPECT_EQ(pane.Text(), "first\r\nsecond");
    EXPECT_EQ(Shown(pane), "first\nsecond");
    EXPECT_EQ(pane.document()->blockCount(), 2);
}

TEST_F(PaneFixture, EmptyAppendChangesNothingButBringsTheEndIntoView) {
    for (int i = 0; i < 200; ++i)
        pane.AppendText(QStringLiteral("line %1\r\n").arg(i));
    pane.verticalScrollBar()->setValue(0);
    const QString strBefore = pane.Text();
    pane.AppendText(QString());
    EXPECT_EQ(pane.Text(), strBefore);
    EXPECT_TRUE(LastLineInView(pane));
}

TEST_F(PaneFixture, NewestLineStaysInViewFarBeyond32767Characters) {
    // Lines of dots as the records produce them, then a closing line, well past 32767.
    int nChecked = 0;
    for (int nLine = 0; nLine < 900; ++nLine) {
        pane.AppendText(nLine == 0 ? QStringLiteral("# ") : QStringLiteral("\r\n+ "));
        for (int i = 0; i < 100; i += 25)
            pane.AppendText(QString(25, u'.'));
        if (nLine % 150 == 149) {
            EXPECT_TRUE(LastLineInView(pane)) << "at " << pane.Text().size();
            ++nChecked;
        }
    }
    pane.AppendText(" Succeeded\r\nFirmware uploaded in 0:01:07 (h:mm:ss)\r\n\r\n");
    ASSERT_GT(pane.Text().size(), 2 * 32767);
    EXPECT_TRUE(LastLineInView(pane));
    // The closing text line above the final empty ones is in view as well.
    const QTextBlock closing = pane.document()->lastBlock().previous().previous();
    ASSERT_TRUE(closing.text().startsWith("Firmware uploaded"));
    QTextCursor atClosing(closing);
    EXPECT_TRUE(pane.viewport()->rect().contains(pane.cursorRect(atClosing)));
    EXPECT_GT(pane.verticalScrollBar()->value(), 0);
    EXPECT_EQ(nChecked, 6);
}

TEST_F(PaneFixture, AnAppendTouchesOnlyTheAppendedText) {
    // A pane that rewrote its whole text on every append would report the old text removed.
    for (int i = 0; i < 2000; ++i)
        pane.AppendText(QStringLiteral("a fairly long line of log text number %1\r\n").arg(i));
    int nRemoved = -1;
    int nAdded = -1;
    int nPosition = -1;
    QObject::connect(pane.document(), &QTextDocument::contentsChange,
                     [&](int nPos, int nCharsRemoved, int nCharsAdded) {
                         nPosition = nPos;
                         nRemoved = nCharsRemoved;
                         nAdded = nCharsAdded;
                     });
    const int nEnd = pane.document()->characterCount() - 1;
    pane.AppendText(".");
    EXPECT_EQ(nPosition, nEnd);
    EXPECT_EQ(nRemoved, 0);
    EXPECT_EQ(nAdded, 1);
}

TEST_F(PaneFixture, ReadOnlyForTheKeyboardButSelectable) {
    pane.AppendText("text\r\n");
    pane.setFocus();
    QTest::keyClicks(&pane, "typed");
    QTest::keyClick(&pane, Qt::Key_Backspace);
    EXPECT_EQ(pane.Text(), "text\r\n");
    EXPECT_TRUE(pane.isReadOnly());
    EXPECT_TRUE(pane.textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(pane.focusPolicy(), Qt::ClickFocus); // no tab stop
}

TEST_F(PaneFixture, PaintsItsOwnColoursNotTheFaceColourWhenReadOnly) {
    pane.AppendText("x\r\n");
    for (const bool bEnabled : {true, false}) {
        pane.setEnabled(bEnabled);
        const QImage img = pane.viewport()->grab().toImage();
        // A point well away from the text.
        const QColor crPixel = img.pixelColor(img.width() - 10, img.height() - 10);
        EXPECT_EQ(crPixel.rgb(), QColor(250, 240, 200).rgb()) << "enabled " << bEnabled;
    }
    EXPECT_EQ(pane.palette().color(QPalette::Text), QColor(20, 30, 40));
    EXPECT_EQ(pane.TextColor(), QColor(20, 30, 40));
    EXPECT_EQ(pane.BackgroundColor(), QColor(250, 240, 200));
}
