#pragma once
// Helpers of the many-unit tests: those of every test that runs morfw (temporary directories,
// the small image set, files, JSON lines), transcripts compared across runs, CSV rows.

#include "../TranscriptText.h"
#include "../cli/ProgramTestSupport.h"

#include <fcntl.h>
#include <regex>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fleettest {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using programtest::JoinedLogText;
using programtest::JsonLines;
using programtest::kMorfw;
using programtest::kSampleDir;
using programtest::Lines;
using programtest::MakeSmallSet;
using programtest::ReadFile;
using programtest::TempDir;
using programtest::WriteFile;

// A transcript as two runs of one unit share it: the elapsed time and the retry marks are left
// out.
inline std::string WithoutElapsed(const std::string& log) {
    return WithoutRetryMarks(
        std::regex_replace(log, std::regex("Firmware uploaded in [0-9:]+ \\(h:mm:ss\\)"),
                           "Firmware uploaded in H:MM:SS (h:mm:ss)"));
}

// One field list per CSV row (quoted fields with commas, doubled quotes and line breaks).
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool bQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (bQuoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                bQuoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            bQuoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\r') {
        } else if (c == '\n') {
            row.push_back(field);
            field.clear();
            rows.push_back(row);
            row.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

// A pseudo-terminal: a character device whose node goes when it is closed, as a USB adapter's
// goes when it is pulled out. It has no modem lines.
class Pty {
public:
    Pty() : m_fd(posix_openpt(O_RDWR | O_NOCTTY)) {
        if (m_fd >= 0 && grantpt(m_fd) == 0 && unlockpt(m_fd) == 0)
            m_strPath = ptsname(m_fd);
    }
    ~Pty() { Close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    void Close() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    const std::string& Path() const { return m_strPath; }

private:
    int m_fd;
    std::string m_strPath;
};

} // namespace fleettest
