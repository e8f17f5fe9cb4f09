#include "fleet/FixtureList.h"

#include "platform/PrintableText.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace fleet {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

} // namespace

bool ParseFixtureLine(std::string_view line, Fixture& fixture) {
    line = Trim(line);
    if (line.empty() || line.front() == '#')
        return false;
    // A comment begins with a '#' that begins a word; a '#' inside a name belongs to it.
    std::string_view comment;
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '#' && (line[i - 1] == ' ' || line[i - 1] == '\t')) {
            comment = Trim(line.substr(i + 1));
            line = Trim(line.substr(0, i));
            break;
        }
    }
    const auto end = line.find_first_of(kBlanks);
    fixture.strPort = std::string(line.substr(0, end));
    const std::string_view rest = end == std::string_view::npos ? "" : Trim(line.substr(end));
    fixture.strLabel = std::string(rest.empty() ? comment : rest);
    return true;
}

bool ReadFixtureList(const std::string& strFile, std::vector<Fixture>& fixtures,
                     std::string& strError) {
    std::ifstream in(strFile);
    const auto failed = [&] {
        strError = "cannot read the port list " + EscapeControlChars(strFile) + ": " +
                   std::strerror(errno);
        return false;
    };
    if (!in)
        return failed();
    const std::size_t nBefore = fixtures.size();
    for (std::string line; std::getline(in, line);) {
        Fixture f;
        if (ParseFixtureLine(line, f))
            fixtures.push_back(std::move(f));
    }
    if (in.bad())
        return failed();
    if (fixtures.size() == nBefore) {
        strError = "the port list " + EscapeControlChars(strFile) + " names no port";
        return false;
    }
    return true;
}

} // namespace fleet
