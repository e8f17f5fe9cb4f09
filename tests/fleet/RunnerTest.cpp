// The runner with real sessions: the built morfw, uploading to simulated units. A session that
// crashes or ends without a result fails alone; the others run the single-port session exactly.

#include "FleetTestSupport.h"

#include "../cli/ProgramRunner.h"
#include "fleet/ResultCommand.h"
#include "fleet/Runner.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <sys/stat.h>

using namespace fleettest;
using namespace std::chrono_literals;

namespace {

class Recorder : public fleet::RunnerObserver {
public:
    std::map<int, std::string> logs;
    std::map<int, fleet::UnitState> finished;
    std::map<int, std::vector<std::string>> jsonTypes;
    std::map<int, std::vector<std::string>> notices;
    std::function<void(const fleet::UnitState&, std::string_view)> onLog;

    void OnLog(const fleet::UnitState& u, std::string_view text) override {
        logs[u.nId] += text;
        if (onLog)
            onLog(u, text);
    }
    void OnJson(const fleet::UnitState& u, const nlohmann::ordered_json& j) override {
        EXPECT_EQ(j["port"], u.strLabel) << j.dump();
        jsonTypes[u.nId].push_back(j["type"]);
    }
    void OnNotice(const fleet::UnitState& u, std::string_view text) override {
        notices[u.nId].emplace_back(text);
    }
    void OnFinished(const fleet::UnitState& u) override {
        EXPECT_TRUE(finished.emplace(u.nId, u).second) << "finished twice: " << u.nId;
    }
};

void RunAll(fleet::Runner& runner) {
    while (runner.RunningCount() > 0)
        runner.Wait(-1);
}

// A stand-in for the session's program.
std::string Script(const fs::path& dir, const std::string& name, const std::string& body) {
    const fs::path p = dir / name;
    WriteFile(p, "#!/bin/sh\n" + body + "\n");
    chmod(p.c_str(), 0755);
    return p.string();
}

} // namespace

TEST(FleetRunner, ACrashedSessionFailsAloneAndTheOthersRunTheSinglePortSessionExactly) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);

    // The reference: one unit, one morfw, as today.
    RunSpec single;
    single.strProgram = kMorfw;
    single.args = {"upload",   "--port",     "sim:dump=" + (tmp.Path() / "ref").string(),
                   "--images", set.string(), "--json"};
    const RunResult ref = RunProgram(single);
    ASSERT_EQ(ref.nExitCode, 0) << ref.strErr;
    const std::string refLog = WithoutElapsed(JoinedLogText(JsonLines(ref.strOut)));

    fleet::RunnerSettings settings;
    settings.strProgram = kMorfw;
    settings.sessionArgs = {"--images", set.string()};
    settings.strLogDir = (tmp.Path() / "logs").string();
    fs::create_directories(settings.strLogDir);
    Recorder rec;
    fleet::Runner runner(settings, rec);
    const int a = runner.Start({"sim:seed=1,dump=" + (tmp.Path() / "a").string(), {}});
    const int b = runner.Start({"sim:seed=2,dump=" + (tmp.Path() / "b").string(), {}});
    const int c = runner.Start({"sim:seed=3,dump=" + (tmp.Path() / "c").string(), "unit C"});
    // The second session is killed at its first record of part 3, in the middle of a line.
    rec.onLog = [&](const fleet::UnitState& u, std::string_view text) {
        if (u.nId == b && u.nPart == 3 && text == ".")
            kill(u.pid, SIGKILL);
    };
    RunAll(runner);

    ASSERT_EQ(rec.finished.size(), 3u);
    const fleet::UnitState& ub = rec.finished.at(b);
    EXPECT_EQ(ub.nExitCode, 1);
    EXPECT_EQ(ub.strStatus, "failed");
    EXPECT_EQ(ub.strMessage, "the session ended without a result (signal 9)");
    EXPECT_EQ(ub.nPart, 3);
    EXPECT_EQ(ub.result["message"], ub.strMessage);
    for (const int id : {a, c}) {
        const fleet::UnitState& u = rec.finished.at(id);
        EXPECT_EQ(u.nExitCode, 0) << u.strMessage;
        EXPECT_EQ(u.strStatus, "success");
        EXPECT_EQ(u.nPart, 5);
        EXPECT_EQ(u.nRecords, 8);
        EXPECT_EQ(u.nTotal, 8);
        EXPECT_EQ(WithoutElapsed(rec.logs[id]), refLog);
        EXPECT_EQ(u.result["type"], "result");
        EXPECT_EQ(u.result["exit_code"], 0);
        EXPECT_EQ(u.result["port"], u.strLabel);
        EXPECT_EQ(rec.jsonTypes[id].front(), "start");
    }
    EXPECT_EQ(rec.finished.at(c).strLabel, "unit C");
    EXPECT_EQ(ReadFile(tmp.Path() / "a"), ReadFile(tmp.Path() / "ref"));
    EXPECT_EQ(ReadFile(tmp.Path() / "c"), ReadFile(tmp.Path() / "ref"));
    EXPECT_EQ(runner.Unit(b).nExitCode, 1);
    EXPECT_EQ(runner.Units().size(), 3u);

    // Each session wrote its own result line and row; the runner those of the killed one, its
    // result line on a line of its own. One row per unit.
    const auto rows = ParseCsv(ReadFile(fs::path(settings.strLogDir) / "results.csv"));
    ASSERT_EQ(rows.size(), 4u);
    for (const int id : {a, b, c}) {
        const fleet::UnitState& u = rec.finished.at(id);
        const auto lines = Lines(ReadFile(u.strLogFile));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_TRUE(lines.back().starts_with("---- result: " + u.strStatus + ", exit code " +
                                             std::to_string(u.nExitCode) + ", elapsed "))
            << lines.back();
        if (id == b) {
            EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], std::regex("# \\.+")))
                << lines[lines.size() - 2];
        }
        int nRows = 0;
        for (const auto& row : rows)
            nRows += row[12] == u.strLogFile && row[7] == u.strStatus ? 1 : 0;
        EXPECT_EQ(nRows, 1) << u.strLabel;
    }
}

TEST(FleetRunner, ASessionWithoutAResultIsAFailureThatSaysHowItEnded) {
    TempDir tmp;
    struct Case {
        std::string strBody;
        std::string strMessage;
    };
    const std::vector<Case> cases = {
        {"echo '{\"type\":\"log\",\"text\":\"Using high baudrate bootstrap mode\\n\"}'; exit 3",
         "the session ended without a result (exit code 3)"},
        {"echo '{\"type\":\"log\",\"text\":\"x\"}'; kill -SEGV $$",
         "the session ended without a result (signal 11)"},
        {"echo '{\"type\":\"result\",\"status\":\"success\",\"exit_code\":0}'; kill -KILL $$",
         "the session was ended by signal 9 after its result"},
        // A result with a code morfw never gives is a failure.
        {"echo '{\"type\":\"result\",\"status\":\"odd\",\"exit_code\":42,\"message\":\"m\"}'", "m"},
        // Output that is no JSON does not stop the reading of what follows.
        {"echo 'garbage'; echo '{\"type\":\"result\",\"status\":\"port\",\"exit_code\":3,"
         "\"message\":\"no port\"}'; exit 3",
         "no port"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        fleet::RunnerSettings settings;
        settings.strProgram = Script(tmp.Path(), "s" + std::to_string(i), cases[i].strBody);
        Recorder rec;
        fleet::Runner runner(settings, rec);
        const int id = runner.Start({"sim:", {}});
        RunAll(runner);
        const fleet::UnitState& u = rec.finished.at(id);
        EXPECT_EQ(u.strMessage, cases[i].strMessage) << cases[i].strBody;
        EXPECT_EQ(u.nExitCode, i == 4 ? 3 : 1) << cases[i].strBody;
    }

    fleet::RunnerSettings missing;
    missing.strProgram = (tmp.Path() / "no-such-program").string();
    Recorder rec;
    fleet::Runner runner(missing, rec);
    const int id = runner.Start({"sim:", {}});
    RunAll(runner);
    EXPECT_EQ(rec.finished.at(id).strMessage, "the session ended without a result (exit code 127)");
}

// A runner that goes away with sessions still running cancels them; each closes its port.
TEST(FleetRunner, ARunnerThatEndsCancelsItsSessionsAndWaitsForThem) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    Recorder rec;
    {
        fleet::RunnerSettings settings;
        settings.strProgram = kMorfw;
        settings.sessionArgs = {"--images", set.string()};
        fleet::Runner runner(settings, rec);
        bool bPartThree = false;
        rec.onLog = [&](const fleet::UnitState&, std::string_view text) {
            bPartThree = bPartThree || text == "Uploading firmware - part 3 of 5...\n";
        };
        for (const char* name : {"d1", "d2"})
            runner.Start({"sim:dump=" + (tmp.Path() / name).string(), {}});
        while (!bPartThree)
            runner.Wait(-1);
    }
    ASSERT_EQ(rec.finished.size(), 2u);
    for (const auto& [id, u] : rec.finished) {
        EXPECT_EQ(u.nExitCode, 5) << u.strMessage;
        EXPECT_TRUE(rec.logs[id].ends_with("User cancelled...\n\n")) << rec.logs[id];
    }
    EXPECT_TRUE(fs::exists(tmp.Path() / "d1"));
    EXPECT_TRUE(fs::exists(tmp.Path() / "d2"));
}

// --on-result: the unit's result object on standard input, its main fields in MORFW_ variables;
// a command that fails, is killed or hangs is said as such.
TEST(FleetResultCommand, GetsTheResultAndSaysWhatWentWrong) {
    TempDir tmp;
    const nlohmann::ordered_json result = {
        {"type", "result"},     {"port", "/dev/ttyUSB0"},
        {"status", "failed"},   {"exit_code", 1},
        {"elapsed", 12.5},      {"message", "upload failed in part 2 of 5"},
        {"operator", "Ann Lee"}};
    const std::string out = (tmp.Path() / "out").string();
    struct Case {
        std::string strCommand;
        int nSeconds;
        std::string strFailure;
    };
    const std::vector<Case> cases = {
        {"cat > '" + out + "'; env | grep '^MORFW_' | sort >> '" + out + "'", 30, ""},
        {"echo first; echo 'server said no' >&2; exit 3", 30,
         "the --on-result command exited with code 3: server said no"},
        // What it started is ended with it: the wait below would otherwise last a minute.
        {"sleep 60 & wait", 1, "the --on-result command did not end within 1 s and was ended"},
    };
    for (const Case& c : cases) {
        fleet::ResultCommand command(c.strCommand, result, c.nSeconds);
        command.RunToEnd();
        EXPECT_TRUE(command.Over());
        EXPECT_EQ(command.Failure(), c.strFailure) << c.strCommand;
    }
    const auto lines = Lines(ReadFile(out));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(Json::parse(lines[0]), Json::parse(result.dump()));
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + 1, lines.end()),
        (std::vector<std::string>{
            "MORFW_ADAPTER_SERIAL=", "MORFW_ELAPSED=12.5", "MORFW_EXIT_CODE=1",
            "MORFW_LOG_FILE=", "MORFW_MESSAGE=upload failed in part 2 of 5",
            "MORFW_OPERATOR=Ann Lee", "MORFW_PORT=/dev/ttyUSB0", "MORFW_RETRIES=", "MORFW_SERIAL=",
            "MORFW_STABLE_NAME=", "MORFW_STATION=", "MORFW_STATUS=failed", "MORFW_WORK_ORDER="}));
}

// The runner runs it once per finished unit while the run goes on, and records its failure
// below the unit's result, which stands. A session that wrote no record gets its result line
// and row from the runner.
TEST(FleetRunner, OnResultNeverHoldsTheRunUpAndItsFailureIsRecorded) {
    TempDir tmp;
    const fs::path go = tmp.Path() / "go";
    fleet::RunnerSettings settings;
    settings.strProgram = Script(
        tmp.Path(), "s", "echo '{\"type\":\"result\",\"status\":\"success\",\"exit_code\":0}'");
    settings.strLogDir = (tmp.Path() / "logs").string();
    fs::create_directories(settings.strLogDir);
    settings.record.trace = {
        "Ann Lee", "WO-4711", "line 2",
        "while [ ! -e '" + go.string() + "' ]; do sleep 0.05; done; exit 7", 30};
    Recorder rec;
    fleet::Runner runner(settings, rec);
    const int one = runner.Start({"u1", {}, "SN1"});
    const int two = runner.Start({"u2", {}});
    RunAll(runner);
    // Both units are finished while their commands still wait.
    EXPECT_EQ(rec.finished.size(), 2u);
    EXPECT_EQ(runner.ResultCommandCount(), 2);
    WriteFile(go, "");
    runner.FinishResultCommands();
    EXPECT_EQ(runner.ResultCommandCount(), 0);

    const auto rows = ParseCsv(ReadFile(fs::path(settings.strLogDir) / "results.csv"));
    ASSERT_EQ(rows.size(), 3u);
    for (const int id : {one, two}) {
        const fleet::UnitState& u = rec.finished.at(id);
        EXPECT_EQ(u.nExitCode, 0);
        EXPECT_EQ(u.result["operator"], "Ann Lee");
        EXPECT_EQ(u.result["serial"], id == one ? "SN1" : "");
        const std::string failure = "the --on-result command exited with code 7";
        EXPECT_EQ(rec.notices[id], std::vector<std::string>{failure});
        const auto log = Lines(ReadFile(u.strLogFile));
        ASSERT_GE(log.size(), 2u);
        EXPECT_TRUE(log[log.size() - 2].starts_with("---- result: success, exit code 0"));
        EXPECT_EQ(log.back(), "---- " + failure);
        // The rows come in the order the units ended.
        const auto row = std::find_if(rows.begin() + 1, rows.end(), [&u](const auto& r) {
            return r.at(2) == u.strPort;
        });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->at(7), "success");
        EXPECT_EQ(row->at(16), id == one ? "SN1" : "");
    }
}
