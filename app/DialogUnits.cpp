#include "app/DialogUnits.h"

#include <QFontMetrics>

namespace {

// a * b / c, rounded half away from zero, for the non-negative values a layout uses.
int MulDiv(int a, int b, int c) {
    const long long n = static_cast<long long>(a) * b;
    return static_cast<int>(n >= 0 ? (n + c / 2) / c : (n - c / 2) / c);
}

} // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    const int nAlphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Half of the width of 26 letters, rounded: the average of all 52.
    m_nBaseX = (nAlphabet / 26 + 1) / 2;
    m_nBaseY = fm.height();
    if (m_nBaseX < 1)
        m_nBaseX = 1;
    if (m_nBaseY < 1)
        m_nBaseY = 1;
}

int CDialogUnits::MapX(int nDlu) const {
    return MulDiv(nDlu, m_nBaseX, 4);
}

int CDialogUnits::MapY(int nDlu) const {
    return MulDiv(nDlu, m_nBaseY, 8);
}

QRect CDialogUnits::MapDialogRect(int x, int y, int cx, int cy) const {
    // Both edges are mapped, so neighbouring controls meet where their units meet.
    const int nLeft = MapX(x);
    const int nTop = MapY(y);
    return QRect(nLeft, nTop, MapX(x + cx) - nLeft, MapY(y + cy) - nTop);
}
