#include "fleet/DeviceWatch.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fleet {

namespace {

constexpr std::uint32_t DIR_EVENTS = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM |
                                     IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t PARENT_EVENTS =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsDir(const std::string& strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& strPath) {
    const auto slash = strPath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : strPath.substr(0, slash);
}

} // namespace

bool SplitMatch(const std::string& strMatch, const std::string& strDefaultDir, std::string& strDir,
                std::string& strPattern) {
    const auto slash = strMatch.rfind('/');
    if (slash == std::string::npos) {
        strDir = strDefaultDir;
        strPattern = strDefaultDir + "/" + strMatch;
        return true;
    }
    strDir = slash == 0 ? "/" : strMatch.substr(0, slash);
    strPattern = strMatch;
    return strDir.find_first_of("*?[") == std::string::npos;
}

DeviceWatch::DeviceWatch(std::string strDir, std::string strPattern)
    : m_strDir(std::move(strDir)), m_strPattern(std::move(strPattern)) {
    while (m_strDir.size() > 1 && m_strDir.back() == '/')
        m_strDir.pop_back();
}

DeviceWatch::~DeviceWatch() {
    if (m_fd >= 0)
        close(m_fd);
}

bool DeviceWatch::Start(std::string& strError) {
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        strError = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    Arm(m_initial);
    return true;
}

void DeviceWatch::Arm(std::vector<DeviceChange>& changes) {
    // The directory when it exists; otherwise the nearest parent that does, for its creation.
    if (m_parentWd >= 0) {
        inotify_rm_watch(m_fd, m_parentWd);
        m_parentWd = -1;
    }
    m_dirWd = inotify_add_watch(m_fd, m_strDir.c_str(), DIR_EVENTS);
    if (m_dirWd >= 0) {
        // Entries made before the watch was in place are found by looking.
        Scan(changes);
        return;
    }
    std::string parent = ParentOf(m_strDir);
    while (!IsDir(parent) && parent != "/")
        parent = ParentOf(parent);
    m_strParent = parent;
    m_parentWd = inotify_add_watch(m_fd, parent.c_str(), PARENT_EVENTS);
    // It may have appeared between the two calls.
    if (IsDir(m_strDir))
        Arm(changes);
}

void DeviceWatch::Scan(std::vector<DeviceChange>& changes) {
    DIR* pDir = opendir(m_strDir.c_str());
    if (!pDir)
        return;
    std::set<std::string> seen;
    while (const dirent* pEnt = readdir(pDir)) {
        const std::string name = pEnt->d_name;
        if (name != "." && name != "..")
            seen.insert(m_strDir + "/" + name);
    }
    closedir(pDir);
    for (const auto& path : seen)
        Appear(path, changes);
    for (auto it = m_present.begin(); it != m_present.end();) {
        const std::string path = *it++;
        if (!seen.count(path))
            Vanish(path, changes);
    }
}

void DeviceWatch::Appear(const std::string& strPath, std::vector<DeviceChange>& changes) {
    if (fnmatch(m_strPattern.c_str(), strPath.c_str(), FNM_PATHNAME) != 0)
        return;
    if (m_present.insert(strPath).second)
        changes.push_back({true, strPath});
}

void DeviceWatch::Vanish(const std::string& strPath, std::vector<DeviceChange>& changes) {
    if (m_present.erase(strPath) > 0)
        changes.push_back({false, strPath});
}

void DeviceWatch::DirGone(std::vector<DeviceChange>& changes) {
    while (!m_present.empty())
        Vanish(*m_present.begin(), changes);
    if (m_dirWd >= 0)
        inotify_rm_watch(m_fd, m_dirWd);
    m_dirWd = -1;
    Arm(changes);
}

void DeviceWatch::Read(std::vector<DeviceChange>& changes) {
    changes.insert(changes.end(), m_initial.begin(), m_initial.end());
    m_initial.clear();
    alignas(inotify_event) char buf[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bool bDirGone = false;
        bool bParent = false;
        bool bOverflow = false;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            const std::string name = ev->len > 0 ? ev->name : "";
            if (ev->mask & IN_Q_OVERFLOW) {
                bOverflow = true;
            } else if (ev->wd == m_dirWd && m_dirWd >= 0) {
                if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                    bDirGone = true;
                else if (ev->mask & (IN_CREATE | IN_MOVED_TO))
                    Appear(m_strDir + "/" + name, changes);
                else if (ev->mask & (IN_DELETE | IN_MOVED_FROM))
                    Vanish(m_strDir + "/" + name, changes);
            } else if (ev->wd == m_parentWd && m_parentWd >= 0) {
                // A step towards the directory (or the parent itself went): look again.
                bParent = true;
            }
        }
        // The directory went (perhaps made again already): its entries are gone, and whatever
        // is there now is found afresh.
        if (bDirGone)
            DirGone(changes);
        else if (bParent && m_dirWd < 0)
            Arm(changes);
        if (bOverflow && m_dirWd >= 0)
            Scan(changes); // events were lost: the directory itself says what is there
    }
}

} // namespace fleet
