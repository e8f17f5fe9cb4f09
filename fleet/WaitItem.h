#pragma once
// What a caller adds to the runner's wait (fleet::Runner::Wait) beside the sessions, and what a
// station's source of units gives to be waited for: on Linux a descriptor polled for input (a
// pollfd: a signalfd, an inotify descriptor, a timerfd); on Windows a handle that can be waited
// for (an event, a waitable timer, a change notification) carried as its number, which the
// system keeps within 32 bits (WaitHandleOf, HandleOfWait). -1 stands for none.

#if defined(_WIN32)
#include <cstdint>
namespace fleet {
struct WaitItem {
    int fd = -1;
    short events = 0;
    short revents = 0; // non-zero once the handle was found signalled
};
inline constexpr short kWaitInput = 1;
// A handle as a wait item's number and back.
inline int WaitHandleOf(void* h) {
    return h ? static_cast<int>(reinterpret_cast<std::intptr_t>(h)) : -1;
}
inline void* HandleOfWait(int fd) {
    return fd == -1 ? nullptr : reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
}
} // namespace fleet
#else
#include <poll.h>
namespace fleet {
using WaitItem = pollfd;
inline constexpr short kWaitInput = POLLIN;
} // namespace fleet
#endif

namespace fleet {
// An item that waits for input on fd (or, on Windows, for the handle fd to be signalled).
inline WaitItem WaitFor(int fd) {
    WaitItem item{};
    item.fd = fd;
    item.events = kWaitInput;
    return item;
}
} // namespace fleet
