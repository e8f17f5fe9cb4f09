#pragma once
// Manual-reset events. On Linux each event is an eventfd, so a thread can wait on an event and
// on a file descriptor together (the serial threads wait on the line and on their stop event at
// once); on Windows each is a Win32 event (CreateEventA), waited on with the line's overlapped
// I/O events (Event_win32.cpp).

#include "platform/Types.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

class CEvent {
public:
    explicit CEvent(bool bInitiallySet = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // False when the system refused to create the event (out of descriptors or handles).
    bool IsValid() const;

    void Set();
    void Reset();
    bool IsSet() const;

    // WAIT_OBJECT_0 when set (now or within the time), WAIT_TIMEOUT, or WAIT_FAILED.
    DWORD Wait(DWORD dwMilliseconds) const;

#if defined(_WIN32)
    // The event's handle, for WaitForMultipleObjects with other handles.
    void* Handle() const { return m_hEvent; }

private:
    void* m_hEvent;
#else
    // The descriptor is readable exactly while the event is set.
    int Fd() const { return m_fd; }

private:
    int m_fd;
#endif
};

// Waits for the first of two events: WAIT_OBJECT_0 (a), WAIT_OBJECT_0 + 1 (b), WAIT_TIMEOUT or
// WAIT_FAILED. When both are set, a wins.
DWORD WaitForEither(const CEvent& a, const CEvent& b, DWORD dwMilliseconds);

#if !defined(_WIN32)
// Waits for an event or for poll events on a descriptor. Returns WAIT_OBJECT_0 for the event
// (which wins when both are ready), WAIT_OBJECT_0 + 1 for the descriptor (its revents stored in
// *pRevents), WAIT_TIMEOUT or WAIT_FAILED. A negative fd is ignored, as poll does.
DWORD WaitEventOrFd(const CEvent& ev, int fd, short events, DWORD dwMilliseconds,
                    short* pRevents = nullptr);

// poll() on a set of descriptors with a DWORD time-out (INFINITE allowed), retried on EINTR
// with the remaining time. Returns poll's result.
int PollFor(pollfd* fds, int nfds, DWORD dwMilliseconds);
#endif
