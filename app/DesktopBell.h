#pragma once
// The desktop's bell, rung from any thread: the ring is queued to the bell's own (the window's)
// thread, and the caller goes on at once.

#include <QObject>

class CDesktopBell : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    void RingFromAnyThread();

private:
    Q_INVOKABLE void Ring();
};
