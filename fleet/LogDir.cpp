#include "fleet/LogDir.h"

#include "platform/FileCompat.h"
#include "platform/PrintableText.h"
#include "platform/ProgramDir.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace fleet {

bool PrepareLogDir(const std::string& strDir, std::string& strResolved, std::string& strError) {
    std::error_code ec;
    std::filesystem::create_directories(strDir, ec);
    if (!ec && !std::filesystem::is_directory(strDir, ec))
        ec = std::make_error_code(std::errc::not_a_directory);
    if (!ec && access(strDir.c_str(), W_OK | X_OK) != 0)
        ec = std::error_code(errno, std::generic_category());
    if (ec) {
        strError =
            "cannot use the log directory " + EscapeControlChars(strDir) + ": " + ec.message();
        return false;
    }
    // Absolute, so that the records name their log files wherever they are read from.
    std::string abs = std::filesystem::absolute(strDir, ec).lexically_normal().string();
    if (ec)
        abs = strDir;
    strResolved = WithTrailingSeparator(abs);
    return true;
}

} // namespace fleet
