// morfw upload with several ports, run as a user runs it: every unit is today's single-port
// session (same transcript, same records in the unit), a unit that fails, loses its line or
// is noisy disturbs no other, and the summary, the records and the exit code say what happened.

#include "FleetTestSupport.h"

#include "../cli/ProgramRunner.h"
#include "image/Sha256.h"

#include <csignal>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

using namespace fleettest;
using namespace std::chrono_literals;

namespace {

RunResult Morfw(std::vector<std::string> args) {
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = std::move(args);
    return RunProgram(spec);
}

// The unit's records as a single-port upload of the set leaves them, and its transcript.
struct Reference {
    std::string strLog;  // without the elapsed time
    std::string strDump; // the unit's records
    std::string strText; // the text form's standard output, without the elapsed time
};

Reference SingleUpload(const fs::path& set, const fs::path& dir) {
    Reference ref;
    const fs::path dump = dir / "single.dump";
    const RunResult json = Morfw(
        {"upload", "--port", "sim:dump=" + dump.string(), "--images", set.string(), "--json"});
    EXPECT_EQ(json.nExitCode, 0) << json.strErr;
    ref.strLog = WithoutElapsed(JoinedLogText(JsonLines(json.strOut)));
    ref.strDump = ReadFile(dump);
    const RunResult text = Morfw({"upload", "--port", "sim:", "--images", set.string()});
    ref.strText = WithoutElapsed(text.strOut);
    return ref;
}

// The processes whose parent is pid.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = ReadFile(entry.path() / "stat"); // "N (comm) S PPID ..."
        const auto close = stat.rfind(')');
        if (close != std::string::npos && std::atoi(stat.c_str() + close + 4) == pid)
            children.push_back(std::stoi(name));
    }
    return children;
}

} // namespace

TEST(MorfwManyUnits, EachUnitIsTheSinglePortSessionAndTheRecordsSayWhatHappened) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const Reference ref = SingleUpload(set, tmp.Path());
    const auto dump = [&](const char* name) { return (tmp.Path() / name).string(); };
    const std::string good1 = "sim:seed=1,dump=" + dump("good1");
    const std::string failing = "sim:ok=0,seed=2";
    const std::string unplugged = "sim:unplug=4,seed=3,dump=" + dump("unplugged");
    const std::string noisy = "sim:noise=1e-5,seed=7,dump=" + dump("noisy");
    const std::string good2 = "sim:seed=5,dump=" + dump("good2");
    const fs::path logs = tmp.Path() / "records" / "day1"; // made, with its parent

    const fs::path handed = tmp.Path() / "handed.json";
    std::vector<std::string> args = {"upload", "--images", set.string(), "--json", "--log-dir",
                                     logs.string()};
    for (const std::string& port : {good1, failing, unplugged, noisy, good2})
        args.insert(args.end(), {"--port", port});
    args.insert(args.end(), {"--operator", "Ann Lee", "--work-order", "WO-4711", "--station",
                             "line 2", "--on-result", "cat >> '" + handed.string() + "'"});
    const RunResult r = Morfw(args);
    EXPECT_EQ(r.nExitCode, 1) << r.strErr; // failed outranks every other code here
    EXPECT_EQ(r.strErr, "");

    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    std::map<std::string, Json> results;
    for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
        const Json& j = objects[i];
        ASSERT_TRUE(j.contains("port") && j["port"].is_string()) << j.dump();
        if (j["type"] == "result")
            results[j["port"]] = j;
    }
    ASSERT_EQ(results.size(), 5u);
    // --on-result got each unit's result object, which names who flashed it where.
    std::set<std::string> handedPorts;
    for (const auto& line : Lines(ReadFile(handed))) {
        const Json j = Json::parse(line);
        EXPECT_EQ(j, results[j["port"]]);
        EXPECT_EQ(j["operator"], "Ann Lee");
        EXPECT_EQ(j["work_order"], "WO-4711");
        EXPECT_EQ(j["station"], "line 2");
        handedPorts.insert(j["port"]);
    }
    EXPECT_EQ(handedPorts.size(), 5u);
    // Each unit's retries are the retry marks of its own log.
    for (const auto& [port, result] : results) {
        int marks = 0;
        for (const auto& j : objects) {
            if (j["type"] == "log" && j["port"] == port) {
                const std::string t = j["text"];
                marks += t.size() == 1 && std::string("!+;:").find(t) != std::string::npos ? 1 : 0;
            }
        }
        EXPECT_EQ(result["retries"], marks) << port;
    }

    // The good units: the single upload's transcript and records, exactly.
    for (const std::string& port : {good1, good2}) {
        EXPECT_EQ(WithoutElapsed(JoinedLogText(objects, port)), ref.strLog) << port;
        EXPECT_EQ(results[port]["status"], "success");
    }
    EXPECT_EQ(ReadFile(dump("good1")), ref.strDump);
    EXPECT_EQ(ReadFile(dump("good2")), ref.strDump);
    // The noisy one may repeat records, but the unit ends up with exactly the image's.
    EXPECT_EQ(results[noisy]["status"], "success") << results[noisy].dump();
    EXPECT_EQ(ReadFile(dump("noisy")), ref.strDump);
    EXPECT_TRUE(std::regex_search(JoinedLogText(objects, noisy),
                                  std::regex("Firmware uploaded in [0-9:]+ \\(h:mm:ss\\)\n\n\n$")));
    // The failing ones fail as alone.
    EXPECT_EQ(results[failing]["exit_code"], 1);
    EXPECT_EQ(results[failing]["message"], "upload failed in part 2 of 5");
    EXPECT_TRUE(std::regex_search(JoinedLogText(objects, failing),
                                  std::regex("part 2 of 5\\.\\.\\.\n# [+]*(\\*[+]*){15} Failed!!!  "
                                             "-> Out of retries!!!\n\n$")));
    EXPECT_EQ(results[unplugged]["exit_code"], 1);
    EXPECT_EQ(results[unplugged]["message"], "upload failed in part 4 of 5");
    EXPECT_EQ(Lines(ReadFile(dump("unplugged"))).size(), 4u);
    EXPECT_GT(results[unplugged]["retries"].get<int>(), 0);

    const Json& summary = objects.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["exit_code"], 1);
    EXPECT_EQ(summary["status"], "failed");
    EXPECT_EQ(summary["units"], 5);
    EXPECT_EQ(summary["succeeded"], 3);
    ASSERT_EQ(summary["results"].size(), 5u);
    EXPECT_EQ(summary["results"][0]["port"], good1); // in the order the ports were named
    EXPECT_EQ(summary["results"][4]["port"], good2);

    // results.csv: a header and a row per unit, each naming its log file.
    const auto rows = ParseCsv(ReadFile(logs / "results.csv"));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0][2], "port");
    const std::string setDigest = DigestOfSet(DigestImageSet(set.string() + "/"));
    std::set<std::string> ports;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& row = rows[i];
        ASSERT_EQ(row.size(), 17u);
        EXPECT_EQ(std::vector<std::string>(row.begin() + 13, row.end()),
                  (std::vector<std::string>{"line 2", "Ann Lee", "WO-4711", ""}));
        ports.insert(row[2]);
        EXPECT_EQ(row[6], setDigest);
        EXPECT_EQ(row[7], results[row[2]]["status"]) << row[2];
        EXPECT_EQ(row[8], std::to_string(results[row[2]]["exit_code"].get<int>()));
        EXPECT_EQ(row[10], std::to_string(results[row[2]]["retries"].get<int>()));
        EXPECT_EQ(row[12], results[row[2]]["log_file"]);
        // The log file: six header lines, the transcript as the unit's objects had it, the result.
        const std::string file = ReadFile(row[12]);
        const auto lines = Lines(file);
        ASSERT_GE(lines.size(), 8u);
        EXPECT_EQ(lines[1],
                  "---- station line 2, operator Ann Lee, work order WO-4711, serial none");
        EXPECT_EQ(lines[2], "---- port " + row[2] + ", stable name none, adapter serial none");
        EXPECT_EQ(lines[5], "---- sha256 of the set " + setDigest);
        std::size_t header = 0;
        for (int n = 0; n < 6; ++n)
            header = file.find('\n', header) + 1;
        const std::string log = JoinedLogText(objects, row[2]);
        EXPECT_EQ(file.substr(header, log.size()), log) << row[2];
        EXPECT_TRUE(lines.back().starts_with("---- result: " + row[7] + ", exit code " + row[8]))
            << lines.back();
    }
    EXPECT_EQ(ports, (std::set<std::string>{good1, failing, unplugged, noisy, good2}));
}

// Without a terminal: a single upload's lines, each prefixed with its port; results on
// standard error as a single upload says them; then the summary table.
TEST(MorfwManyUnits, PlainLinesCarryThePortAndThePortsFromFileAddsUnits) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const Reference ref = SingleUpload(set, tmp.Path());
    const fs::path list = tmp.Path() / "ports.txt";
    WriteFile(list, "# rack A\n\nsim:ok=0,seed=2\n  # spare\n");

    const RunResult r = Morfw({"upload", "--port", "sim:seed=1", "--ports-from", list.string(),
                               "--images", set.string()});
    EXPECT_EQ(r.nExitCode, 1);
    std::string mine;
    for (const auto& line : Lines(r.strOut)) {
        if (line.starts_with("sim:seed=1:"))
            mine += line.substr(std::min<std::size_t>(line.size(), 12)) + "\n";
    }
    EXPECT_EQ(WithoutElapsed(mine), ref.strText);
    EXPECT_EQ(r.strErr, "sim:ok=0,seed=2: morfw: upload failed in part 2 of 5\n");
    EXPECT_NE(r.strOut.find("\nport             stable name  adapter serial  result      "),
              std::string::npos)
        << r.strOut;
    EXPECT_TRUE(std::regex_search(
        r.strOut, std::regex("\nsim:ok=0,seed=2  -            -               failed \\(1\\)  "
                             "0:[0-9]{2} +[0-9]+ +-\n2 units in 0:[0-9]{2}: 1 succeeded, 1 "
                             "did not; exit code 1\n$")))
        << r.strOut;
}

// A port that cannot be opened outranks a success; a usage error stops the run before any unit.
TEST(MorfwManyUnits, ExitCodesAndUsageErrors) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const RunResult port = Morfw({"upload", "--port", "sim:", "--port",
                                  "sim:dump=" + (tmp.Path() / "no" / "x").string(), "--images",
                                  set.string(), "--quiet"});
    EXPECT_EQ(port.nExitCode, 3) << port.strErr;
    EXPECT_NE(port.strOut.find("sim:: Firmware upload appears to be successful.\n"),
              std::string::npos)
        << port.strOut;

    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--port", "sim:", "--port", "sim:"},
         "morfw: the port sim: is named twice; a port takes one session at a time\n"},
        {{"--port", "sim:", "--port", "sim:seed=2", "--log", (tmp.Path() / "l").string()},
         "morfw: --log takes one port; with several, --log-dir keeps a log file per unit\n"},
        {{"--ports-from", (tmp.Path() / "missing").string()},
         "morfw: cannot read the port list " + (tmp.Path() / "missing").string() +
             ": No such file or directory\n"},
        {{"--log-dir", (tmp.Path() / "logs").string()},
         "morfw: --log-dir needs the ports named: --port NAME (repeated) or --ports-from FILE\n"},
        {{"--port", "sim:", "--log-dir", "/proc/version"},
         "morfw: cannot use the log directory /proc/version: Not a directory\n"},
    };
    for (const auto& [args, text] : usage) {
        std::vector<std::string> all = {"upload", "--images", set.string()};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = Morfw(all);
        EXPECT_EQ(r.nExitCode, 2) << text;
        EXPECT_EQ(r.strErr, text);
        EXPECT_EQ(r.strOut, "");
    }
}

// Ctrl-C reaches every session once: each logs "User cancelled..." and closes its line, the
// runner waits for all of them, and the run ends as cancelled.
TEST(MorfwManyUnits, CtrlCCancelsEveryUnitAndWaitsForAll) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    std::vector<std::string> ports;
    for (int i = 1; i <= 3; ++i)
        ports.push_back("sim:seed=" + std::to_string(i) +
                        ",dump=" + (tmp.Path() / ("d" + std::to_string(i))).string());
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"upload", "--images", set.string(), "--json"};
    for (const auto& p : ports)
        spec.args.insert(spec.args.end(), {"--port", p});
    ChildProcess child(spec);

    std::set<std::string> inPartThree;
    while (inPartThree.size() < ports.size()) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "not every unit reached part 3";
        const Json j = Json::parse(*line);
        if (j["type"] == "log" && j["text"] == "Uploading firmware - part 3 of 5...\n")
            inPartThree.insert(j["port"]);
    }
    // Each session shows as morfw (ps, pgrep, other programs' busy reports) and runs morfw's
    // own file.
    const auto sessions = ChildrenOf(child.Pid());
    EXPECT_EQ(sessions.size(), ports.size());
    for (const pid_t pid : sessions) {
        const fs::path proc = "/proc/" + std::to_string(pid);
        EXPECT_EQ(ReadFile(proc / "comm"), "morfw\n");
        EXPECT_EQ(fs::read_symlink(proc / "exe"), fs::canonical(kMorfw));
    }
    child.Signal(SIGINT);
    std::this_thread::sleep_for(50ms);
    child.Signal(SIGINT); // only said; the sessions got theirs once
    const RunResult r = child.Finish(60s);
    EXPECT_EQ(r.nSignal, 0);
    EXPECT_EQ(r.nExitCode, 5) << r.strErr;

    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    for (const auto& port : ports) {
        EXPECT_TRUE(JoinedLogText(objects, port).ends_with("User cancelled...\n\n")) << port;
        int requested = 0, underWay = 0;
        std::string status;
        for (const auto& j : objects) {
            if (j.value("port", "") != port)
                continue;
            if (j["type"] == "notice") {
                const std::string text = j["text"];
                requested += text.starts_with("cancel requested (SIGINT)") ? 1 : 0;
                underWay += text.starts_with("cancel already under way (SIGINT)") ? 1 : 0;
            }
            if (j["type"] == "result")
                status = j["status"];
        }
        EXPECT_EQ(requested, 1) << port;
        EXPECT_EQ(underWay, 1) << port;
        EXPECT_EQ(status, "cancelled") << port;
    }
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(fs::exists(tmp.Path() / ("d" + std::to_string(i)))) << "a line was not closed";
    EXPECT_EQ(objects.back()["type"], "summary");
    EXPECT_EQ(objects.back()["exit_code"], 5);
}

// A runner that is killed outright cancels its sessions (their parent's death), and each still
// writes its own result line and row.
TEST(MorfwManyUnits, AKilledRunnersUnitsStillKeepTheirRecords) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const fs::path logs = tmp.Path() / "logs";
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"upload",      "--images", set.string(), "--json", "--log-dir",
                 logs.string(), "--port",   "sim:seed=1", "--port", "sim:seed=2"};
    ChildProcess child(spec);
    std::set<std::string> inPartThree;
    while (inPartThree.size() < 2) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "not every unit reached part 3";
        const Json j = Json::parse(*line);
        if (j["type"] == "log" && j["text"] == "Uploading firmware - part 3 of 5...\n")
            inPartThree.insert(j["port"]);
    }
    child.Signal(SIGKILL);
    child.Finish(60s);

    // The sessions end on their own; their rows come when they have closed their ports.
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 600 && rows.size() < 3; ++i) {
        std::this_thread::sleep_for(100ms);
        rows = ParseCsv(ReadFile(logs / "results.csv"));
    }
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][7], "cancelled") << rows[i][2];
        const std::string log = ReadFile(rows[i][12]);
        EXPECT_TRUE(std::regex_search(log, std::regex("User cancelled\\.\\.\\.\n\n---- result: "
                                                      "cancelled, exit code 5, elapsed [0-9:]+, "
                                                      "retries [0-9]+, upload cancelled\n$")))
            << log;
    }
}

// A unit's log file that cannot be written is said on standard error as it happens, naming
// the file (here the header does not fit a 512-byte file size limit).
TEST(MorfwManyUnits, ALogFileThatCannotBeWrittenIsSaidAsItHappens) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const fs::path logs = tmp.Path() / "logs";
    RunSpec spec;
    spec.strProgram = "/bin/sh";
    spec.args = {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", kMorfw, "upload"};
    spec.args.insert(spec.args.end(), {"--images", set.string(), "--log-dir", logs.string(),
                                       "--port", "sim:"});
    const RunResult r = RunProgram(spec);
    EXPECT_EQ(r.nExitCode, 6) << r.strErr;
    const std::regex said("sim:: morfw: cannot write the log file " + logs.string() +
                          "/[-_0-9a-z]+\\.log: File too large; the record of this upload is "
                          "incomplete\n");
    EXPECT_TRUE(std::regex_search(r.strErr, said)) << r.strErr;
    const std::string first = "cannot write the log file";
    EXPECT_EQ(r.strErr.find(first), r.strErr.rfind(first)) << "said more than once: " << r.strErr;
}

// A package upgrade replaces morfw's file while a station runs: the sessions it starts after
// that still run the station's own program, never the file now at its path.
TEST(MorfwManyUnits, SessionsRunTheRunnersOwnFileAfterItsPathLeadsElsewhere) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set", watched = tmp.Path() / "by-id";
    MakeSmallSet(set);
    fs::create_directories(tmp.Path() / "bin");
    fs::create_directories(watched);
    const fs::path copy = tmp.Path() / "bin" / "morfw";
    fs::copy_file(kMorfw, copy);
    RunSpec spec;
    spec.strProgram = copy.string();
    spec.args = {"station", "--rehearse", "0,dir=" + watched.string(), "--images", set.string(),
                 "--log-dir", (tmp.Path() / "logs").string(), "--json"};
    ChildProcess station(spec);
    const fs::path exe = "/proc/" + std::to_string(station.Pid()) + "/exe";
    for (int i = 0; i < 3000 && !(fs::exists(exe) && fs::read_symlink(exe) == copy); ++i)
        std::this_thread::sleep_for(10ms); // until the station runs the copy

    WriteFile(tmp.Path() / "new", "#!/bin/sh\nexit 42\n");
    fs::permissions(tmp.Path() / "new", fs::perms::owner_all);
    fs::rename(tmp.Path() / "new", copy);
    WriteFile(watched / "unit", "sim:seed=1\n");
    std::optional<Json> result;
    while (!result) {
        const auto line = station.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "no result";
        if (const Json j = Json::parse(*line); j["type"] == "result")
            result = j;
    }
    EXPECT_EQ((*result)["status"], "success") << result->dump();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Finish(60s).nExitCode, 0);
}
