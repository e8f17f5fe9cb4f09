#pragma once
// Dialog units: the layout of the dialogs is given in units of the dialog font, a quarter of its
// average character width across and an eighth of its height down, so the windows keep their
// proportions at any screen density and with any font.

#include <QFont>
#include <QRect>

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    // The base units in pixels: the average width of the letters A-Z and a-z, and the height
    // of a line of the font.
    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

    int MapX(int nDlu) const;
    int MapY(int nDlu) const;
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

private:
    int m_nBaseX;
    int m_nBaseY;
};
