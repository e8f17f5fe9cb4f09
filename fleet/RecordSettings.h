#pragma once
// Who flashed the units, for which work order, at which station, and what is to happen with
// each unit's result. Every front end fills this from its own inputs (morfw's --operator,
// --work-order, --station and --on-result; a window's fields) and hands it on unchanged: the
// log headers, results.csv and the JSON results carry the names, the runner runs the command.
// Header-only: the single-port upload uses it on both systems.

#include "platform/PrintableText.h"

#include <string>

namespace fleet {

struct RecordSettings {
    std::string strOperator;  // "" when not given
    std::string strWorkOrder; // "" when not given
    std::string strStation;   // "" when not given; the front ends put this machine's name here
    // A shell command run once per finished unit with the unit's JSON result object on its
    // standard input and the main fields in MORFW_* variables; "" for none.
    std::string strOnResult;
    // How long it may run before it is ended (and recorded as having hung).
    int nOnResultSeconds = 30;
};

// The log headers' line of these names and a unit's serial number (given per unit by a window;
// "" when not given), each "none" when empty and with control characters escaped:
// "---- station bench-3, operator Ann Lee, work order WO-4711, serial none".
inline std::string TraceabilityLine(const RecordSettings& s, const std::string& strSerial) {
    const auto name = [](const std::string& v) {
        return v.empty() ? std::string("none") : EscapeControlChars(v);
    };
    return "---- station " + name(s.strStation) + ", operator " + name(s.strOperator) +
           ", work order " + name(s.strWorkOrder) + ", serial " + name(strSerial);
}

} // namespace fleet
