// MorFWStation: the production line's window, a tile per fixture.

#include "station/StationApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return RunStationApp(argc, argv);
}
