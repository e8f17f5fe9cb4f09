// morfw station run as an operator runs it, its devices appearing and leaving in a directory
// the test makes (through the real inotify code); for the test each entry is a file naming the
// sim: port its unit opens (MORFW_STATION_PORT_FILES=1), as udev's links name devices.

#include "FleetTestSupport.h"

#include "../cli/ProgramRunner.h"

#include <csignal>
#include <map>

using namespace fleettest;
using namespace std::chrono_literals;

namespace {

// Makes a device entry at once, as udev does (written aside, then renamed into place).
void Plug(const fs::path& dir, const std::string& name, const std::string& port) {
    const fs::path aside = dir.parent_path() / (name + ".new");
    WriteFile(aside, port + "\n");
    fs::rename(aside, dir / name);
}

class Station {
public:
    Station(const fs::path& set, const fs::path& watched, const fs::path& logs) {
        RunSpec spec;
        spec.strProgram = kMorfw;
        spec.args = {"station",     "--match",    watched.string() + "/unit-*",
                     "--images",    set.string(), "--log-dir",
                     logs.string(), "--json"};
        spec.env["MORFW_STATION_PORT_FILES"] = "1";
        m_child = std::make_unique<ChildProcess>(spec);
    }
    // Reads objects until pred says stop; false when the output ends or a minute passes.
    template <class Pred> bool ReadUntil(Pred pred) {
        for (;;) {
            const auto line = m_child->ReadLine(60s);
            if (!line)
                return false;
            Json j = Json::parse(*line, nullptr, false);
            EXPECT_TRUE(j.is_object()) << *line;
            if (!j.is_object())
                continue;
            objects.push_back(j);
            if (pred(j))
                return true;
        }
    }
    RunResult Stop() {
        m_child->Signal(SIGINT);
        RunResult r = m_child->Finish(60s);
        objects = JsonLines(r.strOut); // the whole output, what was read before included
        return r;
    }
    std::vector<Json> objects;

private:
    std::unique_ptr<ChildProcess> m_child;
};

bool IsResult(const Json& j, const std::string& port) {
    return j["type"] == "result" && j["port"] == port;
}

} // namespace

TEST(MorfwStation, FlashesEachUnitAsItArrivesAndAgainWhenPluggedInAgain) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    // udev makes /dev/serial/by-id with the first adapter: here it does not exist yet either.
    const fs::path watched = tmp.Path() / "serial" / "by-id";
    const fs::path logs = tmp.Path() / "logs";
    Station station(set, watched, logs);
    const std::string a = (watched / "unit-A").string(), b = (watched / "unit-B").string();
    const auto dump = [&](const char* n) { return (tmp.Path() / n).string(); };

    fs::create_directories(watched);
    Plug(watched, "unit-A", "sim:seed=1,dump=" + dump("a1"));
    Plug(watched, "unit-B", "sim:ok=0,seed=2");
    // Unit A unplugged and plugged in again while its session runs: its second session starts
    // only when the first has ended, with the port its entry names now.
    ASSERT_TRUE(station.ReadUntil([&](const Json& j) {
        return j["type"] == "log" && j["port"] == a &&
               j["text"] == "Uploading firmware - part 3 of 5...\n";
    }));
    fs::remove(watched / "unit-A");
    Plug(watched, "unit-A", "sim:seed=3,dump=" + dump("a2"));
    int resultsOfA = 0;
    ASSERT_TRUE(station.ReadUntil([&](const Json& j) {
        resultsOfA += IsResult(j, a) ? 1 : 0;
        return resultsOfA == 2;
    }));
    if (std::none_of(station.objects.begin(), station.objects.end(),
                     [&](const Json& j) { return IsResult(j, b); })) {
        ASSERT_TRUE(station.ReadUntil([&](const Json& j) { return IsResult(j, b); }));
    }
    fs::remove(watched / "unit-A");
    ASSERT_TRUE(station.ReadUntil([&](const Json& j) {
        return j["type"] == "device" && j["port"] == a && j["event"] == "left";
    }));
    const RunResult r = station.Stop();
    EXPECT_EQ(r.nExitCode, 1) << r.strErr; // B failed; nothing ran when the station ended

    // Per port, sessions strictly one after another: start, result, start, result.
    std::map<std::string, std::string> order;
    for (const auto& j : station.objects) {
        if (j["type"] == "start")
            order[j["port"]] += "s";
        else if (j["type"] == "result")
            order[j["port"]] += "r";
    }
    EXPECT_EQ(order[a], "srsr");
    EXPECT_EQ(order[b], "sr");
    for (const auto& j : station.objects) {
        if (IsResult(j, a)) {
            EXPECT_EQ(j["status"], "success") << j.dump();
        }
        if (IsResult(j, b)) {
            EXPECT_EQ(j["message"], "upload failed in part 2 of 5") << j.dump();
        }
    }
    EXPECT_EQ(ReadFile(dump("a1")), ReadFile(dump("a2")));
    EXPECT_EQ(Lines(ReadFile(dump("a1"))).size(), 8u);

    const Json& summary = station.objects.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["exit_code"], 1);
    EXPECT_EQ(summary["units"], 3);
    EXPECT_EQ(summary["succeeded"], 2);
    EXPECT_EQ(summary["failed"], 1);
    ASSERT_EQ(summary["ports"].size(), 2u);
    EXPECT_EQ(summary["ports"][0], (Json{{"port", a}, {"succeeded", 2}, {"failed", 0}}));
    EXPECT_EQ(summary["ports"][1], (Json{{"port", b}, {"succeeded", 0}, {"failed", 1}}));

    const auto rows = ParseCsv(ReadFile(logs / "results.csv"));
    ASSERT_EQ(rows.size(), 4u);
    int ok = 0;
    for (std::size_t i = 1; i < rows.size(); ++i)
        ok += rows[i][7] == "success" ? 1 : 0;
    EXPECT_EQ(ok, 2);
}

// Ctrl-C while units are flashed: each is cancelled, closes its line, and is counted.
TEST(MorfwStation, CtrlCCancelsTheRunningUnitsAndGivesTheDaysSummary) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const fs::path watched = tmp.Path() / "w";
    fs::create_directories(watched);
    // A unit already there when the station starts is flashed too.
    Plug(watched, "unit-1", "sim:seed=1,dump=" + (tmp.Path() / "d1").string());
    Station station(set, watched, tmp.Path() / "logs");
    const std::string port = (watched / "unit-1").string();
    ASSERT_TRUE(station.ReadUntil([&](const Json& j) {
        return j["type"] == "log" && j["text"] == "Uploading firmware - part 3 of 5...\n";
    }));
    const RunResult r = station.Stop();
    EXPECT_EQ(r.nExitCode, 5) << r.strErr;
    EXPECT_TRUE(JoinedLogText(station.objects, port).ends_with("User cancelled...\n\n"));
    EXPECT_TRUE(fs::exists(tmp.Path() / "d1")) << "the line was not closed";
    const Json& summary = station.objects.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["status"], "cancelled");
    EXPECT_EQ(summary["ports"][0]["failed"], 1);
}

TEST(MorfwStation, UsageErrors) {
    RunSpec spec;
    spec.strProgram = kMorfw;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--start-on", "dcd"}, "morfw: --start-on needs the fixed ports: --ports-from FILE\n"},
        {{"--ports-from", "/dev/null"},
         "morfw: --ports-from needs the line that says a unit is seated: --start-on "
         "dcd|dsr|cts\n"},
        {{"--ports-from", "/dev/null", "--start-on", "ri"},
         "morfw: --start-on: expected dcd, dsr or cts, not ri\n"},
        {{"--match", "/dev/*/x"},
         "morfw: --match: the directory part of /dev/*/x must not hold wildcards\n"},
    };
    for (const auto& [args, text] : cases) {
        spec.args = {"station"};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        const RunResult r = RunProgram(spec);
        EXPECT_EQ(r.nExitCode, 2) << text;
        EXPECT_EQ(r.strErr, text);
    }
}
