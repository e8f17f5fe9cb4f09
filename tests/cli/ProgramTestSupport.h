#pragma once
// Helpers of the tests that run morfw as a user runs it (single uploads and many units):
// temporary directories, the small image set, files, lines and JSON lines. The test target
// defines MORFW_PROGRAM and MORFW_SAMPLE_IMAGE_DIR.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>

namespace programtest {

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

// Each line of a --json run parsed on its own; a line that is not one JSON object fails.
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

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/morfw-program-test-XXXXXX";
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

} // namespace programtest
