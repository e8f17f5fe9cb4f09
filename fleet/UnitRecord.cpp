#include "fleet/UnitRecord.h"

#include "fleet/Progress.h"
#include "image/FileImg.h"
#include "image/Sha256.h"
#include "platform/FileCompat.h"
#include "platform/LocalTime.h"
#include "platform/PrintableText.h"
#include "platform/ProgramDir.h"
#include "platform/WriteAll.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace fleet {

namespace {

std::string LocalTime(std::time_t t, const char* pszFormat) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, pszFormat, &tm);
    return buf;
}

std::string OrNone(const std::string& s) {
    return s.empty() ? "none" : EscapeControlChars(s);
}

// The revision, and in strNote why it is the default (empty when it is not).
std::string ReadRevision(const std::string& strImageDir, std::string& strNote) {
    std::string strIni;
    bool bMissing = false;
    if (ResolveImagePath(strImageDir, FILEIMG_INI, strIni, &strNote, &bMissing) != S_OK) {
        if (bMissing)
            strNote = std::string(FILEIMG_INI) + " not found";
        return "Unspecified";
    }
    return ReadFirmwareRevision(strIni, &strNote);
}

std::string ElapsedSeconds(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", std::max(0.0, d));
    return buf;
}

} // namespace

std::string LogFileName(const std::string& strPort, long long nUnixTime) {
    std::string name = strPort;
    if (name.starts_with("/")) {
        const auto slash = name.rfind('/');
        name = name.substr(slash + 1);
    }
    for (char& c : name) {
        const bool bKeep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '=';
        if (!bKeep)
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        name = "port";
    if (name.size() > 80)
        name.resize(80);
    return LocalTime(static_cast<std::time_t>(nUnixTime), "%Y%m%d-%H%M%S") + "_" + name + ".log";
}

std::string CsvField(std::string_view text) {
    const bool bQuote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                        (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!bQuote)
        return std::string(text);
    std::string s = "\"";
    for (const char c : text) {
        if (c == '"')
            s += '"';
        s += c;
    }
    return s + "\"";
}

std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += CsvField(fields[i]);
    }
    return row + "\r\n";
}

std::string SafeCell(std::string_view text) {
    std::string cell = EscapeControlChars(text);
    if (!cell.empty() && std::string_view("=+-@").find(cell.front()) != std::string_view::npos)
        cell.insert(0, 1, '\'');
    return cell;
}

const std::string& ResultsCsvHeader() {
    // New columns go at the end: readers of the older files count columns from the left.
    static const std::string header =
        CsvRow({"time", "host", "port", "stable_name", "adapter_serial", "revision",
                "images_sha256", "result", "exit_code", "elapsed_s", "retries", "message",
                "log_file", "station", "operator", "work_order", "serial"});
    return header;
}

bool AppendCsvRow(const std::string& strPath, const std::string& strHeaderRow,
                  const std::string& strRow, std::string& strError) {
    const int fd =
        open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_BINARY, 0644);
    if (fd < 0) {
        strError = std::strerror(errno);
        return false;
    }
    // Another run may append at the same moment: the file's lock makes "empty? then the
    // header" and the row one step, and the row goes out whole.
    bool bOk = AppendWhole(fd, strRow, strHeaderRow);
    if (!bOk)
        strError = std::strerror(errno);
    if (close(fd) != 0 && bOk) {
        strError = std::strerror(errno);
        bOk = false;
    }
    return bOk;
}

UnitRecord::~UnitRecord() {
    if (m_fd >= 0)
        close(m_fd);
}

bool UnitRecord::Open(const std::string& strDir, const UnitState& unit, const RecordContext& ctx,
                      std::string& strError) {
    m_strDir = WithTrailingSeparator(strDir);
    m_strHost = ctx.strHost;
    m_trace = ctx.trace;
    m_strLabel = unit.strLabel;
    m_strStableName = unit.strStableName;
    m_strAdapterSerial = unit.strAdapterSerial;
    m_strSerial = unit.strSerial;
    const std::time_t now = std::time(nullptr);
    m_strStartTime = LocalTimestamp(now);
    const std::string base = LogFileName(unit.strLabel, now);
    // Two units of one port in one second (a unit plugged in again at once): a suffix. Opened
    // for appending, as the session appends to it too; readable, to see how it ends.
    for (int n = 1; n < 100 && m_fd < 0; ++n) {
        m_strPath =
            m_strDir +
            (n == 1 ? base : base.substr(0, base.size() - 4) + "-" + std::to_string(n) + ".log");
        m_fd = open(m_strPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_BINARY,
                    0644);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        strError = "cannot create a log file in " + EscapeControlChars(m_strDir) + ": " +
                   std::strerror(errno);
        m_strPath.clear();
        return false;
    }
    std::string strRevisionNote;
    m_strRevision = ReadRevision(ctx.strImageDir, strRevisionNote);
    const auto digests = DigestImageSet(ctx.strImageDir);
    m_strSetDigest = DigestOfSet(digests);
    const std::string header =
        "---- " + ctx.strVersion + ", " + m_strStartTime + ", host " + OrNone(ctx.strHost) + "\n" +
        TraceabilityLine(m_trace, m_strSerial) + "\n---- port " +
        EscapeControlChars(unit.strLabel) +
        (unit.strPort != unit.strLabel ? " (opened as " + EscapeControlChars(unit.strPort) + ")"
                                       : std::string()) +
        ", stable name " + OrNone(unit.strStableName) + ", adapter serial " +
        OrNone(unit.strAdapterSerial) + "\n---- images " + EscapeControlChars(ctx.strImageDir) +
        ", revision " + EscapeControlChars(m_strRevision) +
        (strRevisionNote.empty() ? std::string() : " (" + strRevisionNote + ")") +
        ", options: " + ctx.strOptions + "\n---- sha256 " + DescribeDigests(digests) +
        "\n---- sha256 of the set " +
        (m_strSetDigest.empty() ? std::string("none (a file is unreadable)") : m_strSetDigest) +
        "\n";
    Write(header);
    return true;
}

std::string UnitRecord::Handoff() const {
    return nlohmann::json{{"log_file", m_strPath},
                          {"dir", m_strDir},
                          {"time", m_strStartTime},
                          {"host", m_strHost},
                          {"port", m_strLabel},
                          {"stable_name", m_strStableName},
                          {"adapter_serial", m_strAdapterSerial},
                          {"serial", m_strSerial},
                          {"revision", m_strRevision},
                          {"images_sha256", m_strSetDigest},
                          {"station", m_trace.strStation},
                          {"operator", m_trace.strOperator},
                          {"work_order", m_trace.strWorkOrder},
                          {"error", m_strError}}
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool UnitRecord::Adopt(const std::string& strHandoff, std::string& strError) {
    const auto j = nlohmann::json::parse(strHandoff, nullptr, false);
    const auto str = [&j](const char* pszKey) {
        const auto it = j.is_object() ? j.find(pszKey) : j.end();
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    m_strPath = str("log_file");
    m_strDir = str("dir");
    if (m_strPath.empty() || m_strDir.empty()) {
        strError = "the unit's record was not handed over: " + EscapeControlChars(strHandoff);
        return false;
    }
    m_strStartTime = str("time");
    m_strHost = str("host");
    m_strLabel = str("port");
    m_strStableName = str("stable_name");
    m_strAdapterSerial = str("adapter_serial");
    m_strSerial = str("serial");
    m_strRevision = str("revision");
    m_strSetDigest = str("images_sha256");
    m_trace.strStation = str("station");
    m_trace.strOperator = str("operator");
    m_trace.strWorkOrder = str("work_order");
    // A header that could not be written was said by the runner: the record is incomplete
    // already, and nothing more is written to it.
    m_strError = str("error");
    // Never made here: the runner made it, with its header.
    m_fd = open(m_strPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_BINARY);
    if (m_fd < 0) {
        strError = "cannot open the log file " + EscapeControlChars(m_strPath) + ": " +
                   std::strerror(errno) + "; the record of this upload is incomplete";
        return false;
    }
    return true;
}

void UnitRecord::Release() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

bool UnitRecord::Write(std::string_view text) {
    if (m_fd < 0 || !m_strError.empty())
        return true;
    if (WriteAll(m_fd, text))
        return true;
    m_strError = "cannot write the log file " + EscapeControlChars(m_strPath) + ": " +
                 std::strerror(errno) + "; the record of this upload is incomplete";
    return false;
}

bool UnitRecord::Append(std::string_view text) {
    return Write(text);
}

bool UnitRecord::EndsInLineFeed() const {
    // Every write appends, wherever the file's position is left.
    char c = '\n';
    const auto nSize = lseek(m_fd, 0, SEEK_END);
    if (nSize > 0 && (lseek(m_fd, nSize - 1, SEEK_SET) < 0 || read(m_fd, &c, 1) != 1))
        c = '\n';
    return c == '\n';
}

bool UnitRecord::AppendLine(const std::string& strPath, const std::string& strLine,
                            std::string& strError) {
    const int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_BINARY);
    bool bOk = fd >= 0 && WriteAll(fd, strLine + "\n");
    if (!bOk)
        strError = "cannot write the log file " + EscapeControlChars(strPath) + ": " +
                   std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return bOk;
}

namespace {
// A success whose record is incomplete is no plain success (the single-port --log's rule).
void MarkRecordIncomplete(UnitState& unit, const std::string& strError) {
    if (unit.nExitCode != kCodeSuccess)
        return;
    unit.nExitCode = kCodeLogFile;
    unit.strStatus = StatusName(kCodeLogFile);
    unit.strMessage = strError;
}
} // namespace

std::string UnitRecord::Finish(UnitState& unit) {
    if (m_fd < 0)
        return {};
    const bool bHadError = !m_strError.empty();
    if (bHadError)
        MarkRecordIncomplete(unit, m_strError);
    std::string line = "---- result: " + unit.strStatus + ", exit code " +
                       std::to_string(unit.nExitCode) + ", elapsed " +
                       FormatDuration(unit.dElapsed) + ", retries " + std::to_string(unit.nRetries);
    if (!unit.strMessage.empty())
        line += ", " + EscapeControlChars(unit.strMessage);
    // A session that was killed may have stopped in the middle of a line.
    if (!bHadError && !EndsInLineFeed())
        line.insert(0, 1, '\n');
    Write(line + "\n");
    if (close(m_fd) != 0 && m_strError.empty()) {
        m_strError = "cannot write the log file " + EscapeControlChars(m_strPath) + ": " +
                     std::strerror(errno) + "; the record of this upload is incomplete";
    }
    m_fd = -1;
    if (!m_strError.empty())
        MarkRecordIncomplete(unit, m_strError);

    std::vector<std::string> cells = {m_strStartTime,
                                      m_strHost,
                                      m_strLabel,
                                      m_strStableName,
                                      m_strAdapterSerial,
                                      m_strRevision,
                                      m_strSetDigest,
                                      unit.strStatus,
                                      std::to_string(unit.nExitCode),
                                      ElapsedSeconds(unit.dElapsed),
                                      std::to_string(unit.nRetries),
                                      unit.strMessage,
                                      m_strPath,
                                      m_trace.strStation,
                                      m_trace.strOperator,
                                      m_trace.strWorkOrder,
                                      m_strSerial};
    for (auto& cell : cells)
        cell = SafeCell(cell);
    std::string strCsvError;
    if (!AppendCsvRow(m_strDir + "results.csv", ResultsCsvHeader(), CsvRow(cells), strCsvError)) {
        const std::string text = "cannot write " + EscapeControlChars(m_strDir) +
                                 "results.csv: " + strCsvError +
                                 "; the record of this upload is incomplete";
        if (m_strError.empty())
            m_strError = text;
        MarkRecordIncomplete(unit, text);
        return text;
    }
    return bHadError ? std::string() : m_strError;
}

} // namespace fleet
