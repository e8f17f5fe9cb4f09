#pragma once
// Notices serial devices as they come and go: the entries of one directory (udev's
// /dev/serial/by-id, or by-path for the sockets of one hub) that match a pattern, watched with
// inotify. The directory need not exist yet (udev makes /dev/serial/by-id with the first
// adapter, and may remove it with the last): its nearest existing parent is watched until it
// appears, and it is watched again after it has gone.

#include <set>
#include <string>
#include <vector>

namespace fleet {

struct DeviceChange {
    bool bAppeared = false; // false: gone
    std::string strPath;    // the entry's full path (DIR/NAME)
};

class DeviceWatch {
public:
    // strPattern: an fnmatch pattern for the entries' full paths ("DIR/*" for every one).
    DeviceWatch(std::string strDir, std::string strPattern);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Starts watching; the entries already there come as appeared changes from the first
    // Read. False and strError when inotify cannot be had.
    bool Start(std::string& strError);
    // Readable when Read has something to say.
    int Fd() const { return m_fd; }
    // Takes what has happened since the last call (never blocks).
    void Read(std::vector<DeviceChange>& changes);

    const std::string& Dir() const { return m_strDir; }

private:
    void Arm(std::vector<DeviceChange>& changes);
    void Scan(std::vector<DeviceChange>& changes);
    void Appear(const std::string& strPath, std::vector<DeviceChange>& changes);
    void Vanish(const std::string& strPath, std::vector<DeviceChange>& changes);
    void DirGone(std::vector<DeviceChange>& changes);

    std::string m_strDir;
    std::string m_strPattern;
    int m_fd = -1;
    int m_dirWd = -1;    // the directory itself, once it exists
    int m_parentWd = -1; // its nearest existing parent, while it does not
    std::string m_strParent;
    std::set<std::string> m_present;
    std::vector<DeviceChange> m_initial;
};

// Splits a --match pattern into the directory to watch and the pattern for its entries'
// paths: "/dev/serial/by-path/*usb-0:1.2*" watches /dev/serial/by-path; a pattern without a
// '/' names entries of strDefaultDir. False when the directory part holds a wildcard.
bool SplitMatch(const std::string& strMatch, const std::string& strDefaultDir, std::string& strDir,
                std::string& strPattern);

} // namespace fleet
