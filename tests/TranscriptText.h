#pragma once
// Transcripts of real uploads compared with the expected text: a busy machine may make any run
// retry (a late unlock, a late answer), so the retry marks of a part's line ("+", "*" in parts
// 1 and 2; "!", ":", ";", "," in parts 3 to 5) are left out of both sides.

#include <string>
#include <string_view>

inline std::string WithoutRetryMarks(const std::string& log) {
    std::string out;
    std::size_t from = 0;
    while (from < log.size()) {
        auto nl = log.find('\n', from);
        nl = nl == std::string::npos ? log.size() : nl + 1;
        std::string line = log.substr(from, nl - from);
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
