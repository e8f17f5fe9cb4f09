// Windows tells of a COM port's arrival through the registry (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which Wine fills from HKLM\Software\Wine\Ports) and of a file's through the directory: both
// are read every kPollPeriod and compared with what was there, which sees a USB adapter come and
// go within that time and needs no window for the system's device notifications. A waitable
// timer makes the station's wait come back for the next look. A unit in the devices' namespace
// (kSerialDeviceDir) is named by its port ("COM7"); a file by its path, as on Linux.
#include "fleet/DeviceWatch.h"

#include "fleet/WaitItem.h"
#include "serial/PortDiscovery.h"

#include "platform/Win32.h"

#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>

namespace fleet {

const char* const kSerialDeviceDir = "\\\\.\\";

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(300);

std::string LastPart(const std::string& strPath) {
    const auto sep = strPath.find_last_of("/\\");
    return sep == std::string::npos ? strPath : strPath.substr(sep + 1);
}

// The pattern's '*' and '?' over a name, letters in either case (Windows' names are so).
bool Matches(const char* p, const char* s) {
    for (; *p; ++p, ++s) {
        if (*p == '*') {
            for (const char* t = s;; ++t) {
                if (Matches(p + 1, t))
                    return true;
                if (!*t)
                    return false;
            }
        }
        if (!*s || (*p != '?' && std::tolower(static_cast<unsigned char>(*p)) !=
                                     std::tolower(static_cast<unsigned char>(*s))))
            return false;
    }
    return !*s;
}

} // namespace

DeviceWatch::DeviceWatch(std::string strDir, std::string strPattern)
    : m_strDir(std::move(strDir)), m_strPattern(std::move(strPattern)) {
    while (m_strDir.size() > 1 && m_strDir != kSerialDeviceDir &&
           (m_strDir.back() == '/' || m_strDir.back() == '\\'))
        m_strDir.pop_back();
}

DeviceWatch::~DeviceWatch() {
    if (m_fd != -1)
        CloseHandle(HandleOfWait(m_fd));
}

bool DeviceWatch::Start(std::string& strError) {
    const HANDLE hTimer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    if (!hTimer) {
        strError = "CreateWaitableTimer: error " + std::to_string(GetLastError());
        return false;
    }
    m_fd = WaitHandleOf(hTimer);
    Scan(m_initial);
    return true;
}

void DeviceWatch::Scan(Changes& changes) {
    const std::string strWanted = LastPart(m_strPattern);
    // Each entry there now and what it is: a file made again under the same name since the last
    // look (a unit taken out and the next put in) is another one.
    std::map<std::string, Entry> seen;
    if (m_strDir == kSerialDeviceDir) {
        for (const auto& port : EnumerateSerialPorts()) {
            if (Matches(strWanted.c_str(), port.strDevice.c_str()))
                seen[port.strDevice] = Entry{true, {}};
        }
    } else {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(m_strDir, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            // Names beginning with '.' are written aside and renamed into place.
            if (name.empty() || name[0] == '.' || !Matches(strWanted.c_str(), name.c_str()))
                continue;
            std::error_code ecFile;
            const auto written = it->last_write_time(ecFile).time_since_epoch().count();
            const auto size = it->file_size(ecFile);
            seen[m_strDir + "/" + name] = Entry{true,
                                                {false, static_cast<unsigned long long>(size),
                                                 static_cast<unsigned long long>(written)}};
        }
    }
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const auto now = seen.find(it->first);
        if (now == seen.end() || now->second.key != it->second.key) {
            changes.push_back({false, it->first, it->first});
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [path, entry] : seen) {
        if (m_entries.emplace(path, entry).second)
            changes.push_back({true, path, path});
    }
    // The next look.
    LARGE_INTEGER due;
    due.QuadPart = -std::chrono::duration_cast<std::chrono::nanoseconds>(kPollPeriod).count() / 100;
    SetWaitableTimer(HandleOfWait(m_fd), &due, 0, nullptr, nullptr, FALSE);
}

void DeviceWatch::Read(std::vector<DeviceChange>& changes) {
    changes.insert(changes.end(), m_initial.begin(), m_initial.end());
    m_initial.clear();
    if (WaitForSingleObject(HandleOfWait(m_fd), 0) == WAIT_OBJECT_0)
        Scan(changes);
}

} // namespace fleet
