// Writes the station window's PNG icons (16 to 256 pixels) into the directory given, from the
// same drawing as the window's icon: morfw_station_icons station/resources/icons

#include "station/StationIcon.h"

#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: morfw_station_icons DIR\n", stderr);
        return 2;
    }
    for (const int nSize : {16, 32, 48, 64, 128, 256}) {
        const QString path =
            QString::fromLocal8Bit(argv[1]) + QStringLiteral("/MorFWStation-%1.png").arg(nSize);
        if (!PaintStationIcon(nSize).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
