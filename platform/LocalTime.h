#pragma once
// The local time as the records write it: "2026-12-09 14:15:03 +0100", the offset from UTC as
// digits on both systems (Windows' C runtime writes the zone's long name for %z).

#include <ctime>
#include <string>

std::string LocalTimestamp(std::time_t t);

// "+0100", "-0530": how far the local time of t is ahead of UTC.
std::string UtcOffsetText(std::time_t t);
