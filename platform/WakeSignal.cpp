#include "platform/WakeSignal.h"

#include <csignal>
#include <mutex>

namespace {

constexpr int kWakeSignal = SIGUSR1;

void OnWakeSignal(int) {}

} // namespace

void InstallWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = OnWakeSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the wait must return EINTR
        sigaction(kWakeSignal, &sa, nullptr);
    });
}

int SendWakeSignal(pthread_t thread) {
    return pthread_kill(thread, kWakeSignal);
}
