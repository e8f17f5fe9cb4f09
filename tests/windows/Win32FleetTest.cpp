// morfw.exe with several units at once, run as a user runs it under Wine: each unit is the
// single upload's session in a process of its own (same transcript, same records), one that
// fails or crashes fails alone, the records and the exit code say what happened, and a cancel
// reaches every unit. The station: its rehearsal, and COM ports that come and go. The test program
// also stands in for a session that crashes: started as "upload --port NAME ...", it plays the
// session NAME asks for.

#include "fleet/DeviceWatch.h"
#include "fleet/Runner.h"
#include "platform/CancelEventName.h"

#include "../TestTempDir.h"
#include "../TranscriptText.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/Win32.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

fs::path Beside(const wchar_t* pszName) {
    wchar_t sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    return fs::path(sz).parent_path() / pszName;
}

const fs::path kMorfw = Beside(L"morfw.exe");
const fs::path kSampleSet = Beside(L"MorFWImg");

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<Json> JsonLines(const std::string& text) {
    std::vector<Json> objects;
    for (const auto& line : Lines(text)) {
        Json j = Json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
        if (j.is_object())
            objects.push_back(std::move(j));
    }
    return objects;
}

std::string JoinedLogText(const std::vector<Json>& objects, const std::string& port) {
    std::string log;
    for (const auto& j : objects) {
        if (j["type"] == "log" && j["port"] == port)
            log += j["text"].get<std::string>();
    }
    return log;
}

std::string WithoutElapsed(const std::string& log) {
    return WithoutRetryMarks(std::regex_replace(
        log, std::regex("uploaded in [0-9:]+ \\(h:mm:ss\\)"), "uploaded in H:MM:SS (h:mm:ss)"));
}

// The sample set cut down to a few records per image, so that an upload takes seconds.
void MakeSmallSet(const fs::path& dir) {
    fs::create_directories(dir);
    WriteFile(dir / "Shutup.bin", ReadFile(kSampleSet / "Shutup.bin").substr(0, 32));
    WriteFile(dir / "BootI.bin", ReadFile(kSampleSet / "BootI.bin").substr(0, 32));
    WriteFile(dir / "SBoot.bin", ReadFile(kSampleSet / "SBoot.bin").substr(0, 128));
    for (const char* name : {"kernimg.s19", "Morvane.s19"}) {
        const auto lines = Lines(ReadFile(kSampleSet / name));
        std::string text;
        for (std::size_t i = 0; i < 4 && i < lines.size(); ++i)
            text += lines[i] + "\n";
        WriteFile(dir / name, text + lines.back() + "\n");
    }
    fs::copy_file(kSampleSet / "MorFWImg.ini", dir / "MorFWImg.ini");
}

class TempDir {
public:
    TempDir() : m_path(MakeTestTempDir("morfw-fleet-")) {}
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

std::wstring Quoted(const std::string& arg) {
    std::wstring w = fs::path(arg).wstring();
    return w.find_first_of(L" \t\"") == std::wstring::npos && !w.empty() ? w : L"\"" + w + L"\"";
}

// morfw.exe started with its output going to files the test reads as they grow.
class Program {
public:
    Program(const std::vector<std::string>& args, const fs::path& dir)
        : m_out(dir / "out.txt"), m_err(dir / "err.txt") {
        std::wstring cmd = L"morfw";
        for (const auto& a : args)
            cmd += L" " + Quoted(a);
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        const auto create = [&sa](const fs::path& p) {
            return CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               CREATE_ALWAYS, 0, nullptr);
        };
        const HANDLE hOut = create(m_out), hErr = create(m_err);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = hOut;
        si.hStdError = hErr;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(kMorfw.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
        CloseHandle(hOut);
        CloseHandle(hErr);
        CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
        m_dwPid = pi.dwProcessId;
    }
    ~Program() {
        if (m_hProcess) {
            TerminateProcess(m_hProcess, 99);
            CloseHandle(m_hProcess);
        }
    }
    std::string Out() const { return ReadFile(m_out); }
    std::string Err() const { return ReadFile(m_err); }
    // The operator's Ctrl-C as a runner would pass it on: the process's named cancel event.
    void Cancel() const {
        const HANDLE h =
            CreateEventA(nullptr, TRUE, FALSE, SessionCancelEventName(m_dwPid).c_str());
        SetEvent(h);
        CloseHandle(h);
    }
    // The exit code, or -1 when the program did not end in time.
    int Finish(std::chrono::seconds limit) {
        if (WaitForSingleObject(m_hProcess, static_cast<DWORD>(limit.count() * 1000)) != 0)
            return -1;
        DWORD dwCode = 0;
        GetExitCodeProcess(m_hProcess, &dwCode);
        CloseHandle(m_hProcess);
        m_hProcess = nullptr;
        return static_cast<int>(dwCode);
    }

private:
    fs::path m_out, m_err;
    HANDLE m_hProcess = nullptr;
    DWORD m_dwPid = 0;
};

struct RunResult {
    int nExitCode = -1;
    std::string strOut, strErr;
};

RunResult Morfw(const std::vector<std::string>& args, const fs::path& dir) {
    Program p(args, dir);
    RunResult r;
    r.nExitCode = p.Finish(300s);
    r.strOut = p.Out();
    r.strErr = p.Err();
    return r;
}

// One field list per CSV row (quoted fields with commas and doubled quotes).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool bQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (bQuoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (c == '"') {
            bQuoted = !bQuoted;
        } else if (!bQuoted && c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (!bQuoted && c == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
        } else if (bQuoted || c != '\r') {
            field += c;
        }
    }
    rows.pop_back(); // after the last CR LF
    return rows;
}

// The session a test asks this program to play, by its port's name.
int FakeSession(const std::string& strPort) {
    const auto say = [](const char* pszLine) {
        std::fputs(pszLine, stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    };
    say(R"({"type":"log","text":"Uploading firmware - part 1 of 5...\n"})");
    if (strPort == "crash")
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (strPort == "exit3")
        return 3;
    // The name as it arrived through the command line.
    say(Json{{"type", "notice"}, {"text", strPort}}.dump().c_str());
    // A unit that outlives its neighbours' ends, then succeeds.
    std::this_thread::sleep_for(2s);
    say(R"({"type":"result","status":"success","exit_code":0})");
    return 0;
}

} // namespace

TEST(WindowsManyUnits, ABatchWithAFailingUnitKeepsEachUnitsSessionAndRecords) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const auto dump = [&](const char* name) { return (tmp.Path() / name).string(); };
    const RunResult ref =
        Morfw({"upload", "--port", "sim:dump=" + dump("ref"), "--images", set.string(), "--json"},
              tmp.Path());
    ASSERT_EQ(ref.nExitCode, 0) << ref.strErr;
    std::string refLog;
    for (const auto& j : JsonLines(ref.strOut)) {
        if (j["type"] == "log")
            refLog += j["text"].get<std::string>();
    }

    const std::string good1 = "sim:seed=1,dump=" + dump("good1");
    const std::string failing = "sim:ok=0,seed=2";
    const std::string good2 = "sim:seed=3,dump=" + dump("good2");
    const fs::path logs = tmp.Path() / "records";
    const RunResult r =
        Morfw({"upload", "--images", set.string(), "--json", "--log-dir", logs.string(), "--port",
               good1, "--port", failing, "--port", good2, "--operator", "Ann Lee"},
              tmp.Path());
    EXPECT_EQ(r.nExitCode, 1) << r.strErr;
    EXPECT_EQ(r.strErr, "");

    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    std::map<std::string, Json> results;
    for (const auto& j : objects) {
        if (j["type"] == "result")
            results[j["port"]] = j;
    }
    ASSERT_EQ(results.size(), 3u);
    for (const std::string& port : {good1, good2}) {
        EXPECT_EQ(WithoutElapsed(JoinedLogText(objects, port)), WithoutElapsed(refLog)) << port;
        EXPECT_EQ(results[port]["status"], "success");
    }
    EXPECT_EQ(ReadFile(dump("good1")), ReadFile(dump("ref")));
    EXPECT_EQ(ReadFile(dump("good2")), ReadFile(dump("ref")));
    EXPECT_EQ(results[failing]["message"], "upload failed in part 2 of 5");
    EXPECT_TRUE(JoinedLogText(objects, failing).ends_with("Failed!!!  -> Out of retries!!!\n\n"));
    const Json& summary = objects.back();
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["exit_code"], 1);
    EXPECT_EQ(summary["units"], 3);
    EXPECT_EQ(summary["succeeded"], 2);

    // results.csv under the file's lock: a header and a row per unit, each naming its log file,
    // which holds the header, the transcript the unit's objects had, and the result.
    const auto rows = ParseCsv(ReadFile(logs / "results.csv"));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][2], "port");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 17u);
        const std::string& port = rows[i][2];
        const Json& result = results[port];
        EXPECT_EQ(rows[i][7], result["status"]) << port;
        EXPECT_EQ(rows[i][12], result["log_file"]) << port;
        EXPECT_EQ(rows[i][14], "Ann Lee");
        EXPECT_TRUE(std::regex_match(rows[i][0], std::regex("[-0-9]{10} [:0-9]{8} [-+][0-9]{4}")))
            << rows[i][0];
        const std::string file = ReadFile(rows[i][12]);
        std::size_t header = 0;
        for (int n = 0; n < 6; ++n)
            header = file.find('\n', header) + 1;
        EXPECT_EQ(file.substr(0, 10), "---- morfw");
        const std::string log = JoinedLogText(objects, port);
        EXPECT_EQ(file.substr(header, log.size()), log) << port;
        EXPECT_TRUE(Lines(file).back().starts_with("---- result: " + rows[i][7] + ", exit code " +
                                                   rows[i][8]))
            << file;
    }
}

// The operator's cancel reaches every running unit once; each logs "User cancelled..." and
// closes its line, and the run waits for all of them and ends as cancelled. The console's
// Ctrl-C and Ctrl-Break queue the same cancel as the named event this test sets.
TEST(WindowsManyUnits, ACancelReachesEveryUnitAndTheRunWaitsForAll) {
    TempDir tmp;
    const std::vector<std::string> ports = {"sim:seed=1,dump=" + (tmp.Path() / "d1").string(),
                                            "sim:seed=2,dump=" + (tmp.Path() / "d2").string()};
    // The whole sample set: part 3 takes long enough for the cancel to land in it.
    Program run({"upload", "--port", ports[0], "--port", ports[1]}, tmp.Path());
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    const auto inPartThree = [&] {
        const std::string out = run.Out();
        for (const auto& port : ports) {
            if (out.find(port + ": Uploading firmware - part 3 of 5...") == std::string::npos)
                return false;
        }
        return true;
    };
    while (!inPartThree() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(inPartThree()) << run.Out();
    run.Cancel();
    EXPECT_EQ(run.Finish(120s), 5) << run.Err();

    const std::string out = run.Out();
    for (const auto& port : ports) {
        EXPECT_NE(out.find(port + ": User cancelled...\n"), std::string::npos) << port;
        EXPECT_TRUE(fs::exists(port.substr(port.find("dump=") + 5))) << "a line was not closed";
    }
    EXPECT_NE(run.Err().find("morfw: cancel requested (Ctrl-C); every running upload stops at its "
                             "next check and closes its port\n"),
              std::string::npos)
        << run.Err();
    EXPECT_TRUE(std::regex_search(out, std::regex("\n2 units in [0-9:]+: 0 succeeded, 2 did not; "
                                                  "exit code 5\n$")))
        << out;
}

// A session that crashes (an exception nobody handles) or ends without a result fails alone and
// says how it ended; the runner judges every other unit by its own result. A port's name reaches
// its session as it is, blanks, quotes and backslashes included.
TEST(WindowsRunner, ACrashedSessionFailsAloneAndSaysHowItEnded) {
    struct Recorder : fleet::RunnerObserver {
        std::map<std::string, fleet::UnitState> finished;
        std::map<std::string, std::string> notices;
        void OnFinished(const fleet::UnitState& u) override { finished[u.strLabel] = u; }
        void OnNotice(const fleet::UnitState& u, std::string_view text) override {
            notices[u.strLabel] += text;
        }
    } rec;
    const std::string odd = "odd \"quoted\" a\\b\\\\ end\\";
    wchar_t sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    fleet::RunnerSettings settings;
    settings.strProgram = fs::path(sz).string();
    fleet::Runner runner(settings, rec);
    for (const std::string& port : {std::string("crash"), std::string("exit3"), odd})
        runner.Start({port, {}});
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (runner.RunningCount() > 0 && std::chrono::steady_clock::now() < deadline)
        runner.Wait(1000);
    ASSERT_EQ(rec.finished.size(), 3u);
    EXPECT_EQ(rec.finished["crash"].strMessage,
              "the session ended without a result (exception 0xC0000005)");
    EXPECT_EQ(rec.finished["crash"].nExitCode, 1);
    EXPECT_EQ(rec.finished["crash"].nPart, 1);
    EXPECT_EQ(rec.finished["exit3"].strMessage, "the session ended without a result (exit code 3)");
    EXPECT_EQ(rec.finished[odd].nExitCode, 0) << rec.finished[odd].strMessage;
    EXPECT_EQ(rec.finished[odd].strStatus, "success");
    EXPECT_EQ(rec.notices[odd], odd);
}

// The station's rehearsal: simulated units arrive at two fixtures one after another, each is
// flashed (fixture-2's fail part 2), taken out and followed by the next, until the operator
// cancels; then the day's summary and a row per unit.
TEST(WindowsStation, ARehearsalFlashesSimulatedUnitsOneAfterAnotherUntilCancelled) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    Program station({"station", "--rehearse", "2,fail=2,gap=0", "--images", set.string(),
                     "--log-dir", (tmp.Path() / "logs").string(), "--json"},
                    tmp.Path());
    const auto deadline = std::chrono::steady_clock::now() + 180s;
    const auto enough = [&] {
        std::map<std::string, int> results;
        for (const auto& line : Lines(station.Out())) {
            const Json j = Json::parse(line, nullptr, false);
            if (j.is_object() && j["type"] == "result")
                ++results[j["port"]];
        }
        return results["fixture-1"] >= 2 && results["fixture-2"] >= 1;
    };
    while (!enough() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(enough()) << station.Out() << station.Err();
    station.Cancel();
    const int nExitCode = station.Finish(120s);

    const auto objects = JsonLines(station.Out());
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.front()["type"], "station");
    EXPECT_EQ(objects.front()["watch"]["kind"], "rehearsal");
    // Per fixture: arrived, start, result (S success, F failed in part 2, C cancelled), left.
    std::map<std::string, std::string> order;
    int nResults = 0;
    for (const auto& j : objects) {
        const std::string type = j["type"];
        if (type == "device") {
            order[j["port"]] += j["event"] == "arrived" ? "a" : "l";
        } else if (type == "start") {
            order[j["port"]] += "s";
        } else if (type == "result") {
            ++nResults;
            order[j["port"]] += j["status"] == "success"                         ? "S"
                                : j["message"] == "upload failed in part 2 of 5" ? "F"
                                                                                 : "C";
        }
    }
    EXPECT_TRUE(order["fixture-1"].starts_with("asSlasS")) << order["fixture-1"];
    EXPECT_TRUE(order["fixture-2"].starts_with("asFl")) << order["fixture-2"];
    EXPECT_EQ(objects.back()["type"], "summary");
    EXPECT_EQ(objects.back()["units"], nResults);
    EXPECT_EQ(objects.back()["exit_code"], nExitCode);
    EXPECT_EQ(ParseCsv(ReadFile(tmp.Path() / "logs" / "results.csv")).size(),
              static_cast<std::size_t>(nResults) + 1);
}

// A USB adapter's COM port comes and goes in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the station's
// watch names its unit by the port while it is listed.
TEST(WindowsStation, AComPortIsAUnitWhileTheRegistryListsIt) {
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &hKey, nullptr) != 0)
        GTEST_SKIP() << "the serial ports' registry key cannot be written here";
    const wchar_t* pszValue = L"\\Device\\MorfwFleetTest";
    const std::wstring port = L"COM241";
    fleet::DeviceWatch watch(fleet::kSerialDeviceDir,
                             std::string(fleet::kSerialDeviceDir) + "COM24?");
    std::string strError;
    ASSERT_TRUE(watch.Start(strError)) << strError;
    std::vector<fleet::DeviceChange> changes;
    watch.Read(changes);
    EXPECT_TRUE(changes.empty()); // none of the ports there matches

    // Waits for the watch's next word, as a station does.
    const auto next = [&] {
        changes.clear();
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (changes.empty() && std::chrono::steady_clock::now() < end) {
            WaitForSingleObject(fleet::HandleOfWait(watch.Fd()), 1000);
            watch.Read(changes);
        }
    };
    RegSetValueExW(hKey, pszValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                   static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
    next();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].bAppeared);
    EXPECT_EQ(changes[0].strPath, "COM241");
    RegDeleteValueW(hKey, pszValue);
    RegCloseKey(hKey);
    next();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].bAppeared);
    EXPECT_EQ(changes[0].strPath, "COM241");
}

int main(int argc, char** argv) {
    if (argc > 3 && std::string(argv[1]) == "upload" && std::string(argv[2]) == "--port")
        return FakeSession(argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
