#pragma once
// What fleet's own parts give a station's wait (fleet::WaitItem) to wait for: a flag that
// another thread raises, and a one-shot timer. Linux: an eventfd and a timerfd
// (ReadyFlags.cpp); Windows: a manual-reset event and a manual-reset waitable timer
// (ReadyFlags_win32.cpp).

#include <chrono>
#include <string>

namespace fleet {

class ReadyFlag {
public:
    ReadyFlag() = default;
    ~ReadyFlag();
    ReadyFlag(const ReadyFlag&) = delete;
    ReadyFlag& operator=(const ReadyFlag&) = delete;

    // False and strError when the system has none to give.
    bool Create(std::string& strError);
    // Ready while raised; -1 before Create.
    int Fd() const { return m_fd; }
    void Raise(); // from any thread
    void Lower();

private:
    int m_fd = -1;
};

class ReadyTimer {
public:
    ReadyTimer() = default;
    ~ReadyTimer();
    ReadyTimer(const ReadyTimer&) = delete;
    ReadyTimer& operator=(const ReadyTimer&) = delete;

    bool Create(std::string& strError);
    // Ready once the time set has passed, until Clear or the next Set.
    int Fd() const { return m_fd; }
    // Ready after this long (at least a moment), replacing any earlier time.
    void Set(std::chrono::steady_clock::duration after);
    // Not ready, and no time set.
    void Clear();

private:
    int m_fd = -1;
};

} // namespace fleet
