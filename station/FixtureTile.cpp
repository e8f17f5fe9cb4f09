#include "station/FixtureTile.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include <algorithm>
#include <cmath>

using station::TileLook;

namespace {

QString FromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Rows of the tile in units (see UnitFor): padding, the title with the fixture's counts, the
// name, the state, two detail lines, the bar or field, the figures with the button, padding.
constexpr double kPad = 0.4, kTitle = 1.0, kName = 0.45, kState = 1.3, kDetail = 0.6;
constexpr double kRowsHigh = 2 * kPad + kTitle * 1.25 + kName * 1.3 + kState * 1.25 +
                             2 * kDetail * 1.25 + 1.1 + kDetail * 2.2;

QFont Sized(const QFont& base, double dPixels, bool bBold) {
    QFont f = base;
    f.setPixelSize(std::max(9, static_cast<int>(std::lround(dPixels))));
    f.setBold(bBold);
    return f;
}

// The largest font not above dPixels in which text fits nWidth.
QFont Fitted(const QFont& base, double dPixels, bool bBold, const QString& text, int nWidth) {
    QFont f = Sized(base, dPixels, bBold);
    while (f.pixelSize() > 9 && QFontMetrics(f).horizontalAdvance(text) > nWidth)
        f.setPixelSize(f.pixelSize() - 1);
    return f;
}

} // namespace

CFixtureTile::CFixtureTile(int nIndex, QWidget* pParent) : QFrame(pParent), m_nIndex(nIndex) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_btnStart = new QPushButton(QStringLiteral("Start"), this);
    m_btnStart->setFocusPolicy(Qt::StrongFocus);
    connect(m_btnStart, &QPushButton::clicked, this, [this] { emit startRequested(m_nIndex); });
    m_edtSerial = new QLineEdit(this);
    m_edtSerial->setPlaceholderText(QStringLiteral("serial number"));
    m_edtSerial->setMaxLength(64);
    m_edtSerial->setAccessibleName(QStringLiteral("Serial number"));
    m_edtSerial->hide();
    m_edtSerial->installEventFilter(this);
}

int CFixtureTile::UnitFor(const QSize& size) {
    return std::max(8, static_cast<int>(std::min(size.width() / 10.0, size.height() / kRowsHigh)));
}

CFixtureTile::Colours CFixtureTile::ColoursOf(TileLook look) {
    switch (look) {
    case TileLook::Idle:
        return {QColor(0xec, 0xef, 0xf1), QColor(0x26, 0x32, 0x38), QColor(0x90, 0xa4, 0xae)};
    case TileLook::Asking:
        return {QColor(0xff, 0xf5, 0x9d), QColor(0x21, 0x21, 0x21), QColor(0xf9, 0xa8, 0x25)};
    case TileLook::Held:
    case TileLook::Problem:
        return {QColor(0xff, 0xb3, 0x00), QColor(0x1a, 0x1a, 0x1a), QColor(0xe6, 0x51, 0x00)};
    case TileLook::Running:
        return {QColor(0xe3, 0xf2, 0xfd), QColor(0x0d, 0x47, 0xa1), QColor(0x15, 0x65, 0xc0)};
    case TileLook::Passed:
        return {QColor(0x2e, 0x7d, 0x32), QColor(0xff, 0xff, 0xff), QColor(0x1b, 0x5e, 0x20)};
    case TileLook::Failed:
        return {QColor(0xc6, 0x28, 0x28), QColor(0xff, 0xff, 0xff), QColor(0x8e, 0x00, 0x00)};
    case TileLook::Cancelled:
        return {QColor(0x75, 0x75, 0x75), QColor(0xff, 0xff, 0xff), QColor(0x42, 0x42, 0x42)};
    }
    return {Qt::white, Qt::black, Qt::gray};
}

QString CFixtureTile::GlyphOf(TileLook look) {
    switch (look) {
    case TileLook::Passed:
        return QStringLiteral("\u2714 "); // heavy check mark
    case TileLook::Failed:
        return QStringLiteral("\u2716 "); // heavy multiplication x
    case TileLook::Problem:
    case TileLook::Held:
        return QStringLiteral("\u26a0 "); // warning sign
    default:
        return QString();
    }
}

void CFixtureTile::SetView(const station::TileView& view) {
    const bool bButton = view.bStartButton != m_view.bStartButton;
    m_view = view;
    setAccessibleName(FromUtf8(view.strTitle + ": " + view.strState));
    setAccessibleDescription(FromUtf8(view.strDetail));
    if (bButton || m_btnStart->isVisible() != view.bStartButton)
        m_btnStart->setVisible(view.bStartButton);
    update();
}

void CFixtureTile::SetStartText(const QString& strText) {
    m_btnStart->setText(strText);
    PlaceChildren();
}

void CFixtureTile::AskSerial(bool bAsk) {
    if (bAsk == m_edtSerial->isVisible())
        return;
    m_edtSerial->clear();
    m_edtSerial->setVisible(bAsk);
    if (bAsk)
        m_edtSerial->setFocus(Qt::OtherFocusReason);
}

void CFixtureTile::resizeEvent(QResizeEvent* pEvent) {
    QFrame::resizeEvent(pEvent);
    PlaceChildren();
}

void CFixtureTile::PlaceChildren() {
    const int u = UnitFor(size());
    const int pad = static_cast<int>(kPad * u);
    const QFont small = Sized(font(), kDetail * u, false);
    m_btnStart->setFont(small);
    m_edtSerial->setFont(small);
    // The button on the last row, at the right; the field across the bar's row.
    const int h = static_cast<int>(kDetail * u * 2.0);
    const int w = std::min(width() / 2, QFontMetrics(small).horizontalAdvance(m_btnStart->text()) +
                                            static_cast<int>(1.5 * u));
    m_btnStart->setGeometry(width() - pad - w, height() - pad - h, w, h);
    const double barTop = kPad + kTitle * 1.25 + kName * 1.3 + kState * 1.25 + kDetail * 2.5;
    m_edtSerial->setGeometry(pad, static_cast<int>(barTop * u), width() - 2 * pad,
                             static_cast<int>(1.05 * u));
}

void CFixtureTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const Colours c = ColoursOf(m_view.look);
    const int u = UnitFor(size());
    const int pad = static_cast<int>(kPad * u);
    const int frame = std::max(2, u / 8);

    p.fillRect(rect(), palette().color(QPalette::Window));
    const QRectF box =
        QRectF(rect()).adjusted(frame / 2.0, frame / 2.0, -frame / 2.0, -frame / 2.0);
    p.setPen(QPen(c.frame, frame));
    p.setBrush(c.fill);
    p.drawRoundedRect(box, u / 3.0, u / 3.0);

    const int textW = width() - 2 * pad;
    double y = kPad * u;
    const auto line = [&](const QFont& f, double rowUnits, const QString& text, int flags,
                          QColor colour) {
        const int rowH = static_cast<int>(std::lround(rowUnits * u));
        p.setFont(f);
        p.setPen(colour);
        const QString shown = (flags & Qt::TextWordWrap)
                                  ? text
                                  : QFontMetrics(f).elidedText(text, Qt::ElideMiddle, textW);
        p.drawText(QRect(pad, static_cast<int>(y), textW, rowH), flags, shown);
        y += rowUnits * u;
    };

    // The fixture's counts at the right of its title: a fixture that fails again and again
    // is a fixture problem.
    const QFont countsFont = Sized(font(), kDetail * u, true);
    const QString counts = FromUtf8(m_view.strCounts);
    // A little room beyond the measured width: glyphs from a fallback font round up at 200 %.
    const int countsW =
        std::min(textW / 2, QFontMetrics(countsFont).horizontalAdvance(counts) + u / 3);
    p.setFont(countsFont);
    p.setPen(c.text);
    p.drawText(QRect(width() - pad - countsW, static_cast<int>(y), countsW,
                     static_cast<int>(kTitle * 1.25 * u)),
               Qt::AlignRight | Qt::AlignVCenter,
               QFontMetrics(countsFont).elidedText(counts, Qt::ElideRight, countsW));
    const QFont titleFont = Sized(font(), kTitle * u, true);
    p.setFont(titleFont);
    const int titleW = textW - countsW - pad / 2;
    p.drawText(
        QRect(pad, static_cast<int>(y), titleW, static_cast<int>(kTitle * 1.25 * u)),
        Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(titleFont).elidedText(FromUtf8(m_view.strTitle), Qt::ElideMiddle, titleW));
    y += kTitle * 1.25 * u;
    line(Sized(font(), kName * u, false), kName * 1.3, FromUtf8(m_view.strName),
         Qt::AlignLeft | Qt::AlignVCenter, c.text);
    const QString state = GlyphOf(m_view.look) + FromUtf8(m_view.strState);
    line(Fitted(font(), kState * u, true, state, textW), kState * 1.25, state,
         Qt::AlignLeft | Qt::AlignVCenter, c.text);
    line(Sized(font(), kDetail * u, false), kDetail * 2.5, FromUtf8(m_view.strDetail),
         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, c.text);

    // The progress bar: records sent of all, while flashing.
    if (m_view.nMax > 0) {
        const QRectF bar(pad, y + 0.2 * u, textW, 0.6 * u);
        p.setPen(QPen(c.frame, std::max(1, u / 12)));
        p.setBrush(Qt::white);
        p.drawRect(bar);
        const double share = std::clamp(static_cast<double>(m_view.nValue) / m_view.nMax, 0.0, 1.0);
        p.fillRect(QRectF(bar.left(), bar.top(), bar.width() * share, bar.height()), c.frame);
    }
    // The figures on the last row, beside the button.
    const QFont figuresFont = Sized(font(), kDetail * u, false);
    const int figuresW = m_btnStart->isVisible() ? m_btnStart->x() - pad - pad / 2 : textW;
    p.setFont(figuresFont);
    p.setPen(c.text);
    p.drawText(QRect(pad, height() - pad - static_cast<int>(kDetail * u * 2.0), figuresW,
                     static_cast<int>(kDetail * u * 2.0)),
               Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(figuresFont)
                   .elidedText(FromUtf8(m_view.strFigures), Qt::ElideRight, figuresW));

    if (hasFocus()) {
        // A frame of its own inside the border, in both black and white, on any fill.
        const QRectF f = box.adjusted(frame * 1.5, frame * 1.5, -frame * 1.5, -frame * 1.5);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::white, std::max(2, u / 10)));
        p.drawRoundedRect(f, u / 4.0, u / 4.0);
        p.setPen(QPen(Qt::black, std::max(2, u / 10), Qt::DashLine));
        p.drawRoundedRect(f, u / 4.0, u / 4.0);
    }
}

void CFixtureTile::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && rect().contains(pEvent->position().toPoint())) {
        emit transcriptRequested(m_nIndex);
        return;
    }
    QFrame::mouseReleaseEvent(pEvent);
}

void CFixtureTile::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        emit transcriptRequested(m_nIndex);
        return;
    }
    QFrame::keyPressEvent(pEvent);
}

bool CFixtureTile::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pWatched != m_edtSerial || pEvent->type() != QEvent::KeyPress)
        return QFrame::eventFilter(pWatched, pEvent);
    // Enter and Escape end the question here: passed on (as the field does with Enter) they
    // would open the transcript.
    switch (static_cast<QKeyEvent*>(pEvent)->key()) {
    case Qt::Key_Escape:
        emit serialCancelled(m_nIndex);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (const QString s = m_edtSerial->text().trimmed(); !s.isEmpty())
            emit serialEntered(m_nIndex, s);
        return true;
    default:
        return QFrame::eventFilter(pWatched, pEvent);
    }
}
