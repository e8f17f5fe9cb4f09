#pragma once
// Notices units as their serial devices come and go: the entries of one directory (udev's
// /dev/serial/by-id, or by-path for the sockets of one hub) that match a pattern, watched with
// inotify. A unit is its device, whatever its names (fleet::DeviceKey): a second link to the
// same node (udev's usb- and usbv2- by-path links, or any other) is the same unit, a link
// renamed within the directory keeps its unit, and a unit leaves when its node goes or its
// last link does. Names beginning with '.' are never units: udev makes each link under such a
// temporary name (".#NAME" and 16 hexadecimal digits) and renames it into place.
// The directory need not exist yet (udev makes /dev/serial/by-id with the first adapter, and
// may remove it with the last): its nearest existing parent is watched until it appears, and
// it is watched again after it has gone.

#include "fleet/PortIdentity.h"

#include <map>
#include <string>
#include <vector>

namespace fleet {

struct DeviceChange {
    bool bAppeared = false; // false: gone
    std::string strPath;    // the unit's name: the entry it arrived by (DIR/NAME)
    std::string strNode;    // what that entry led to when it arrived (/dev/ttyUSB0)
};

class DeviceWatch {
public:
    // strPattern: an fnmatch pattern for the entries' full paths ("DIR/*" for every one).
    DeviceWatch(std::string strDir, std::string strPattern);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Starts watching; the units already there come as appeared changes from the first
    // Read. False and strError when inotify cannot be had.
    bool Start(std::string& strError);
    // Readable when Read has something to say.
    int Fd() const { return m_fd; }
    // Takes what has happened since the last call (never blocks).
    void Read(std::vector<DeviceChange>& changes);

    const std::string& Dir() const { return m_strDir; }

private:
    struct Entry {
        bool bResolved = false; // false: the entry leads nowhere (yet)
        DeviceKey key;
    };
    struct Unit {
        std::string strName;
        std::string strNode;
        int nEntries = 0;    // entries that lead to it now
        int nodeWd = -1;     // the watch on a device node, for its removal
        bool bMoved = false; // its last entry was renamed away in this batch
    };
    using Changes = std::vector<DeviceChange>;

    void Arm(Changes& changes);
    void Scan(Changes& changes);
    void Appear(const std::string& strPath, Changes& changes);
    void Vanish(const std::string& strPath, bool bMoved, Changes& changes);
    void Attach(const std::string& strPath, const Entry& entry, Changes& changes);
    void Detach(const Entry& entry, bool bMoved, Changes& changes);
    void Leave(std::map<DeviceKey, Unit>::iterator it, Changes& changes);
    void NodeChanged(int wd, bool bWatchGone, Changes& changes);
    // The end of a batch of events: a unit whose last entry was renamed away, and not back to
    // it, leaves; entries that led nowhere are looked at again.
    void Settle(Changes& changes);
    void DirGone(Changes& changes);

    std::string m_strDir;
    std::string m_strPattern;
    int m_fd = -1;
    int m_dirWd = -1;    // the directory itself, once it exists
    int m_parentWd = -1; // its nearest existing parent, while it does not
    std::string m_strParent;
    std::map<std::string, Entry> m_entries; // the matching entries there now
    std::map<DeviceKey, Unit> m_units;
    std::map<int, DeviceKey> m_nodeWds;
    Changes m_initial;
};

// Where the system's serial devices come from, the default directory to watch: udev's
// /dev/serial/by-id on Linux; on Windows "\\.\", the devices' namespace, where the COM ports
// that HKLM\HARDWARE\DEVICEMAP\SERIALCOMM lists are (a unit there is named by its port, COM7).
extern const char* const kSerialDeviceDir;

// Splits a --match pattern into the directory to watch and the pattern for its entries'
// paths: "/dev/serial/by-path/*usb-0:1.2*" watches /dev/serial/by-path; a pattern without a
// '/' names entries of strDefaultDir. False when the directory part holds a wildcard.
bool SplitMatch(const std::string& strMatch, const std::string& strDefaultDir, std::string& strDir,
                std::string& strPattern);

} // namespace fleet
