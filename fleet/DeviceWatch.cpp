#include "fleet/DeviceWatch.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <iterator>
#include <set>
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

// udev's temporary names, and any other hidden entry.
bool IsHidden(const std::string& strPath) {
    const auto slash = strPath.rfind('/');
    const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
    return at >= strPath.size() || strPath[at] == '.';
}

std::string ParentOf(const std::string& strPath) {
    const auto slash = strPath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : strPath.substr(0, slash);
}

} // namespace

const char* const kSerialDeviceDir = "/dev/serial/by-id";

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

void DeviceWatch::Arm(Changes& changes) {
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

void DeviceWatch::Scan(Changes& changes) {
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
    // Entries in name order: of two names that come at once, the first names the unit.
    for (const auto& path : seen)
        Appear(path, changes);
    std::vector<std::string> gone;
    for (const auto& [path, entry] : m_entries) {
        if (!seen.count(path))
            gone.push_back(path);
    }
    for (const auto& path : gone)
        Vanish(path, false, changes);
    Settle(changes);
}

void DeviceWatch::Appear(const std::string& strPath, Changes& changes) {
    if (IsHidden(strPath) || fnmatch(m_strPattern.c_str(), strPath.c_str(), FNM_PATHNAME) != 0)
        return;
    Entry fresh;
    fresh.bResolved = GetDeviceKey(strPath, fresh.key);
    auto it = m_entries.find(strPath);
    if (it == m_entries.end()) {
        it = m_entries.emplace(strPath, fresh).first;
    } else {
        // Made again, or another link renamed over it: it may lead elsewhere now.
        if (it->second.bResolved == fresh.bResolved &&
            (!fresh.bResolved || it->second.key == fresh.key))
            return;
        Detach(it->second, false, changes);
        it->second = fresh;
    }
    Attach(strPath, it->second, changes);
}

void DeviceWatch::Vanish(const std::string& strPath, bool bMoved, Changes& changes) {
    const auto it = m_entries.find(strPath);
    if (it == m_entries.end())
        return;
    const Entry entry = it->second;
    m_entries.erase(it);
    Detach(entry, bMoved, changes);
}

void DeviceWatch::Attach(const std::string& strPath, const Entry& entry, Changes& changes) {
    if (!entry.bResolved)
        return; // looked at again after the next events
    const auto [it, bNew] = m_units.try_emplace(entry.key);
    Unit& u = it->second;
    ++u.nEntries;
    if (!bNew)
        return; // another name of a unit already here, or a rename's other half
    u.strName = strPath;
    char resolved[PATH_MAX];
    u.strNode = realpath(strPath.c_str(), resolved) ? resolved : strPath;
    if (entry.key.bDevice) {
        // The node's own removal (the adapter pulled out) may come before its links'.
        u.nodeWd = inotify_add_watch(m_fd, strPath.c_str(), IN_DELETE_SELF | IN_ATTRIB);
        if (u.nodeWd >= 0)
            m_nodeWds[u.nodeWd] = entry.key;
    }
    changes.push_back({true, u.strName, u.strNode});
}

void DeviceWatch::Detach(const Entry& entry, bool bMoved, Changes& changes) {
    if (!entry.bResolved)
        return;
    const auto it = m_units.find(entry.key);
    if (it == m_units.end() || --it->second.nEntries > 0)
        return;
    if (bMoved)
        it->second.bMoved = true; // the rename's other half may follow in this batch
    else
        Leave(it, changes);
}

void DeviceWatch::Leave(std::map<DeviceKey, Unit>::iterator it, Changes& changes) {
    const Unit& u = it->second;
    if (u.nodeWd >= 0 && m_nodeWds.erase(u.nodeWd) > 0)
        inotify_rm_watch(m_fd, u.nodeWd);
    changes.push_back({false, u.strName, u.strNode});
    m_units.erase(it);
}

void DeviceWatch::NodeChanged(int wd, bool bWatchGone, Changes& changes) {
    const auto w = m_nodeWds.find(wd);
    if (w == m_nodeWds.end())
        return;
    const DeviceKey key = w->second;
    if (bWatchGone) {
        m_nodeWds.erase(w);
        if (const auto u = m_units.find(key); u != m_units.end())
            u->second.nodeWd = -1;
    }
    // Each of the unit's entries is looked at afresh: one that leads elsewhere or nowhere now
    // no longer holds the unit.
    for (auto& [path, entry] : m_entries) {
        if (!entry.bResolved || entry.key != key)
            continue;
        Entry fresh;
        fresh.bResolved = GetDeviceKey(path, fresh.key);
        if (fresh.bResolved && fresh.key == key)
            continue;
        Detach(entry, false, changes);
        entry = fresh;
        Attach(path, entry, changes);
    }
}

void DeviceWatch::Settle(Changes& changes) {
    for (auto it = m_units.begin(); it != m_units.end();) {
        const auto next = std::next(it);
        if (it->second.bMoved && it->second.nEntries == 0)
            Leave(it, changes);
        else
            it->second.bMoved = false;
        it = next;
    }
    for (auto& [path, entry] : m_entries) {
        if (!entry.bResolved && GetDeviceKey(path, entry.key)) {
            entry.bResolved = true;
            Attach(path, entry, changes);
        }
    }
}

void DeviceWatch::DirGone(Changes& changes) {
    while (!m_entries.empty())
        Vanish(m_entries.begin()->first, false, changes);
    if (m_dirWd >= 0)
        inotify_rm_watch(m_fd, m_dirWd);
    m_dirWd = -1;
    Arm(changes);
}

void DeviceWatch::Read(Changes& changes) {
    changes.insert(changes.end(), m_initial.begin(), m_initial.end());
    m_initial.clear();
    alignas(inotify_event) char buf[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool bAny = false;
    for (;;) {
        const ssize_t n = read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bAny = true;
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
                    Vanish(m_strDir + "/" + name, (ev->mask & IN_MOVED_FROM) != 0, changes);
            } else if (ev->wd == m_parentWd && m_parentWd >= 0) {
                // A step towards the directory (or the parent itself went): look again.
                bParent = true;
            } else {
                NodeChanged(ev->wd, (ev->mask & IN_IGNORED) != 0, changes);
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
    if (bAny)
        Settle(changes);
}

} // namespace fleet
