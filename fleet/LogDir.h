#pragma once
// The directory a station or a batch keeps its records in.

#include <string>

namespace fleet {

// Makes the log directory when it is missing (with its parents) and checks that files can be
// made in it. strResolved is its absolute path, ending in a separator. False and strError otherwise.
bool PrepareLogDir(const std::string& strDir, std::string& strResolved, std::string& strError);

} // namespace fleet
