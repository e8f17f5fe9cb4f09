#pragma once
// Helpers of the many-unit tests: temporary directories, the small image set, files, JSON lines.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>

namespace fleettest {

namespace fs = std::filesystem;
using Json = nlohmann::json;

inline const std::string kMorfw = MORFW_PROGRAM;              // the built program
inline const std::string kSampleDir = MORFW_SAMPLE_IMAGE_DIR; // the sample set beside it

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> objects;
    for (const auto& line : Lines(text)) {
        Json j = Json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
        if (j.is_object())
            objects.push_back(std::move(j));
    }
    return objects;
}

// The log text of one port's objects (all of them when port is empty), joined.
inline std::string JoinedLogText(const std::vector<Json>& objects, const std::string& port = {}) {
    std::string log;
    for (const auto& j : objects) {
        if (j["type"] == "log" && (port.empty() || j["port"] == port))
            log += j["text"].get<std::string>();
    }
    return log;
}

// A transcript as two runs of one unit share it: the elapsed time, and the retry marks of a
// part's line ("+", "*" in parts 1 and 2; "!", ":", ";", "," in parts 3 to 5), which a busy
// machine can add to any run, single or not, are left out.
inline std::string WithoutElapsed(const std::string& log) {
    std::string s =
        std::regex_replace(log, std::regex("Firmware uploaded in [0-9:]+ \\(h:mm:ss\\)"),
                           "Firmware uploaded in H:MM:SS (h:mm:ss)");
    std::string out;
    std::size_t from = 0;
    while (from < s.size()) {
        auto nl = s.find('\n', from);
        nl = nl == std::string::npos ? s.size() : nl + 1;
        std::string line = s.substr(from, nl - from);
        const auto mark = line.find("# ");
        if (mark != std::string::npos && line.find("Succeeded", mark) != std::string::npos) {
            std::string kept = line.substr(0, mark + 2);
            for (std::size_t i = mark + 2; i < line.size(); ++i) {
                if (std::string_view("+*!:;,").find(line[i]) == std::string_view::npos)
                    kept += line[i];
            }
            line = kept;
        }
        out += line;
        from = nl;
    }
    return out;
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/morfw-fleet-test-XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

// A copy of the sample set cut down to a few records per image (2 + 3 + 3 load records): an
// upload of it to the simulated unit passes every stage in a few seconds.
inline void MakeSmallSet(const fs::path& dir) {
    fs::create_directories(dir);
    const fs::path sample = kSampleDir;
    WriteFile(dir / "Shutup.bin", ReadFile(sample / "Shutup.bin").substr(0, 32));
    WriteFile(dir / "BootI.bin", ReadFile(sample / "BootI.bin").substr(0, 32));
    WriteFile(dir / "SBoot.bin", ReadFile(sample / "SBoot.bin").substr(0, 128));
    for (const char* name : {"kernimg.s19", "Morvane.s19"}) {
        const auto lines = Lines(ReadFile(sample / name));
        std::string text;
        for (std::size_t i = 0; i < 4 && i < lines.size(); ++i) // S0 and three S1 lines
            text += lines[i] + "\n";
        text += lines.back() + "\n"; // the S9 line
        WriteFile(dir / name, text);
    }
    fs::copy_file(sample / "MorFWImg.ini", dir / "MorFWImg.ini");
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

} // namespace fleettest
