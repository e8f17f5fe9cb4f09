#pragma once
// The fixtures of a station, as a --ports-from file lists them: one port a line, and after it,
// if the site labels its fixtures, the label (a second column, or a comment at the line's end):
//
//   # rack A, hub on the rear left socket
//   /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0   A1
//   /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0   # A2
//
// Empty lines and lines that begin with '#' are skipped.

#include <string>
#include <string_view>
#include <vector>

namespace fleet {

struct Fixture {
    std::string strPort;  // what the fixture's sessions open
    std::string strLabel; // the fixture's name on the station ("A1"), or ""
};

// One line of the list: false for an empty or comment line. The port is the line's first word;
// the label is the rest of the line before any comment (a '#' that begins a word), or else the
// comment's text, with blanks around it removed.
bool ParseFixtureLine(std::string_view line, Fixture& fixture);

// Every fixture of the file, appended to fixtures. False and strError when the file cannot be
// read or names none.
bool ReadFixtureList(const std::string& strFile, std::vector<Fixture>& fixtures,
                     std::string& strError);

} // namespace fleet
