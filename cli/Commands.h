#pragma once
// The commands of morfw, each returning its exit code.

#include "fleet/RecordSettings.h"

#include <string>
#include <vector>

class CSerialPort;
struct SerialPortInfo;

namespace cli {

struct UploadOptions {
    std::string strPort;     // the port box's text, used as given (an empty name included)
    bool bPortGiven = false; // false: the one port the system lists
    std::string strImages;   // empty: "MorFWImg/" beside the program
    bool bSlow = false;
    bool bRelaxed = false;
    std::string strLogFile; // empty: none
    bool bJson = false;
    bool bQuiet = false;
    bool bTrace = false;
    // Several units at once (morfw upload with more than one port, --ports-from, --log-dir).
    std::vector<std::string> ports; // every --port and the names of --ports-from, in order
    std::string strLogDir;          // empty: no per-unit records
    // --station (empty: this machine's name), --operator, --work-order, --on-result.
    fleet::RecordSettings trace;
    // A unit of a many-unit run: the record its runner handed over (--unit-record), or "".
    std::string strUnitRecord;
};

// morfw station: units flashed as they arrive, until Ctrl-C.
struct StationOptions {
    UploadOptions upload; // the sessions' options, the output form, strLogDir ("": ./morfw-logs)
    std::string strMatch; // the devices that count as units (a glob); "": every by-id link
    std::string strPortsFrom; // fixed adapters ...
    std::string strStartOn;   // ... and the modem line their fixture raises: dcd, dsr, cts
    std::string strRehearse;  // simulated fixtures instead: "N[,seed=S][,fail=K][,gap=S][,dir=D]"
};

struct CheckOptions {
    std::string strImages;
    bool bJson = false;
};

struct PortsOptions {
    bool bJson = false;
};

struct DoctorOptions {
    std::string strPort;
    bool bPortGiven = false; // false: the one port the system lists
    bool bLoopback = false;  // a loopback plug is on the port
    bool bSlow = false;      // judge for Slow Mode too
    bool bJson = false;
};

int RunUpload(const UploadOptions& options);
// An upload to every port of options.ports at once, one session each.
int RunFleetUpload(const UploadOptions& options);
// The station.
int RunStation(const StationOptions& options);
int RunCheck(const CheckOptions& options);
int RunPorts(const PortsOptions& options);
// Checks a port for an upload: 0 it can carry one, 1 a problem makes it fail, 3 the port
// cannot be opened, 5 cancelled.
int RunDoctor(const DoctorOptions& options);

// The image directory the commands use: --images as given (with a '/' added), or "MorFWImg/"
// in the directory of the running program file, the same rule as the window's.
std::string ResolveImageDir(const std::string& strImages);

// The ports a port object lists (the dialog's list), in its order, with their details.
std::vector<SerialPortInfo> ListPorts(const CSerialPort& port);

// The port an upload without --port uses: the one port listed that is not the kernel console.
// With none or several, false and strError says so, naming them.
bool ChooseDefaultPort(const std::vector<SerialPortInfo>& ports, std::string& strPort,
                       std::string& strError);

// The names of a port list file: one a line, blanks around a name ignored, empty lines and
// lines beginning with '#' skipped. False and strError when it cannot be read or names none.
bool ReadPortList(const std::string& strFile, std::vector<std::string>& ports,
                  std::string& strError);

// The program's version, "morfw X.Y.Z".
const char* VersionText();

// The command line as the log file's header repeats it: the options that were set.
std::string DescribeOptions(const UploadOptions& options);

} // namespace cli
