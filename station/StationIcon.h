#pragma once
// The station window's icon, drawn in code (the same drawing as resources/MorFWStation.svg):
// the window takes it at any size, and morfw_station_icons writes the PNG files the desktop
// entry's icon theme installs.

#include <QImage>

QImage PaintStationIcon(int nSize);
