// --on-result runs its command with /bin/sh (ResultCommand.cpp); the Windows build refuses the
// option before anything starts, so a command here is over at once and says so.
#include "fleet/ResultCommand.h"

namespace fleet {

std::vector<std::string> ResultVariables(const nlohmann::ordered_json&) {
    return {};
}

ResultCommand::ResultCommand(const std::string&, const nlohmann::ordered_json&, int nSeconds)
    : m_nSeconds(nSeconds), m_bOver(true),
      m_strFailure("the --on-result command could not be started: it needs the Linux build") {}

ResultCommand::~ResultCommand() = default;

int ResultCommand::MsLeft() const {
    return -1;
}

bool ResultCommand::Check() {
    return true;
}

void ResultCommand::RunToEnd() {}

} // namespace fleet
