#include "platform/LocalTime.h"

#include <cstdio>
#include <cstdlib>

namespace {
void Split(std::time_t t, std::tm& local, std::tm& utc) {
    localtime_r(&t, &local);
    gmtime_r(&t, &utc);
}
} // namespace

std::string UtcOffsetText(std::time_t t) {
    std::tm local{}, utc{};
    Split(t, local, utc);
    // The two readings of one moment differ by the offset; at most a day apart.
    int nDays = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year)
        nDays = local.tm_year > utc.tm_year ? 1 : -1;
    const long nSeconds =
        nDays * 86400L + (local.tm_hour - utc.tm_hour) * 3600L + (local.tm_min - utc.tm_min) * 60L;
    const long nMinutes = std::labs(nSeconds) / 60;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02ld%02ld", nSeconds < 0 ? '-' : '+', nMinutes / 60,
                  nMinutes % 60);
    return buf;
}

std::string LocalTimestamp(std::time_t t) {
    std::tm local{}, utc{};
    Split(t, local, utc);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
    return buf + UtcOffsetText(t);
}
