// MorFWUpload: the desktop dialog that uploads firmware to a Morvane 2000 unit.

#include "app/MorFWUploadApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    CMorFWUploadApp theApp;
    return theApp.InitInstance(argc > 0 ? argv[0] : nullptr);
}
