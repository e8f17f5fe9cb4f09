#pragma once
// The clock seam: the session and the stages reach time only through this interface, so that
// their tests can run them on a virtual clock. Production uses CSystemClock.

#include "platform/Types.h"

#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;

    // A plain pause of the calling thread (the stages' pauses and their 1 ms polls).
    virtual void Sleep(DWORD dwMilliseconds) = 0;

    // A monotonic reading in 100-ns units from an arbitrary origin. Only differences mean
    // anything; setting the system time does not move it.
    virtual std::int64_t GetMonotonicTime() = 0;
};

// The real time: the platform's Sleep and the steady clock.
class CSystemClock final : public IClock {
public:
    void Sleep(DWORD dwMilliseconds) override;
    std::int64_t GetMonotonicTime() override;

    // One instance serves every session.
    static CSystemClock& Instance();
};
