// The records' times: the local time with its offset from UTC as digits, on both systems, also
// where the local date is another day or year than UTC's.
#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <list>
#include <string>

namespace {

// The zone for the test's time; the one before it afterwards (UTC when there was none). The
// environment keeps pointing at what putenv was given: those texts live as long as the process.
class TimeZone {
public:
    explicit TimeZone(const std::string& strZone) {
        const char* psz = std::getenv("TZ");
        m_strBefore = std::string("TZ=") + (psz ? psz : "UTC0");
        Set("TZ=" + strZone);
    }
    ~TimeZone() { Set(m_strBefore); }

private:
    static void Set(const std::string& strSetting) {
        static std::list<std::string> kept;
        kept.push_back(strSetting);
        putenv(kept.back().data());
        tzset();
    }
    std::string m_strBefore;
};

} // namespace

TEST(LocalTime, SaysTheOffsetFromUtcAsDigits) {
    struct Case {
        const char* pszZone;
        std::time_t t;
        const char* pszExpected;
    };
    const Case cases[] = {
        {"UTC0", 1765324800, "2025-12-10 00:00:00 +0000"},
        {"IST-5:30", 1765324800, "2025-12-10 05:30:00 +0530"},
        {"NST3:30", 1765324800, "2025-12-09 20:30:00 -0330"}, // the day before UTC's
        {"MSK-3", 1767218400, "2026-01-01 01:00:00 +0300"},   // the year after UTC's
    };
    for (const Case& c : cases) {
        const TimeZone zone(c.pszZone);
        EXPECT_EQ(LocalTimestamp(c.t), c.pszExpected) << c.pszZone;
    }
}
