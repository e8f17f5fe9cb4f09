// morfw run as a user runs it: its own process, its command line, its output and exit code.
// Uploads go to the simulated unit; most use a small image set so that each takes seconds.

#include "ProgramRunner.h"
#include "ProgramTestSupport.h"

#include "image/Sha256.h"
#include "upload/UploadTexts.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

using namespace programtest;

// Exit codes as the manual page gives them.
constexpr int kSuccess = 0, kFailed = 1, kUsage = 2, kPort = 3, kImages = 4, kCancelled = 5;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

// Spoils the checksum of line nLine (from 1) of an S-record file.
void SpoilChecksum(const fs::path& file, std::size_t nLine) {
    auto lines = Lines(ReadFile(file));
    std::string& line = lines.at(nLine - 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    char& last = line.back();
    last = last == '0' ? '1' : '0';
    std::string text;
    for (const auto& l : lines)
        text += l + "\n";
    WriteFile(file, text);
}

RunResult Morfw(std::vector<std::string> args, std::chrono::milliseconds timeout = 240s) {
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = std::move(args);
    return RunProgram(spec, timeout);
}

} // namespace

// --- Command line ---------------------------------------------------------------------------

TEST(MorfwCommandLine, HelpVersionAndUsageErrors) {
    const RunResult version = Morfw({"--version"});
    EXPECT_EQ(version.nExitCode, kSuccess);
    EXPECT_TRUE(version.strOut.starts_with("morfw ")) << version.strOut;

    for (const char* command : {"upload", "check", "ports"}) {
        const RunResult help = Morfw({command, "--help"});
        EXPECT_EQ(help.nExitCode, kSuccess) << command;
        EXPECT_NE(help.strOut.find("morfw " + std::string(command)), std::string::npos);
    }
    const RunResult uploadHelp = Morfw({"upload", "--help"});
    for (const char* option : {"--port", "--images", "--slow", "--relaxed", "--log", "--json",
                               "--quiet", "--trace", "Exit codes"})
        EXPECT_NE(uploadHelp.strOut.find(option), std::string::npos) << option;

    EXPECT_EQ(Morfw({}).nExitCode, kUsage);
    EXPECT_EQ(Morfw({"flash"}).nExitCode, kUsage);
    EXPECT_EQ(Morfw({"upload", "--bogus"}).nExitCode, kUsage);
    EXPECT_EQ(Morfw({"upload", "--port"}).nExitCode, kUsage);
    EXPECT_EQ(Morfw({"upload", "--json", "--quiet", "--port", "sim:"}).nExitCode, kUsage);
    const RunResult badLog = Morfw({"upload", "--port", "sim:", "--log", "/nonexistent/dir/x.log"});
    EXPECT_EQ(badLog.nExitCode, kUsage);
    EXPECT_NE(badLog.strErr.find("/nonexistent/dir/x.log"), std::string::npos);
    EXPECT_EQ(badLog.strOut, ""); // refused before any session
}

// --- ports ------------------------------------------------------------------------------------

TEST(MorfwPorts, ListsWhatThisMachineHasOrSaysThereIsNone) {
    const RunResult text = Morfw({"ports"});
    EXPECT_EQ(text.nExitCode, kSuccess);
    EXPECT_EQ(text.strErr, "");
    const RunResult json = Morfw({"ports", "--json"});
    EXPECT_EQ(json.nExitCode, kSuccess);
    const auto objects = JsonLines(json.strOut);
    ASSERT_EQ(objects.size(), 1u);
    const Json& ports = objects[0]["ports"];
    ASSERT_TRUE(ports.is_array());

    if (ports.empty()) {
        EXPECT_EQ(text.strOut, "No serial ports found.\n");
    } else {
        // One line a port; an adapter's problems follow its line, indented.
        std::vector<std::string> lines;
        for (const auto& line : Lines(text.strOut)) {
            if (!line.starts_with("  "))
                lines.push_back(line);
        }
        ASSERT_EQ(lines.size(), ports.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string device = ports[i]["device"];
            EXPECT_TRUE(device.starts_with("/dev/")) << device;
            EXPECT_TRUE(lines[i].starts_with(device)) << lines[i];
        }
    }
}

// --- check ------------------------------------------------------------------------------------

TEST(MorfwCheck, AcceptsTheSampleSetBesideTheProgram) {
    const RunResult text = Morfw({"check"});
    EXPECT_EQ(text.nExitCode, kSuccess) << text.strOut;
    EXPECT_NE(text.strOut.find("Image set: " + fs::path(kSampleDir).string() + "/"),
              std::string::npos)
        << text.strOut;
    EXPECT_NE(text.strOut.find("The image set is valid."), std::string::npos);

    const RunResult json = Morfw({"check", "--json", "--images", kSampleDir});
    EXPECT_EQ(json.nExitCode, kSuccess);
    const auto objects = JsonLines(json.strOut);
    ASSERT_EQ(objects.size(), 1u);
    const Json& report = objects[0];
    EXPECT_EQ(report["valid"], true);
    EXPECT_EQ(report["exit_code"], kSuccess);
    ASSERT_EQ(report["files"].size(), 5u);
    int records = 0;
    for (const auto& f : report["files"]) {
        EXPECT_EQ(f["valid"], true) << f.dump();
        records += f.value("records", 0);
    }
    EXPECT_GT(records, 0);
    EXPECT_EQ(report["records"], records);
}

TEST(MorfwCheck, NamesEveryFaultOfABrokenSet) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    fs::remove(set / "BootI.bin");
    SpoilChecksum(set / "kernimg.s19", 3);
    WriteFile(set / "MorFWImg.ini", "[Other]\nx=1\n");

    const RunResult text = Morfw({"check", "--images", set.string()});
    EXPECT_EQ(text.nExitCode, kImages);
    EXPECT_NE(text.strOut.find("BootI.bin"), std::string::npos);
    EXPECT_NE(text.strOut.find("MISSING"), std::string::npos);
    EXPECT_NE(text.strOut.find("kernimg.s19, line 3: S-record checksum mismatch"),
              std::string::npos)
        << text.strOut;
    EXPECT_NE(text.strOut.find("Revision:  Unspecified"), std::string::npos);
    EXPECT_NE(text.strOut.find("2 files are missing or faulty"), std::string::npos);

    const RunResult json = Morfw({"check", "--json", "--images", set.string()});
    EXPECT_EQ(json.nExitCode, kImages);
    const Json report = JsonLines(json.strOut).at(0);
    EXPECT_EQ(report["valid"], false);
    EXPECT_EQ(report["files"][1]["found"], false);
    EXPECT_EQ(report["files"][3]["valid"], false);
    EXPECT_NE(report["files"][3]["error"].get<std::string>().find("line 3"), std::string::npos);
    EXPECT_EQ(report["files"][4]["valid"], true); // every file is checked
    EXPECT_EQ(report["revision"], "Unspecified");
}

// An S-record file saved with a byte-order mark, or with blank lines above its first record,
// keeps that record; a record the progress bar would not count (or count twice) is refused,
// naming file and line, so the unit can never miss a record while the upload says success.
TEST(MorfwCheck, ABomOrBlanksBeforeTheFirstRecordLoseNothingAndALowerCaseLineIsNoted) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    auto lines = Lines(ReadFile(set / "kernimg.s19"));
    lines.erase(lines.begin()); // no S0 line: the first line is a data record
    std::string text;
    for (const auto& l : lines)
        text += l + "\n";
    WriteFile(set / "kernimg.s19", "\xEF\xBB\xBF" + text);
    WriteFile(set / "Morvane.s19", " \r\n\n" + ReadFile(set / "Morvane.s19"));
    const RunResult good = Morfw({"check", "--json", "--images", set.string()});
    EXPECT_EQ(good.nExitCode, kSuccess) << good.strOut;
    const Json report = JsonLines(good.strOut).at(0);
    for (const int i : {3, 4}) {
        EXPECT_EQ(report["files"][i]["records"], 3) << report.dump();
        EXPECT_EQ(report["files"][i]["counted_records"], 3) << report.dump();
    }

    // The second record's line turned into lower case: sent like the others, only the
    // progress bar (which counts capital S1) ends short of it, and the check notes that.
    lines[1][0] = 's';
    text.clear();
    for (const auto& l : lines)
        text += l + "\n";
    WriteFile(set / "kernimg.s19", text);
    const RunResult lower = Morfw({"check", "--images", set.string()});
    EXPECT_EQ(lower.nExitCode, kSuccess) << lower.strOut;
    EXPECT_NE(lower.strOut.find("note: the progress bar counts 2 records here"), std::string::npos)
        << lower.strOut;
}

TEST(MorfwCheck, RefusesABootImageThatDoesNotFitABootFrame) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    WriteFile(set / "Shutup.bin", std::string(4096, '\x5A'));
    const RunResult text = Morfw({"check", "--images", set.string()});
    EXPECT_EQ(text.nExitCode, kImages);
    EXPECT_NE(text.strOut.find("Shutup.bin: 4096 bytes; a boot image can have at most 4095"),
              std::string::npos)
        << text.strOut;
}

// The revision is the INI file's text: printed with its control characters escaped (a CR must
// not overwrite the verdict), exact in JSON; when it is the default, the check says why.
TEST(MorfwCheck, TheRevisionIsEscapedAndTheDefaultExplained) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    fs::remove(set / "BootI.bin");
    const std::string forged = "1.0\x1B[2K\x07\rThe image set is valid.";
    WriteFile(set / "MorFWImg.ini", "[Firmware_Info]\nVerion=" + forged + "\n");
    const RunResult text = Morfw({"check", "--images", set.string()});
    EXPECT_EQ(text.nExitCode, kImages);
    EXPECT_NE(text.strOut.find("Revision:  1.0\\x1B[2K\\x07\\rThe image set is valid.\n"),
              std::string::npos)
        << text.strOut;
    EXPECT_EQ(text.strOut.find_first_of("\x1B\x07\r"), std::string::npos);
    const RunResult json = Morfw({"check", "--json", "--images", set.string()});
    EXPECT_EQ(JsonLines(json.strOut).at(0)["revision"], forged);

    // The reasons themselves are the INI lookup's; here the way they are shown.
    fs::remove(set / "MorFWImg.ini");
    fs::create_directory(set / "MorFWImg.ini");
    const std::string note = "MorFWImg.ini: not a regular file";
    EXPECT_NE(Morfw({"check", "--images", set.string()})
                  .strOut.find("Revision:  Unspecified  (" + note + ")\n"),
              std::string::npos);
    const Json report =
        JsonLines(Morfw({"check", "--json", "--images", set.string()}).strOut).at(0);
    EXPECT_EQ(report["revision"], "Unspecified");
    EXPECT_EQ(report["revision_note"], note);
}

// A verdict nobody can read is no success: a valid set ends with 6, an invalid one keeps 4.
TEST(MorfwCheck, AReportThatCannotBeWrittenIsNoSuccess) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    for (const int expected : {6, kImages}) {
        for (const char* json : {"", "--json"}) {
            RunSpec spec;
            spec.strProgram = "/bin/sh";
            spec.args = {"-c", "exec \"$0\" check --images \"$1\" $2 >/dev/full", kMorfw,
                         set.string(), json};
            const RunResult r = RunProgram(spec);
            EXPECT_EQ(r.nExitCode, expected) << json;
            EXPECT_EQ(r.strErr, "morfw: cannot write the report to standard output: No space left "
                                "on device\n");
        }
        fs::remove(set / "SBoot.bin");
    }
}

// The image directory is the one beside the program file, however the program was started:
// through PATH by a bare name, from another working directory, through a symbolic link.
TEST(MorfwCheck, FindsTheImagesBesideItsOwnFileWhereverItIsStartedFrom) {
    TempDir tmp;
    const fs::path links = tmp.Path() / "links", elsewhere = tmp.Path() / "elsewhere";
    fs::create_directories(links);
    fs::create_directories(elsewhere / "MorFWImg"); // a decoy in the working directory
    fs::create_symlink(kMorfw, links / "morfw");

    RunSpec spec;
    spec.strProgram = "morfw";
    spec.strArgv0 = "morfw";
    spec.env["PATH"] = links.string();
    spec.strCwd = elsewhere.string();
    spec.args = {"check"};
    const RunResult viaPath = RunProgram(spec);
    EXPECT_EQ(viaPath.nExitCode, kSuccess) << viaPath.strOut;
    EXPECT_NE(viaPath.strOut.find("Image set: " + fs::path(kSampleDir).string() + "/"),
              std::string::npos)
        << viaPath.strOut;

    // A copy of the program elsewhere looks beside the copy, not where it was built.
    const fs::path copyDir = tmp.Path() / "copy";
    fs::create_directories(copyDir);
    fs::copy_file(kMorfw, copyDir / "morfw");
    spec.strProgram = (copyDir / "morfw").string();
    spec.env.clear();
    const RunResult copy = RunProgram(spec);
    EXPECT_EQ(copy.nExitCode, kImages);
    EXPECT_NE(copy.strOut.find("Image set: " + (copyDir / "MorFWImg/").string()), std::string::npos)
        << copy.strOut;
}

// --- upload -----------------------------------------------------------------------------------

// The whole sample set to the simulated unit, with --json parsed line by line and --log.
TEST(MorfwUpload, UploadsTheSampleSetToTheSimulatedUnit) {
    TempDir tmp;
    const fs::path logFile = tmp.Path() / "upload.log";
    WriteFile(logFile, "an earlier line\n");
    const RunResult r = Morfw({"upload", "--port", "sim:", "--json", "--log", logFile.string()});
    ASSERT_EQ(r.nExitCode, kSuccess) << r.strOut << r.strErr;
    EXPECT_EQ(r.strErr, "");

    const auto objects = JsonLines(r.strOut);
    ASSERT_GE(objects.size(), 3u);
    EXPECT_EQ(objects.front()["type"], "start");
    EXPECT_EQ(objects.front()["port"], "sim:");
    EXPECT_EQ(objects.front()["slow"], false);
    const Json& result = objects.back();
    EXPECT_EQ(result["type"], "result");
    EXPECT_EQ(result["status"], "success");
    EXPECT_EQ(result["exit_code"], kSuccess);
    EXPECT_GT(result["elapsed"].get<double>(), 0.0);

    // The log text, exactly as the session writes it, stage by stage.
    const std::string log = JoinedLogText(objects);
    const std::regex transcript("Using high baudrate bootstrap mode\n"
                                "Loading the firmware image files\\.\\.\\.  -> Succeeded\n"
                                "Opening COM port\\.\\.\\.  -> Succeeded\n"
                                "Uploading firmware - part 1 of 5\\.\\.\\.\n# \\+* Succeeded\n"
                                "Uploading firmware - part 2 of 5\\.\\.\\.\n# [+*]* Succeeded\n"
                                "Uploading firmware - part 3 of 5\\.\\.\\.\n# [.!\n+ ]* Succeeded\n"
                                "Uploading firmware - part 4 of 5\\.\\.\\.\n# [.!\n+ ]* Succeeded\n"
                                "Uploading firmware - part 5 of 5\\.\\.\\.\n# [.!\n+ ]* Succeeded\n"
                                "Firmware uploaded in 0:00:[0-5][0-9] \\(h:mm:ss\\)\n\n\n");
    EXPECT_TRUE(std::regex_match(log, transcript)) << log;

    // Progress: the bar's range is the set's record count, and every record is counted.
    const RunResult check = Morfw({"check", "--json"});
    const int records = JsonLines(check.strOut).at(0)["records"];
    int lastPosition = -1, range = -1, lastRecords = -1;
    for (const auto& j : objects) {
        if (j["type"] == "progress") {
            range = j["range"];
            lastPosition = j["position"];
            lastRecords = j["records"];
        }
    }
    EXPECT_EQ(range, records);
    EXPECT_EQ(lastPosition, records);
    EXPECT_GE(lastRecords, records - 20); // the last step comes before the stage's last records
    EXPECT_EQ(static_cast<int>(Count(log, ".")) - 5 * 3 - 2 * 3, records); // dots of the lines

    // The success box once, as a message.
    int successBoxes = 0;
    for (const auto& j : objects) {
        if (j["type"] == "message") {
            EXPECT_EQ(j["kind"], "information");
            EXPECT_EQ(j["text"], MSG_UPLOAD_SUCCESSFUL);
            ++successBoxes;
        }
    }
    EXPECT_EQ(successBoxes, 1);

    // The log file: what was there, the header, the log text, the result.
    const std::string file = ReadFile(logFile);
    const auto fileLines = Lines(file);
    ASSERT_GE(fileLines.size(), 3u);
    EXPECT_EQ(fileLines[0], "an earlier line");
    // The header's start as it always was, then the digest of every image file sent.
    const std::string digests = ", sha256 " + DescribeDigests(DigestImageSet(kSampleDir + "/"));
    ASSERT_TRUE(fileLines[1].ends_with(digests)) << fileLines[1];
    EXPECT_EQ(digests.find("unreadable"), std::string::npos) << digests;
    EXPECT_TRUE(
        std::regex_match(fileLines[1].substr(0, fileLines[1].size() - digests.size()),
                         std::regex("---- morfw [0-9.]+, [0-9]{4}-[0-9]{2}-[0-9]{2} "
                                    "[0-9:]{8} [-+][0-9]{4}, port sim:, images .*/MorFWImg/, "
                                    "options: --json")))
        << fileLines[1];
    // Then who flashed it where (nothing given: the host name only).
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(fileLines[2], "---- station " + std::string(host) +
                                ", operator none, work order none, serial none");
    const std::string header = "an earlier line\n" + fileLines[1] + "\n" + fileLines[2] + "\n";
    EXPECT_EQ(file.substr(header.size(), log.size()), log);
    EXPECT_TRUE(fileLines.back().starts_with("---- result: success, exit code 0, elapsed 0:"))
        << fileLines.back();
}

// The text form and the quiet form of the same successful upload (small set).
TEST(MorfwUpload, TextAndQuietOutput) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const std::string set = (tmp.Path() / "set").string();

    const RunResult text = Morfw({"upload", "--port", "sim:", "--images", set, "--slow"});
    ASSERT_EQ(text.nExitCode, kSuccess) << text.strOut << text.strErr;
    EXPECT_EQ(text.strErr, "");
    EXPECT_TRUE(text.strOut.starts_with("Using low baudrate bootstrap mode\n"
                                        "Loading the firmware image files...  -> Succeeded\n"))
        << text.strOut;
    EXPECT_EQ(text.strOut.find('\r'), std::string::npos); // line feeds, no escape sequences
    EXPECT_EQ(text.strOut.find('\033'), std::string::npos);
    EXPECT_TRUE(std::regex_search(text.strOut,
                                  std::regex("Firmware uploaded in 0:00:[0-9]{2} \\(h:mm:ss\\)\n\n"
                                             "Firmware upload appears to be successful\\.\n\n$")))
        << text.strOut;

    const RunResult quiet = Morfw({"upload", "--port", "sim:", "--images", set, "--quiet"});
    EXPECT_EQ(quiet.nExitCode, kSuccess);
    EXPECT_EQ(quiet.strOut, std::string(MSG_UPLOAD_SUCCESSFUL) + "\n");
    EXPECT_EQ(quiet.strErr, "");
}

TEST(MorfwUpload, AMissingImageEndsWithTheImageCodeWithoutOpeningThePort) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    fs::remove(set / "Morvane.s19");
    const RunResult r = Morfw({"upload", "--port", "sim:", "--images", set.string(), "--relaxed"});
    EXPECT_EQ(r.nExitCode, kImages);
    EXPECT_EQ(r.strOut, "Using high baudrate bootstrap mode\n"
                        "Loading the firmware image files...  -> Failed!!!\n" +
                            (set / "Morvane.s19").string() +
                            ": cannot open: No such file or directory\n\n");
    // The option's warning once, then the result line naming the file.
    EXPECT_EQ(Count(r.strErr, MSG_RELAXED_WARNING), 1u);
    EXPECT_NE(r.strErr.find("morfw: the image set in " + set.string() +
                            "/ is missing or invalid: " + (set / "Morvane.s19").string()),
              std::string::npos)
        << r.strErr;
}

TEST(MorfwUpload, AnInvalidSRecordFileEndsWithTheImageCodeAndNamesTheLine) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    SpoilChecksum(set / "Morvane.s19", 2);
    const RunResult r = Morfw({"upload", "--port", "sim:", "--images", set.string(), "-q"});
    EXPECT_EQ(r.nExitCode, kImages);
    EXPECT_EQ(r.strOut, "");
    EXPECT_NE(r.strErr.find("Morvane.s19, line 2: S-record checksum mismatch"), std::string::npos)
        << r.strErr;
}

TEST(MorfwUpload, APortThatDoesNotExistEndsWithThePortCode) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const RunResult r = Morfw({"upload", "--port", "/dev/ttyMORFW-NO-SUCH-PORT", "--images",
                               (tmp.Path() / "set").string()});
    EXPECT_EQ(r.nExitCode, kPort);
    EXPECT_TRUE(r.strOut.ends_with("Opening COM port...  -> Failed!!!\n\n")) << r.strOut;
    EXPECT_EQ(Count(r.strErr, MSG_PORT_NOT_OPEN), 1u) << r.strErr;
    // The last line says what the system found, and which ports there are.
    EXPECT_NE(r.strErr.find("morfw: serial port /dev/ttyMORFW-NO-SUCH-PORT could not be opened: "
                            "no such device: /dev/ttyMORFW-NO-SUCH-PORT ("),
              std::string::npos)
        << r.strErr;
}

// The operator's own terminal is not a port: a bare "tty" would be /dev/tty, and firmware
// sent to it would leave it raw. The JSON result carries the reason too.
TEST(MorfwUpload, TheSessionsOwnTerminalIsRefusedAsAPort) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const RunResult r =
        Morfw({"upload", "--port", "tty", "--images", (tmp.Path() / "set").string(), "--json"});
    EXPECT_EQ(r.nExitCode, kPort);
    const std::string why =
        "not a serial port: /dev/tty is the terminal of this session (/dev/tty)";
    EXPECT_NE(r.strOut.find("\"detail\":\"" + why + "\""), std::string::npos) << r.strOut;
    EXPECT_NE(r.strOut.find("\"message\":\"serial port tty could not be opened: " + why + "\""),
              std::string::npos)
        << r.strOut;
}

// An empty or overlong name is the dialog's empty port box: its message box, the port code.
TEST(MorfwUpload, AnEmptyOrOverlongPortNameGetsTheDialogsBox) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    for (const std::string& name : {std::string(), std::string(300, 'x')}) {
        const RunResult r =
            Morfw({"upload", "--port", name, "--images", (tmp.Path() / "set").string()});
        EXPECT_EQ(r.nExitCode, kPort);
        EXPECT_EQ(r.strOut, "Using high baudrate bootstrap mode\n"
                            "Loading the firmware image files...  -> Succeeded\n\n");
        EXPECT_TRUE(r.strErr.starts_with(std::string(MSG_SELECT_PORT) + "\n")) << r.strErr;
        EXPECT_EQ(Count(r.strErr, MSG_SELECT_PORT), 1u);
    }
}

TEST(MorfwUpload, WithoutAPortNamedAndNotExactlyOneListedItSaysSo) {
    const auto ports = JsonLines(Morfw({"ports", "--json"}).strOut).at(0)["ports"];
    // The kernel console is listed but never used.
    const auto nUsable = std::count_if(ports.begin(), ports.end(),
                                       [](const Json& p) { return p["console"] != true; });
    if (nUsable == 1)
        GTEST_SKIP() << "this machine lists exactly one port, which morfw would use";
    const RunResult r = Morfw({"upload", "--images", kSampleDir});
    EXPECT_EQ(r.nExitCode, kPort);
    EXPECT_EQ(r.strOut, "");
    EXPECT_NE(r.strErr.find("--port"), std::string::npos) << r.strErr;
    for (const auto& p : ports)
        EXPECT_NE(r.strErr.find(p["device"].get<std::string>()), std::string::npos);
}

TEST(MorfwUpload, AUnitThatNeverAnswersOkFailsPartTwo) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const RunResult r = Morfw(
        {"upload", "--port", "sim:ok=0", "--images", (tmp.Path() / "set").string(), "--trace"});
    EXPECT_EQ(r.nExitCode, kFailed);
    // --trace: the session's traces on standard error, one line each.
    EXPECT_EQ(Count(r.strErr, "CMorFWUploadDlg::UploadBootI:  WaitRxBreak timed out\n"), 15u)
        << r.strErr;
    EXPECT_TRUE(std::regex_search(r.strOut, std::regex("Uploading firmware - part 2 of 5\\.\\.\\.\n"
                                                       "# [+]*(\\*[+]*){15} Failed!!!  -> Out of "
                                                       "retries!!!\n\n$")))
        << r.strOut;
    EXPECT_NE(r.strErr.find("morfw: upload failed in part 2 of 5"), std::string::npos);
}

// Ctrl-C during part 3, and again while the session winds down: the guard runs to its end,
// "User cancelled..." is logged, the line is closed (the simulated unit writes its dump when
// its line closes), and the exit code says cancelled.
TEST(MorfwUpload, CtrlCDuringPartThreeCancelsThroughTheGuard) {
    TempDir tmp;
    const fs::path dump = tmp.Path() / "unit.dump";
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"upload", "--port", "sim:dump=" + dump.string(), "--json"};
    ChildProcess child(spec);

    int dotsInPartThree = 0;
    bool bInPartThree = false;
    while (dotsInPartThree < 5) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "no part 3 records";
        const Json j = Json::parse(*line);
        if (j["type"] != "log")
            continue;
        const std::string text = j["text"];
        if (text == "Uploading firmware - part 3 of 5...\n")
            bInPartThree = true;
        else if (bInPartThree && text == ".")
            ++dotsInPartThree;
    }
    child.Signal(SIGINT);
    std::this_thread::sleep_for(50ms);
    child.Signal(SIGINT); // must not cut the guard short
    const RunResult r = child.Finish(60s);
    EXPECT_EQ(r.nSignal, 0);
    EXPECT_EQ(r.nExitCode, kCancelled) << r.strOut << r.strErr;

    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    const std::string log = JoinedLogText(objects);
    // Part 3's line ends where the cancel was seen; the guard closes it and reports.
    EXPECT_TRUE(std::regex_search(log, std::regex("Uploading firmware - part 3 of 5\\.\\.\\.\n"
                                                  "# \\.{5,}[.!]*\nUser cancelled\\.\\.\\.\n\n$")))
        << log;
    EXPECT_EQ(log.find("Uploading firmware - part 4 of 5"), std::string::npos);
    EXPECT_EQ(log.find("Failed"), std::string::npos);
    int notices = 0;
    for (const auto& j : objects)
        notices += j["type"] == "notice" ? 1 : 0;
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(objects.back()["type"], "result");
    EXPECT_EQ(objects.back()["status"], "cancelled");
    EXPECT_EQ(objects.back()["exit_code"], kCancelled);
    EXPECT_TRUE(fs::exists(dump)) << "the line was not closed";
}

// A cancel that comes in the pause before the final exchange stops nothing: the unit gets every
// record and answers the exchange. The session still ends as cancelled, and every record of it
// says that the unit had received every record.
TEST(MorfwUpload, ACancelAfterTheLastRecordSaysTheUnitHadEveryRecord) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const fs::path logFile = tmp.Path() / "upload.log";
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"upload", "--port", "sim:",          "--images", (tmp.Path() / "set").string(),
                 "--json", "--log",  logFile.string()};
    ChildProcess child(spec);
    // The small set's part 5 has three records; after the third, its 2 s pause.
    int dots = -1;
    while (dots < 3) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "part 5 never sent its records";
        const Json j = Json::parse(*line);
        if (j["type"] == "log" && j["text"] == "Uploading firmware - part 5 of 5...\n")
            dots = 0;
        else if (dots >= 0 && j["type"] == "log" && j["text"] == ".")
            ++dots;
    }
    std::this_thread::sleep_for(1s);
    child.Signal(SIGINT);
    const RunResult r = child.Finish(60s);
    EXPECT_EQ(r.nExitCode, kCancelled) << r.strOut << r.strErr;
    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    EXPECT_TRUE(JoinedLogText(objects).ends_with("# ... Succeeded\n\nUser cancelled...\n\n"))
        << JoinedLogText(objects);
    EXPECT_EQ(objects.back()["status"], "cancelled");
    EXPECT_EQ(objects.back()["message"], "cancelled after the unit had received every record");
    EXPECT_TRUE(std::regex_match(Lines(ReadFile(logFile)).back(),
                                 std::regex("---- result: cancelled, exit code 5, elapsed "
                                            "0:[0-9]{2}, cancelled after the unit had received "
                                            "every record")))
        << ReadFile(logFile);
}

// Two sessions on one --log file: each record lands whole (header, transcript, result), nothing
// is lost, and each session names who flashed the unit and hands its result on.
TEST(MorfwUpload, TwoSessionsOnOneLogFileEachLandWhole) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const fs::path logFile = tmp.Path() / "shared.log";
    const fs::path handed = tmp.Path() / "handed.json";
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const char* port : {"sim:seed=1", "sim:seed=2"}) {
        RunSpec spec;
        spec.strProgram = kMorfw;
        spec.args = {"upload", "--port", port, "--images", (tmp.Path() / "set").string(), "--json"};
        spec.args.insert(spec.args.end(), {"--log", logFile.string(), "--operator", "Ann Lee",
                                           "--station", "line 2", "--work-order", "WO-4711"});
        if (children.empty())
            spec.args.insert(spec.args.end(), {"--on-result", "cat > '" + handed.string() + "'"});
        children.push_back(std::make_unique<ChildProcess>(spec));
    }
    std::map<std::string, std::string> transcripts;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const RunResult r = children[i]->Finish(120s);
        ASSERT_EQ(r.nExitCode, kSuccess) << r.strErr;
        const auto objects = JsonLines(r.strOut);
        ASSERT_FALSE(objects.empty());
        const Json& result = objects.back();
        transcripts[result["port"]] = JoinedLogText(objects);
        EXPECT_EQ(result["operator"], "Ann Lee");
        EXPECT_EQ(result["station"], "line 2");
        EXPECT_EQ(result["work_order"], "WO-4711");
        EXPECT_EQ(result["log_file"], logFile.string());
        if (i == 0) {
            EXPECT_EQ(Json::parse(ReadFile(handed)), result);
        }
    }
    // The file: two records, each whole from its header to its result line, nothing beside it.
    const std::string file = ReadFile(logFile);
    EXPECT_EQ(Count(file, "---- morfw "), 2u) << file;
    for (const auto& [port, transcript] : transcripts) {
        const auto header = file.find(", port " + port + ", ");
        ASSERT_NE(header, std::string::npos) << file;
        const std::string rest = "\n---- station line 2, operator Ann Lee, work order WO-4711, "
                                 "serial none\n" + transcript + "---- result: success, exit code 0";
        EXPECT_EQ(file.find(rest, header), file.find('\n', header)) << file;
    }
    for (const auto& entry : fs::directory_iterator(tmp.Path()))
        EXPECT_FALSE(entry.path().string().ends_with(".part")) << entry.path();
}

// A session killed outright leaves its record so far beside the shared file, which gets no
// half record.
TEST(MorfwUpload, AKilledSessionsRecordIsKeptBesideTheLogFile) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    const fs::path logFile = tmp.Path() / "shared.log";
    WriteFile(logFile, "an earlier record\n");
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"upload", "--port", "sim:", "--images", (tmp.Path() / "set").string(), "--json",
                 "--log", logFile.string()};
    ChildProcess child(spec);
    std::string log;
    while (!log.ends_with("Uploading firmware - part 3 of 5...\n")) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "no part 3";
        const Json j = Json::parse(*line);
        if (j["type"] == "log")
            log += j["text"].get<std::string>();
    }
    const pid_t pid = child.Pid();
    child.Signal(SIGKILL);
    child.Finish(60s);
    EXPECT_EQ(ReadFile(logFile), "an earlier record\n");
    const std::string part = ReadFile(logFile.string() + "." + std::to_string(pid) + ".part");
    ASSERT_TRUE(part.starts_with("---- morfw ")) << part;
    EXPECT_NE(part.find("\n" + log), std::string::npos) << part;
}

// --- Nothing that cannot be sent right reaches the unit ---------------------------------------

// Sets that would send a part only in name, or a boot image that cannot go out: the check and
// the upload refuse them alike, and the upload never opens its port.
TEST(MorfwTrust, ImagesThatCannotBeSentRightAreRefusedByTheCheckAndTheUploadAlike) {
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::string("S1040000FFFC\r\n"))
        utf16 += std::string{c, '\0'};
    const std::vector<std::tuple<std::string, std::string, std::string>> faults = {
        {"SBoot.bin", "", ": empty file; part 3 of 5 would send nothing to the unit"},
        {"BootI.bin", "", ": empty file; part 2 of 5 would send nothing to the unit"},
        {"kernimg.s19", "S0030000FC\nS9030000FC\n",
         ": no S1 data record; part 4 of 5 would send nothing to the unit"},
        {"Morvane.s19", utf16,
         ": UTF-16 text (S-record files are ASCII text), no S1 data record; part 5 of 5 would "
         "send nothing to the unit"},
        {"BootI.bin", std::string(5000, 'x'), ": 5000 bytes; a boot image can have at most 4095"},
        // A damaged S1 line is refused, never skipped; so are a wrong count record, a record
        // after the termination record and an S1 record that runs past 0xFFFF.
        {"Morvane.s19", "S1040000FFFC\nX1040000FFFC\nS9030000FC\n",
         ", line 2: not an S-record: 'X' at column 1 instead of S"},
        {"Morvane.s19", "S1040000FFFC\nS5030002FA\nS9030000FC\n",
         ", line 2: S5 count record says 2 data records, but 1 S1 record precedes it"},
        {"kernimg.s19", "S9030000FC\nS1040000FFFC\n",
         ", line 2: line after the termination record (S9 in line 1); only padding (NUL, Ctrl-Z, "
         "blanks, line ends) may follow it"},
        {"kernimg.s19", "S123FFF0" + std::string(64, '0') + "ED\nS9030000FC\n",
         ", line 1: S1 record at 0xFFF0 with 32 data bytes runs past 0xFFFF (to 0x1000F)"},
    };
    for (const auto& [name, bytes, reason] : faults) {
        TempDir tmp;
        const fs::path set = tmp.Path() / "set";
        MakeSmallSet(set);
        WriteFile(set / name, bytes);
        const std::string line = (set / name).string() + reason;

        const RunResult check = Morfw({"check", "--images", set.string()});
        EXPECT_EQ(check.nExitCode, kImages) << name;
        EXPECT_NE(check.strOut.find("       " + line + "\n"), std::string::npos) << check.strOut;

        const RunResult upload = Morfw({"upload", "--port", "sim:", "--images", set.string()});
        EXPECT_EQ(upload.nExitCode, kImages) << name;
        EXPECT_EQ(upload.strOut, "Using high baudrate bootstrap mode\n"
                                 "Loading the firmware image files...  -> Failed!!!\n" +
                                     line + "\n\n");
        EXPECT_NE(upload.strErr.find("is missing or invalid: " + line), std::string::npos)
            << upload.strErr;
    }
}

// The converter sends s1 lines like S1 lines, so they are no fault; the unit gets every one.
TEST(MorfwTrust, LowerCaseS1LinesAreCheckedValidAndUploadedInFull) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    std::string kernel = ReadFile(set / "kernimg.s19");
    std::size_t nLines = 0;
    for (std::size_t p = kernel.find("S1"); p != std::string::npos; p = kernel.find("S1", p)) {
        kernel[p] = 's';
        ++nLines;
    }
    ASSERT_EQ(nLines, 3u);
    WriteFile(set / "kernimg.s19", kernel);
    EXPECT_EQ(Morfw({"check", "--images", set.string()}).nExitCode, kSuccess);

    const fs::path dump = tmp.Path() / "unit.dump";
    const RunResult r = Morfw(
        {"upload", "--port", "sim:dump=" + dump.string(), "--images", set.string(), "--quiet"});
    EXPECT_EQ(r.nExitCode, kSuccess) << r.strErr;
    EXPECT_EQ(Count(ReadFile(dump), "kernel 1 "), nLines);
}

// An unset variable in a script must not quietly upload the set beside the program.
TEST(MorfwTrust, AnEmptyImageDirectoryIsAUsageError) {
    for (const auto& args : {std::vector<std::string>{"upload", "--images", "", "--port", "sim:"},
                             std::vector<std::string>{"check", "--images", ""}}) {
        const RunResult r = Morfw(args);
        EXPECT_EQ(r.nExitCode, kUsage) << args[0];
        EXPECT_EQ(r.strOut, "");
        EXPECT_NE(r.strErr.find("--images: the image directory is empty"), std::string::npos);
    }
}

// A log file that cannot be written is said once, in the text and in JSON; a success without
// its record ends with 6, a failure keeps its own code.
TEST(MorfwTrust, ALogFileThatCannotBeWrittenIsReportedOnceAndTheSuccessIsNotPlain) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const std::string notice =
        "cannot write the log file /dev/full: No space left on device; the record of this "
        "upload is incomplete";

    const RunResult text =
        Morfw({"upload", "--port", "sim:", "--images", set.string(), "--log", "/dev/full"});
    EXPECT_EQ(text.nExitCode, 6) << text.strErr;
    EXPECT_EQ(Count(text.strErr, notice), 1u) << text.strErr;
    EXPECT_NE(text.strOut.find(MSG_UPLOAD_SUCCESSFUL), std::string::npos);

    const RunResult json = Morfw(
        {"upload", "--port", "sim:", "--images", set.string(), "--log", "/dev/full", "--json"});
    EXPECT_EQ(json.nExitCode, 6);
    const auto objects = JsonLines(json.strOut);
    ASSERT_FALSE(objects.empty());
    int notices = 0;
    for (const auto& j : objects)
        notices += j["type"] == "notice" && j["text"] == notice ? 1 : 0;
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(objects.back()["status"], "log_file");
    EXPECT_EQ(objects.back()["log_file_error"], notice);

    fs::remove(set / "SBoot.bin");
    const RunResult failed =
        Morfw({"upload", "--port", "sim:", "--images", set.string(), "--log", "/dev/full"});
    EXPECT_EQ(failed.nExitCode, kImages);
    EXPECT_EQ(Count(failed.strErr, notice), 1u) << failed.strErr;
}

// The simulated unit's own options fail the port's open with their reason, and its dump holds
// exactly the records it answered before its line went away.
TEST(MorfwTrust, SimDumpAndUnplugOptionsAreRefusedOrKeptExactly) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"sim:dump=" + tmp.Path().string(),
         "sim: dump=" + tmp.Path().string() + ": cannot write: Is a directory"},
        {"sim:dump=" + (tmp.Path() / "no" / "unit.dump").string(),
         "sim: dump=" + (tmp.Path() / "no" / "unit.dump").string() +
             ": cannot write: No such file or directory"},
        {"sim:unplug=0", "sim: unplug=0: expected a record count from 1"},
    };
    for (const auto& [port, reason] : bad) {
        const RunResult r = Morfw({"upload", "--port", port, "--images", set.string(), "-q"});
        EXPECT_EQ(r.nExitCode, kPort) << port;
        EXPECT_NE(r.strErr.find("could not be opened: " + reason), std::string::npos) << r.strErr;
    }
    EXPECT_FALSE(fs::exists(tmp.Path() / "no"));

    // The small set has 2 + 3 + 3 records: the line goes away in part 4, after 4 answers.
    const fs::path dump = tmp.Path() / "unit.dump";
    const RunResult r = Morfw({"upload", "--port", "sim:unplug=4,dump=" + dump.string(), "--images",
                               set.string(), "--json"});
    EXPECT_EQ(r.nExitCode, kFailed);
    EXPECT_EQ(Lines(ReadFile(dump)).size(), 4u) << ReadFile(dump);
}

// The open of a missing port takes seconds of attempts and beeps; a cancel then ends like any
// cancel: the log says "User cancelled...", and so do the exit code and the JSON result.
TEST(MorfwTrust, ACancelWhileThePortOpensEndsAsCancelled) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {
        "upload", "--port", "/dev/ttyMORFW-NO-SUCH-PORT", "--images", (tmp.Path() / "set").string(),
        "--json"};
    ChildProcess child(spec);
    for (;;) {
        const auto line = child.ReadLine(60s);
        ASSERT_TRUE(line.has_value()) << "the port was never opened";
        const Json j = Json::parse(*line);
        if (j["type"] == "log" && j["text"] == "Opening COM port...  -> ")
            break;
    }
    child.Signal(SIGINT);
    const RunResult r = child.Finish(60s);
    EXPECT_EQ(r.nExitCode, kCancelled) << r.strOut;
    const auto objects = JsonLines(r.strOut);
    ASSERT_FALSE(objects.empty());
    EXPECT_TRUE(JoinedLogText(objects).ends_with("User cancelled...\n\n"));
    EXPECT_EQ(objects.back()["status"], "cancelled");
}

// A line feed in a name must not forge a line of the output.
TEST(MorfwTrust, ControlCharactersInNamesAreEscapedInTextOutput) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "new\nline";
    MakeSmallSet(set);
    fs::remove(set / "Morvane.s19");
    const RunResult r = Morfw({"upload", "--port", "sim:", "--images", set.string()});
    EXPECT_EQ(r.nExitCode, kImages);
    const std::string shown = tmp.Path().string() + "/new\\nline/Morvane.s19: cannot open";
    EXPECT_NE(r.strOut.find("\n" + shown), std::string::npos) << r.strOut;
    EXPECT_NE(r.strErr.find(shown), std::string::npos) << r.strErr;
    EXPECT_EQ(r.strErr.find("new\nline"), std::string::npos) << r.strErr;

    MakeSmallSet(tmp.Path() / "ok");
    const RunResult port =
        Morfw({"upload", "--port", "/dev/ttyX\nY", "--images", (tmp.Path() / "ok").string()});
    EXPECT_EQ(port.nExitCode, kPort);
    EXPECT_NE(port.strErr.find("serial port /dev/ttyX\\nY could not be opened"), std::string::npos)
        << port.strErr;
    EXPECT_EQ(port.strErr.find("ttyX\nY"), std::string::npos) << port.strErr;
}

// --- The adapter behind the port ----------------------------------------------------------------

// Simulated adapters show each verdict's consequence in a real upload: one that never reports
// the unit's break is named before the upload and again in the failure, one that cannot run
// 738 baud only when Slow Mode asks for it, and a slow latency timer costs time, not the upload.
// (Three tests, so that their uploads run side by side.)
TEST(MorfwAdapters, OneThatNeverReportsABreakIsNamedBeforeAndInTheFailure) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const std::string noBreak = "the CH340 adapter (ch341-uart): ch341 never reports a received "
                                "break, so every answer of the unit goes unseen; use an FTDI "
                                "adapter, or one whose break check passes in morfw doctor "
                                "--loopback";
    const RunResult ch340 =
        Morfw({"upload", "--port", "sim:adapter=ch340", "--images", set.string(), "-q"});
    EXPECT_EQ(ch340.nExitCode, kFailed);
    EXPECT_TRUE(ch340.strErr.starts_with("morfw: warning: " + noBreak + "\n")) << ch340.strErr;
    EXPECT_NE(ch340.strErr.find("morfw: upload failed in part 2 of 5; no break ever came from "
                                "the unit: " +
                                noBreak + "\n"),
              std::string::npos)
        << ch340.strErr;
}

TEST(MorfwAdapters, OneThatCannotRun738IsNamedOnlyWhenSlowModeAsksForIt) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    const RunResult slow = Morfw(
        {"upload", "--port", "sim:adapter=cp2102", "--images", set.string(), "--slow", "--json"});
    EXPECT_EQ(slow.nExitCode, kFailed);
    const auto objects = JsonLines(slow.strOut);
    ASSERT_GE(objects.size(), 2u);
    EXPECT_EQ(objects[1]["type"], "notice");
    EXPECT_TRUE(objects[1]["text"].get<std::string>().starts_with(
        "warning: the CP2102 adapter (cp210x): cp210x rounds this part's rate"));
    // The driver reads back 1200: part 1 stops at its first try, with the cause.
    EXPECT_EQ(objects.back()["message"],
              "upload failed in part 1 of 5: the line refused 738 baud with 8 data bits: the "
              "driver runs 1200 baud instead (more than 2 % off)");
    EXPECT_EQ(slow.strOut.find("+"), std::string::npos) << slow.strOut;
}

TEST(MorfwAdapters, OthersUploadSilentlyAndAnUnknownModelIsRefused) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    for (const char* port : {"sim:adapter=cp2102", "sim:adapter=ftdi16", "sim:adapter=cp2102n"}) {
        const RunResult r = Morfw({"upload", "--port", port, "--images", set.string(), "-q"});
        EXPECT_EQ(r.nExitCode, kSuccess) << port << r.strErr;
        EXPECT_EQ(r.strErr, "") << port;
    }
    const RunResult bad = Morfw({"upload", "--port", "sim:adapter=ch9102", "-q"});
    EXPECT_EQ(bad.nExitCode, kPort);
    EXPECT_NE(bad.strErr.find("sim: adapter=ch9102: expected uart, ftdi"), std::string::npos);
}
