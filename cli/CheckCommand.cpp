#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Terminal.h"

#include "image/FileImg.h"
#include "image/ImageCheck.h"
#include "platform/PrintableText.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

const char* KindText(std::int32_t nType) {
    switch (nType) {
    case FILEIMG_BIN:
        return "binary";
    case FILEIMG_S19:
        return "S-record";
    default:
        return "unknown";
    }
}

std::string TextReport(const IMAGE_SET_CHECK& check) {
    std::string out = "Image set: " + EscapeControlChars(check.strImageDir) + "\n";
    // The revision is the INI file's text: a CR or an escape sequence in it must not forge the
    // verdict below.
    out += "Revision:  " + EscapeControlChars(check.strRevision) +
           (check.strRevisionNote.empty() ? "" : "  (" + check.strRevisionNote + ")") + "\n";
    int nBad = 0;
    for (const auto& file : check.files) {
        char line[256];
        std::string size = file.nLength >= 0 ? std::to_string(file.nLength) + " bytes" : "-";
        std::string records = file.nPosition >= FILEIMG_POS_SBOOT && file.bValid
                                  ? std::to_string(file.nRecords) + " records"
                                  : "";
        std::snprintf(line, sizeof line, "  %d  %-12s %-9s %12s %13s  ", file.nPosition + 1,
                      file.strName.c_str(), file.bFound ? KindText(file.nType) : "-", size.c_str(),
                      records.c_str());
        out += line;
        // A file in a folder that cannot be read is not called missing: the line below says why.
        out += file.bValid ? "ok" : file.bMissing ? "MISSING" : "INVALID";
        out += "\n";
        if (!file.bValid) {
            ++nBad;
            if (!file.strError.empty())
                out += "       " + file.strError + "\n";
        }
        if (file.bValid && file.nCounted != file.nRecords) {
            out += "       note: the progress bar counts " + std::to_string(file.nCounted) +
                   " records here\n";
        }
    }
    if (check.bValid) {
        out += "Load records in parts 3 to 5: " + std::to_string(check.nTotalCounted) + "\n";
        out += "The image set is valid.\n";
    } else {
        out += "The image set is not valid: " + std::to_string(nBad) +
               (nBad == 1 ? " file is" : " files are") + " missing or faulty.\n";
    }
    return out;
}

std::string JsonReport(const IMAGE_SET_CHECK& check, ExitCode code) {
    Json files = Json::array();
    for (const auto& file : check.files) {
        Json f{{"position", file.nPosition},
               {"name", file.strName},
               {"path", file.strPath},
               {"found", file.bFound},
               {"missing", file.bMissing},
               {"valid", file.bValid},
               {"kind", file.bFound ? Json(KindText(file.nType)) : Json(nullptr)},
               {"bytes", file.nLength >= 0 ? Json(file.nLength) : Json(nullptr)},
               {"base_address", file.nBaseAddr}};
        if (file.nPosition >= FILEIMG_POS_SBOOT && file.bValid) {
            f["records"] = file.nRecords;
            f["counted_records"] = file.nCounted;
        }
        if (!file.strError.empty())
            f["error"] = file.strError;
        files.push_back(std::move(f));
    }
    Json report{{"type", "check"},
                {"images", check.strImageDir},
                {"ini", check.strIniPath},
                {"ini_found", check.bIniFound},
                {"revision", check.strRevision},
                {"revision_note",
                 check.strRevisionNote.empty() ? Json(nullptr) : Json(check.strRevisionNote)},
                {"files", std::move(files)},
                {"records", check.nTotalCounted},
                {"valid", check.bValid},
                {"status", StatusName(code)},
                {"exit_code", ToInt(code)}};
    return report.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace

int RunCheck(const CheckOptions& options) {
    const IMAGE_SET_CHECK check = CheckImageDir(ResolveImageDir(options.strImages));
    const ExitCode code = check.bValid ? ExitCode::Success : ExitCode::Images;
    if (!WriteAll(STDOUT_FILENO, options.bJson ? JsonReport(check, code) : TextReport(check))) {
        // A verdict nobody can read is no success: a script must not take a full disk for a
        // valid set.
        WriteAll(STDERR_FILENO, std::string("morfw: cannot write the report to standard output: ") +
                                    std::strerror(errno) + "\n");
        if (code == ExitCode::Success)
            return ToInt(ExitCode::LogFile);
    }
    return ToInt(code);
}

} // namespace cli
