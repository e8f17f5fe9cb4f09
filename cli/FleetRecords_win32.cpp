// The many-unit runner and --on-result are Linux's (FleetRecords.cpp); the command line refuses
// their options on Windows before anything starts, so these only say so.

#include "cli/SessionRecord.h"

namespace cli {

std::unique_ptr<SessionRecord> AdoptUnitRecord(const std::string&, std::string& strError) {
    strError = "a unit's record of a many-unit run needs the Linux build";
    return nullptr;
}

std::string RunResultCommand(const std::string&, const nlohmann::ordered_json&, int) {
    return "--on-result needs the Linux build";
}

} // namespace cli
