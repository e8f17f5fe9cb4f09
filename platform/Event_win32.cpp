// Manual-reset events as Win32 events.
#include "platform/Event.h"

#include "platform/Win32.h"

CEvent::CEvent(bool bInitiallySet)
    : m_hEvent(CreateEventA(nullptr, TRUE, bInitiallySet, nullptr)) {}

CEvent::~CEvent() {
    if (m_hEvent)
        CloseHandle(m_hEvent);
}

bool CEvent::IsValid() const { return m_hEvent != nullptr; }

void CEvent::Set() { SetEvent(m_hEvent); }

void CEvent::Reset() { ResetEvent(m_hEvent); }

bool CEvent::IsSet() const { return Wait(0) == WAIT_OBJECT_0; }

DWORD CEvent::Wait(DWORD dwMilliseconds) const {
    const DWORD r = WaitForSingleObject(m_hEvent, dwMilliseconds);
    return r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT ? r : WAIT_FAILED;
}

DWORD WaitForEither(const CEvent& a, const CEvent& b, DWORD dwMilliseconds) {
    // With both set, WaitForMultipleObjects reports the lowest index: a wins.
    const HANDLE handles[2] = {a.Handle(), b.Handle()};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, dwMilliseconds);
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1 || r == WAIT_TIMEOUT)
        return r;
    return WAIT_FAILED;
}
