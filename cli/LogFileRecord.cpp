#include "cli/SessionRecord.h"

#include "fleet/Progress.h"
#include "platform/FileCompat.h"
#include "platform/PrintableText.h"
#include "platform/WriteAll.h"

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

bool ReadAllFrom(int fd, std::string& text) {
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    char buf[65536];
    for (;;) {
        const auto n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace

LogFileRecord::~LogFileRecord() {
    // A record that was never finished stays in its part file.
    if (m_partFd >= 0)
        close(m_partFd);
    if (m_fd >= 0)
        close(m_fd);
}

bool LogFileRecord::Open(const std::string& strPath, std::string& strError) {
    m_strPath = strPath;
    m_fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_BINARY, 0644);
    if (m_fd < 0) {
        strError = std::strerror(errno);
        return false;
    }
    struct stat st {};
    m_bWhole = fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!m_bWhole)
        return true;
    const std::string base = strPath + "." + std::to_string(getpid());
    for (int n = 1; n <= 9 && m_partFd < 0; ++n) {
        m_strPartPath = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".part";
        m_partFd =
            open(m_strPartPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_BINARY, 0644);
        if (m_partFd < 0 && errno != EEXIST)
            break;
    }
    if (m_partFd < 0)
        m_strPartPath.clear(); // a directory only the log file may be written in: kept in memory
    return true;
}

bool LogFileRecord::Failed(const std::string& strReason) {
    if (m_strError.empty()) {
        m_strError = "cannot write the log file " + EscapeControlChars(m_strPath) + ": " +
                     strReason + "; the record of this upload is incomplete";
    }
    return false;
}

bool LogFileRecord::Write(std::string_view text) {
    if (m_fd < 0 || !m_strError.empty())
        return true;
    if (m_bWhole && m_partFd < 0) {
        m_strMemory.append(text);
        return true;
    }
    if (WriteAll(m_bWhole ? m_partFd : m_fd, text))
        return true;
    return Failed(std::strerror(errno));
}

std::string LogFileRecord::Finish(const RecordOutcome& outcome) {
    if (m_fd < 0)
        return {};
    const std::string strBefore = m_strError;
    // As it was written before: written as it comes, a record that lost a write ends there.
    if (!m_bWhole && !m_strError.empty())
        return {};
    ExitCode code = outcome.code;
    std::string strDetail = outcome.strDetail;
    if (code == ExitCode::Success && !m_strError.empty()) {
        code = ExitCode::LogFile;
        strDetail = m_strError;
    }
    const std::string line = "---- result: " + std::string(StatusName(code)) + ", exit code " +
                             std::to_string(ToInt(code)) + ", elapsed " +
                             fleet::FormatDuration(outcome.dElapsed) +
                             (strDetail.empty() ? std::string() : ", " + strDetail) + "\n";
    if (!m_bWhole) {
        if (!WriteAll(m_fd, line))
            Failed(std::strerror(errno));
    } else {
        std::string text = m_strMemory;
        if (m_partFd >= 0 && !ReadAllFrom(m_partFd, text))
            Failed(std::strerror(errno));
        text += line;
        if (AppendWhole(m_fd, text)) {
            if (m_partFd >= 0) {
                close(m_partFd);
                m_partFd = -1;
                unlink(m_strPartPath.c_str());
                m_strPartPath.clear();
            }
        } else {
            const std::string reason = std::strerror(errno);
            // Nothing lost: the part file keeps the whole record, its result line too.
            if (m_partFd >= 0 && WriteAll(m_partFd, line) && m_strError.empty()) {
                m_strError = "cannot write the log file " + EscapeControlChars(m_strPath) + ": " +
                             reason + "; the record of this upload is kept in " +
                             EscapeControlChars(m_strPartPath);
            }
            Failed(reason);
        }
    }
    close(m_fd);
    m_fd = -1;
    return strBefore.empty() ? m_strError : std::string();
}

void LogFileRecord::Describe(nlohmann::ordered_json& result) const {
    result["log_file"] = m_strPath;
}

} // namespace cli
