#include "app/DesktopBell.h"

#include <QApplication>
#include <QMetaObject>

void CDesktopBell::RingFromAnyThread() {
    // By name: nothing of the caller's travels with the request.
    QMetaObject::invokeMethod(this, "Ring", Qt::QueuedConnection);
}

void CDesktopBell::Ring() {
    QApplication::beep();
}
