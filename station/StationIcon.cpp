#include "station/StationIcon.h"

#include <QPainter>
#include <QPolygonF>

QImage PaintStationIcon(int nSize) {
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(nSize / 256.0, nSize / 256.0);
    p.setPen(Qt::NoPen);
    // The frame of the dialog's icon, with four fixtures in it: two passed, one failed, one
    // being flashed.
    p.setBrush(QColor(0x2c, 0x5d, 0x8f));
    p.drawRoundedRect(QRectF(16, 16, 224, 224), 36, 36);
    const struct {
        double x, y;
        QColor fill;
    } tiles[] = {{40, 40, QColor(0x43, 0xa0, 0x47)},
                 {136, 40, QColor(0x43, 0xa0, 0x47)},
                 {40, 136, QColor(0xe5, 0x39, 0x35)},
                 {136, 136, QColor(0xe8, 0xf0, 0xf8)}};
    for (const auto& t : tiles) {
        p.setBrush(t.fill);
        p.drawRoundedRect(QRectF(t.x, t.y, 80, 80), 12, 12);
    }
    p.setBrush(QColor(0xe0, 0x7a, 0x10));
    p.drawPolygon(QPolygonF(
        {{176, 148}, {204, 180}, {186, 180}, {186, 204}, {166, 204}, {166, 180}, {148, 180}}));
    return image;
}
