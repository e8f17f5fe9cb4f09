// morfw station run as an operator runs it: a rehearsal's simulated units, and units the test
// plugs and unplugs in a rehearsal's directory (through the real inotify code), each entry a
// file naming the sim: port its unit opens, as udev's links name devices.

#include "FleetTestSupport.h"

#include "../cli/ProgramRunner.h"

#include <csignal>
#include <map>

using namespace fleettest;
using namespace std::chrono_literals;

namespace {

// Makes a device entry at once, as udev does (written aside under a temporary name, then renamed
// into place).
void Plug(const fs::path& dir, const std::string& name, const std::string& port) {
    const fs::path aside = dir / (".#" + name + "00000000000000a1");
    WriteFile(aside, port + "\n");
    fs::rename(aside, dir / name);
}

class Station {
public:
    // rehearse: "0,dir=DIR" for units the test plugs itself.
    Station(const fs::path& set, const std::string& rehearse, const fs::path& logs) {
        RunSpec spec;
        spec.strProgram = kMorfw;
        spec.args = {"station",    "--rehearse", rehearse,      "--images",
                     set.string(), "--log-dir",  logs.string(), "--json"};
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
    const fs::path watched = tmp.Path() / "units";
    const fs::path logs = tmp.Path() / "logs";
    Station station(set, "0,dir=" + watched.string(), logs);
    const std::string a = "unit-A", b = "unit-B";
    const auto dump = [&](const char* n) { return (tmp.Path() / n).string(); };

    ASSERT_TRUE(station.ReadUntil([](const Json& j) { return j["type"] == "station"; }));
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
    Station station(set, "0,dir=" + watched.string(), tmp.Path() / "logs");
    const std::string port = "unit-1";
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

// A rehearsal: each fixture's unit arrives, is flashed, taken out, and the next arrives, until
// Ctrl-C; every step said in JSON, each unit recorded once (never its temporary name).
TEST(MorfwStation, ARehearsalFlashesSimulatedUnitsOneAfterAnotherUntilCtrlC) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    Station station(set, "2,fail=2,gap=0", tmp.Path() / "logs");
    std::map<std::string, int> results;
    ASSERT_TRUE(station.ReadUntil([&](const Json& j) {
        if (j["type"] == "result")
            ++results[j["port"]];
        return results["fixture-1"] >= 2 && results["fixture-2"] >= 1;
    }));
    const RunResult r = station.Stop();

    const Json& start = station.objects.front();
    EXPECT_EQ(start["watch"], (Json{{"kind", "rehearsal"},
                                    {"fixtures", 2},
                                    {"seed", 1},
                                    {"fail", 2},
                                    {"gap", 0.0},
                                    {"dir", start["watch"]["dir"]}}));
    EXPECT_EQ(start["images_sha256"].get<std::string>().size(), 64u) << start.dump();
    // Per fixture: arrived, start, result (S success, F failed in part 2, C cancelled), left.
    std::map<std::string, std::string> order;
    int nResults = 0, nCancels = 0;
    for (const auto& j : station.objects) {
        const std::string type = j["type"];
        if (type == "device")
            order[j["port"]] += j["event"] == "arrived" ? "a" : "l";
        else if (type == "start")
            order[j["port"]] += "s";
        else if (type == "result") {
            ++nResults;
            order[j["port"]] += j["status"] == "success"                         ? "S"
                                : j["message"] == "upload failed in part 2 of 5" ? "F"
                                                                                 : "C";
        } else if (type == "notice") { // the sessions' own echo of the cancel, and nothing else
            EXPECT_TRUE(j["text"].get<std::string>().starts_with("cancel requested")) << j.dump();
        }
        nCancels += type == "cancel" ? 1 : 0;
    }
    EXPECT_TRUE(order["fixture-1"].starts_with("asSlasS")) << order["fixture-1"];
    EXPECT_TRUE(order["fixture-2"].starts_with("asFl")) << order["fixture-2"];
    EXPECT_EQ(nCancels, 1);
    EXPECT_EQ(station.objects.back()["units"], nResults);
    EXPECT_EQ(station.objects.back()["exit_code"], r.nExitCode);
    EXPECT_EQ(ParseCsv(ReadFile(tmp.Path() / "logs" / "results.csv")).size(),
              static_cast<std::size_t>(nResults) + 1);
}

// --start-on where not one port can be watched (a pseudo-terminal has no modem lines): the
// station says why for each and does not start.
TEST(MorfwStation, FixedPortsOfWhichNoneCanBeWatchedRefuseToStart) {
    TempDir tmp;
    Pty pty;
    WriteFile(tmp.Path() / "fixtures", pty.Path() + "\n");
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"station", "--ports-from", (tmp.Path() / "fixtures").string(), "--start-on",
                 "dcd",     "--log-dir",    (tmp.Path() / "logs").string()};
    const RunResult r = RunProgram(spec, 60s);
    EXPECT_EQ(r.nExitCode, 3) << r.strErr;
    EXPECT_TRUE(r.strErr.starts_with("morfw: " + pty.Path() + ": ")) << r.strErr;
    EXPECT_TRUE(
        r.strErr.ends_with("\nmorfw: no port can be watched; the station has nothing to watch\n"))
        << r.strErr;
}

TEST(MorfwStation, UsageErrors) {
    TempDir tmp;
    Pty pty;
    const std::string link = (tmp.Path() / "usb-A").string();
    fs::create_symlink(pty.Path(), link);
    WriteFile(tmp.Path() / "twice", pty.Path() + "\n" + link + "\n");
    RunSpec spec;
    spec.strProgram = kMorfw;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--ports-from", (tmp.Path() / "twice").string(), "--start-on", "dcd"},
         "morfw: the ports " + pty.Path() + " and " + link +
             " are one device; a port takes one session at a time\n"},
        {{"--rehearse", "0"},
         "morfw: --rehearse: 0 fixtures needs dir=DIR, whose files are then the units\n"},
        {{"--rehearse", "2", "--match", "x"},
         "morfw: --rehearse excludes --match, --ports-from and --start-on\n"},
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
