#include "app/WrapButton.h"

#include <QPen>
#include <QStringList>
#include <QStyleOptionButton>
#include <QStylePainter>

CWrapButton::CWrapButton(const QString& strText, QWidget* pParent)
    : QPushButton(strText, pParent) {}

QString CWrapButton::WrappedText() const {
    QStyleOptionButton opt;
    initStyleOption(&opt);
    const QRect rcLabel = style()->subElementRect(QStyle::SE_PushButtonContents, &opt, this);
    // A little air on both sides, as a caption that touches the frame looks cut off.
    const int nWidth = rcLabel.width() - 4;
    const QFontMetrics fm = fontMetrics();
    const QString strText = text();
    if (fm.horizontalAdvance(strText) <= nWidth)
        return strText;

    // Greedy wrap at spaces; a single word wider than the button stays whole.
    const QStringList words = strText.split(u' ', Qt::SkipEmptyParts);
    QString strResult;
    QString strLine;
    for (const QString& word : words) {
        const QString strTry = strLine.isEmpty() ? word : strLine + u' ' + word;
        if (!strLine.isEmpty() && fm.horizontalAdvance(strTry) > nWidth) {
            strResult += strLine + u'\n';
            strLine = word;
        } else {
            strLine = strTry;
        }
    }
    return strResult + strLine;
}

void CWrapButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text = WrappedText();
    painter.drawControl(QStyle::CE_PushButton, opt);
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::ButtonText), 1, Qt::DotLine));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(FocusFrame());
    }
}

QRect CWrapButton::FocusFrame() const {
    QStyleOptionButton opt;
    initStyleOption(&opt);
    // Inside the face, clear of the frame that marks the default button.
    return style()
        ->subElementRect(QStyle::SE_PushButtonContents, &opt, this)
        .adjusted(2, 2, -3, -3);
}
