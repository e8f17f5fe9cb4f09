#pragma once
// The exit codes of morfw. Scripts and production lines branch on them, so they never change
// meaning; the manual page and the README list them.

namespace cli {

enum class ExitCode : int {
    Success = 0,      // the upload (or the check) succeeded; "ports" always ends here
    UploadFailed = 1, // a stage ran out of retries or got a wrong reply
    Usage = 2,        // the command line was wrong (or the log file could not be opened)
    Port = 3,         // no usable port: it could not be opened, or none was named or found
    Images = 4,       // the image set is missing or invalid
    Cancelled = 5,    // the operator cancelled (Ctrl-C, SIGTERM or SIGHUP)
    LogFile = 6,      // the upload succeeded, but the --log file could not be written in full
};

inline constexpr int ToInt(ExitCode code) {
    return static_cast<int>(code);
}

// The word that JSON results and the log file's result line use for each code.
inline constexpr const char* StatusName(ExitCode code) {
    switch (code) {
    case ExitCode::Success:
        return "success";
    case ExitCode::UploadFailed:
        return "failed";
    case ExitCode::Usage:
        return "usage";
    case ExitCode::Port:
        return "port";
    case ExitCode::Images:
        return "images";
    case ExitCode::Cancelled:
        return "cancelled";
    case ExitCode::LogFile:
        return "log_file";
    }
    return "failed";
}

} // namespace cli
