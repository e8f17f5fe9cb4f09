#include "app/MessageBox.h"

#include "platform/TextWrap.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <string>

namespace {

// The texts as the box shows them, line breaks included (the measure is the label's font).
struct LAID_OUT {
    QString strText;
    QString strDetail;
};

LAID_OUT LayOut(const QString& strText, const QString& strDetail, const QFont& font,
                int nMaxWidth) {
    const QFontMetrics fm(font);
    const TextWidthFn width = [&fm](std::string_view s) {
        return fm.horizontalAdvance(QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())));
    };
    const std::string strWrapped = WrapText(strText.toStdString(), nMaxWidth, width);
    LAID_OUT out{QString::fromStdString(strWrapped), {}};
    if (!strDetail.isEmpty()) {
        // The detail takes the text's width, or its widest word's when that is wider, so that
        // a device path moves to a line of its own rather than being broken.
        const std::string strDetail8 = strDetail.toStdString();
        const int nDetailWidth = std::min(
            nMaxWidth, std::max(WidestLine(strWrapped, width), WidestWord(strDetail8, width)));
        out.strDetail = QString::fromStdString(WrapText(strDetail8, nDetailWidth, width));
    }
    return out;
}

} // namespace

CMessageBox::CMessageBox(Icon icon, const QString& strCaption, const QString& strText,
                         StandardButtons buttons, QWidget* pParent, const QString& strDetail)
    : QMessageBox(icon, strCaption, strText, buttons, pParent), m_strText(strText),
      m_strDetail(strDetail) {
    setTextFormat(Qt::PlainText);
    if (!strDetail.isEmpty())
        setInformativeText(strDetail);
    m_pText = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    m_pDetail = findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    // A reason from the system is text, even where it looks like markup.
    if (m_pDetail)
        m_pDetail->setTextFormat(Qt::PlainText);
}

int CMessageBox::MaxTextWidth() const {
    // The screen's width less what the box puts beside the text: its frame, its margins and
    // the icon with its spacing.
    const QScreen* pScreen = screen();
    const int nScreen = pScreen ? pScreen->availableGeometry().width() : 800;
    int nBeside = 0;
    if (const QLayout* pLayout = layout()) {
        const QMargins m = pLayout->contentsMargins();
        nBeside += m.left() + m.right();
    }
    if (const auto* pIcon = findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"));
        pIcon && !pIcon->pixmap().isNull()) {
        nBeside += pIcon->sizeHint().width() +
                   style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, this);
    }
    const int nFrame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 16;
    return std::max(100, nScreen - nBeside - nFrame);
}

void CMessageBox::FitToText() {
    if (!m_pText || !layout())
        return;
    const LAID_OUT texts = LayOut(m_strText, m_strDetail, m_pText->font(), MaxTextWidth());
    // The lines are laid out above: the labels show them as they are, at their natural size.
    const QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    for (QLabel* pLabel : {m_pText, m_pDetail}) {
        if (!pLabel)
            continue;
        const QString& strShown = pLabel == m_pText ? texts.strText : texts.strDetail;
        if (pLabel->wordWrap())
            pLabel->setWordWrap(false);
        if (pLabel->text() != strShown)
            pLabel->setText(strShown);
        if (pLabel->sizePolicy() != policy)
            pLabel->setSizePolicy(policy);
    }
    layout()->activate();
    QSize size = layout()->totalMinimumSize().expandedTo(layout()->totalSizeHint());
    // Wide enough for the caption too, as far as the screen allows.
    const QFontMetrics fmTitle(QApplication::font("QMdiSubWindowTitleBar"));
    size.setWidth(std::max(
        size.width(), std::min(fmTitle.horizontalAdvance(windowTitle()) + 50, MaxTextWidth())));
    if (minimumSize() != size || maximumSize() != size)
        setFixedSize(size);
}

bool CMessageBox::event(QEvent* pEvent) {
    // QMessageBox re-wraps its text at its own fixed width on every layout request; the box
    // lays its text out by its own rule instead.
    if (pEvent->type() == QEvent::LayoutRequest) {
        const bool bResult = QDialog::event(pEvent);
        FitToText();
        return bResult;
    }
    return QMessageBox::event(pEvent);
}

void CMessageBox::showEvent(QShowEvent* pEvent) {
    QMessageBox::showEvent(pEvent);
    FitToText();
}
