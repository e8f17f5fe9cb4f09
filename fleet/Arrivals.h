#pragma once
// Where a station's units come from, as one stream of arrivals and departures: serial devices
// that appear (DeviceWatch), fixed ports whose fixture raises a modem line (ModemWatch), or a
// rehearsal's simulated units (fleet/Rehearsal.h). A front end (morfw station, a window) polls
// Fds() with its other descriptors, calls Read() when one is readable, and tells the source
// when a port's session has ended.

#include "fleet/ModemWatch.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fleet {

struct Arrival {
    enum class Kind {
        Arrived,     // a unit is there: strPort is what its session opens
        Left,        // the unit has gone
        Notice,      // a remark about the port (strText), said once
        CannotWatch, // the port cannot be watched (strText says why); it stays quiet from now on
    };
    Kind kind = Kind::Arrived;
    std::string strLabel; // the port as the rows and records name it
    std::string strPort;
    std::string strNode; // the device node the unit came by, "" when there is none
    std::string strText;
};

// Whether a device node is the kernel console, which is never a unit.
using ConsoleCheck = std::function<bool(const std::string& strNode)>;

class ArrivalSource {
public:
    virtual ~ArrivalSource() = default;
    // Starts watching; the units already there come from the first Read. False and strError
    // when nothing can be watched (Read may still give the ports' reasons).
    virtual bool Start(std::string& strError) = 0;
    // The descriptors to poll for input (after Start).
    virtual std::vector<int> Fds() const = 0;
    // Takes what has happened (never blocks).
    virtual void Read(std::vector<Arrival>& arrivals) = 0;
    // The port's session has ended (a fixed port is watched again, a rehearsal's unit is taken
    // out).
    virtual void SessionEnded(const std::string& /*strLabel*/) {}
    // No more units: ends the source's threads.
    virtual void Stop() {}
    // The ports known before any unit comes (fixed ports), each shown at once.
    virtual std::vector<std::string> FixedPorts() const { return {}; }
    // What is watched, as the station's first line says it ...
    virtual std::string Describe() const = 0;
    // ... and as the "watch" field of its start object.
    virtual nlohmann::ordered_json DescribeJson() const = 0;
};

// The port a rehearsal's entry names: the file's text without the blanks around it.
std::string PortFromFile(const std::string& strPath);

// Devices that appear in strDir and match strPattern; each names its unit and is its port.
// With bPortFiles each entry is a file naming the port its unit opens (a rehearsal's
// fixtures), and the unit is named by the entry's file name.
std::unique_ptr<ArrivalSource> MakeDeviceArrivals(const std::string& strDir,
                                                  const std::string& strPattern, bool bPortFiles,
                                                  ConsoleCheck isConsole);

// Fixed ports whose fixture raises strLineName; the factory gives each port's line.
std::unique_ptr<ArrivalSource> MakeModemArrivals(const std::vector<std::string>& ports,
                                                 const std::string& strLineName,
                                                 ModemWatch::Factory factory,
                                                 ConsoleCheck isConsole);

} // namespace fleet
