#include "fleet/ReadyFlags.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace fleet {

ReadyFlag::~ReadyFlag() {
    if (m_fd >= 0)
        close(m_fd);
}

bool ReadyFlag::Create(std::string& strError) {
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0)
        strError = std::string("eventfd: ") + std::strerror(errno);
    return m_fd >= 0;
}

void ReadyFlag::Raise() {
    const std::uint64_t one = 1;
    const ssize_t n = write(m_fd, &one, sizeof one);
    (void)n; // a full counter still reads as readable
}

void ReadyFlag::Lower() {
    std::uint64_t count = 0;
    const ssize_t n = read(m_fd, &count, sizeof count);
    (void)n;
}

ReadyTimer::~ReadyTimer() {
    if (m_fd >= 0)
        close(m_fd);
}

bool ReadyTimer::Create(std::string& strError) {
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        strError = std::string("timerfd: ") + std::strerror(errno);
    return m_fd >= 0;
}

void ReadyTimer::Set(std::chrono::steady_clock::duration after) {
    const auto ns =
        std::max<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(after).count(), 1);
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    timerfd_settime(m_fd, 0, &spec, nullptr);
}

void ReadyTimer::Clear() {
    const itimerspec off{};
    timerfd_settime(m_fd, 0, &off, nullptr);
    std::uint64_t expirations = 0;
    const ssize_t n = read(m_fd, &expirations, sizeof expirations);
    (void)n;
}

} // namespace fleet
