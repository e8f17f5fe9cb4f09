// morfw doctor run as a user runs it: against simulated loopback plugs with the adapters'
// models, a device that is not there, one that another program holds, and a cancel.

#include "ProgramRunner.h"

#include "../serial/PtyPair.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

const std::string kMorfw = MORFW_PROGRAM;

// Exit codes as the manual page gives them for doctor.
constexpr int kReady = 0, kFails = 1, kUsage = 2, kPort = 3, kCancelled = 5;

RunResult Morfw(std::vector<std::string> args) {
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = std::move(args);
    return RunProgram(spec, 120s);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The line of a check, by its title, and the line after it.
std::string LineOf(const std::string& out, const std::string& strTitle, int nAfter = 0) {
    const auto lines = Lines(out);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > 9 && lines[i].compare(9, strTitle.size() + 1, strTitle + ":") == 0)
            return i + nAfter < lines.size() ? lines[i + nAfter] : "";
    }
    return "";
}

Json Checks(const Json& report, const std::string& strName) {
    for (const auto& c : report["checks"]) {
        if (c["check"] == strName)
            return c;
    }
    ADD_FAILURE() << "no check " << strName;
    return Json::object();
}

const std::vector<std::string> kLoopbackChecks = {"loopback_300",   "loopback_738",
                                                  "loopback_4800",  "loopback_38400",
                                                  "loopback_break", "loopback_modem_lines"};

} // namespace

TEST(MorfwDoctor, ASimulatedLoopbackPlugOnAUartPassesEveryCheck) {
    const RunResult r = Morfw({"doctor", "--port", "sim:loopback=1", "--loopback"});
    ASSERT_EQ(r.nExitCode, kReady) << r.strOut << r.strErr;
    EXPECT_EQ(r.strErr, "");
    const auto lines = Lines(r.strOut);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "morfw doctor: sim:loopback=1 (driver serial8250, chip 16550A)");
    EXPECT_EQ(lines.back(), "result: the line can carry an upload");
    for (const char* psz :
         {"access", "other holders", "sending a break", "receiving a break", "738 baud (Slow Mode)",
          "receive latency", "loopback break", "loopback modem lines"})
        EXPECT_TRUE(LineOf(r.strOut, psz).starts_with("ok       ")) << psz << "\n" << r.strOut;
    for (const char* psz : {"300", "738", "4800", "38400"}) {
        const std::string line = LineOf(r.strOut, std::string("loopback at ") + psz + " baud");
        EXPECT_TRUE(line.starts_with("ok       ")) << line;
        EXPECT_NE(line.find("(every byte value) came back unchanged"), std::string::npos) << line;
    }
    EXPECT_EQ(LineOf(r.strOut, "loopback modem lines"),
              "ok       loopback modem lines: CTS follows RTS, DSR and DCD follow DTR");
    EXPECT_EQ(LineOf(r.strOut, "low latency"),
              "skipped  low latency: the driver (serial8250) has no latency timer");
    EXPECT_EQ(r.strOut.find("problem"), std::string::npos);
}

TEST(MorfwDoctor, ACp2102IsFoundRunning1200For738) {
    const RunResult r = Morfw(
        {"doctor", "--port", "sim:adapter=cp2102,loopback=1", "--loopback", "--slow", "--json"});
    EXPECT_EQ(r.nExitCode, kFails) << r.strErr;
    const Json j = Json::parse(r.strOut);
    EXPECT_EQ(Lines(r.strOut).size(), 1u);
    EXPECT_EQ(j["type"], "doctor");
    EXPECT_EQ(j["chip"], "CP2102");
    EXPECT_EQ(j["result"], "fails");
    EXPECT_EQ(j["exit_code"], kFails);
    EXPECT_EQ(j["checks"].size(), 13u);
    const Json rate = Checks(j, "loopback_738");
    EXPECT_EQ(rate["verdict"], "problem");
    // The driver reads back the rate the chip runs, and the line refuses it.
    EXPECT_EQ(rate["reason"],
              "the line does not take 738 baud (the driver runs 1200 instead, more than 2 % off)");
    EXPECT_EQ(rate["unit"], "baud");
    EXPECT_EQ(rate["measured"], 1200);
    EXPECT_TRUE(rate["fails_upload"]);
    // The other rates are in the chip's table and run as asked.
    for (const char* psz : {"loopback_300", "loopback_4800", "loopback_38400", "loopback_break",
                            "loopback_modem_lines"})
        EXPECT_EQ(Checks(j, psz)["verdict"], "ok") << psz << " " << Checks(j, psz)["reason"];
    EXPECT_EQ(Checks(j, "adapter_rate_738")["verdict"], "problem");
}

TEST(MorfwDoctor, ACp2102CarriesAnUploadOutsideSlowModeAndTheLoopbackIsSkippedWithoutAPlug) {
    const RunResult r = Morfw({"doctor", "--port", "sim:adapter=cp2102,loopback=1", "--json"});
    EXPECT_EQ(r.nExitCode, kReady) << r.strErr;
    const Json j = Json::parse(r.strOut);
    EXPECT_EQ(j["result"], "ready");
    EXPECT_EQ(j["loopback"], false);
    EXPECT_EQ(j["problems"], 1);
    EXPECT_EQ(Checks(j, "adapter_rate_738")["verdict"], "problem");
    EXPECT_FALSE(Checks(j, "adapter_rate_738")["fails_upload"]);
    for (const auto& name : kLoopbackChecks) {
        EXPECT_EQ(Checks(j, name)["verdict"], "skipped");
        EXPECT_EQ(Checks(j, name)["reason"], "no loopback plug (--loopback)");
    }

    // In text the skipped loopback is one line, and the result says what the problem costs.
    const RunResult t = Morfw({"doctor", "--port", "sim:adapter=cp2102,loopback=1"});
    EXPECT_EQ(t.nExitCode, kReady);
    const auto lines = Lines(t.strOut);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "skipped  loopback: no loopback plug (--loopback)");
    EXPECT_EQ(lines.back(), "result: the line can carry an upload (the 1 problem above slows it "
                            "down or concerns only Slow Mode)");
}

// The faked break lasts about 196 ms; a slow machine (a sanitizer build) reads its end later.
TEST(MorfwDoctor, ACh340sFakeUnreportedBreakIsCaughtOnTheLoopback) {
    const RunResult r = Morfw({"doctor", "--port", "sim:adapter=ch340,loopback=1", "--loopback"});
    EXPECT_EQ(r.nExitCode, kFails) << r.strOut << r.strErr;
    const std::string line = LineOf(r.strOut, "loopback break");
    EXPECT_TRUE(std::regex_match(
        line, std::regex("problem  loopback break: the 1 ms break came back without a break "
                         "report \\(as plain bytes\\): the unit's answers, each opened by a "
                         "break, would go unseen; it kept the line busy for "
                         "(19\\d|[2-9]\\d\\d|\\d{4,})\\.\\d ms \\(a faked break\\)")))
        << line;
    EXPECT_EQ(LineOf(r.strOut, "loopback break", 1), "         fix: use an FTDI adapter");
    // The table knew it too.
    EXPECT_TRUE(LineOf(r.strOut, "receiving a break").starts_with("problem  "));
    // Every byte comes back at every rate. A busy machine reads them late, which the rate's
    // timing may take for a slower line: the bytes are what is asserted here.
    for (const char* psz : {"300", "738", "4800", "38400"}) {
        const std::string rate = LineOf(r.strOut, std::string("loopback at ") + psz + " baud");
        EXPECT_TRUE(rate.starts_with("ok       ") ||
                    (rate.starts_with("problem  ") && rate.find("the line runs") != std::string::npos &&
                     rate.find("came back") == std::string::npos))
            << r.strOut;
    }
    EXPECT_TRUE(std::regex_search(
        r.strOut, std::regex("result: an upload fails on this line \\([2-6] problems above\\)\n$")))
        << r.strOut;
}

TEST(MorfwDoctor, AMissingDeviceEndsWithThePortCodeAndSkipsWhatNeedsThePort) {
    const std::string dev = "/dev/ttyMORFW-NO-SUCH-PORT";
    const RunResult r = Morfw({"doctor", "--port", dev, "--loopback"});
    EXPECT_EQ(r.nExitCode, kPort);
    EXPECT_EQ(Lines(r.strOut).front(), "morfw doctor: " + dev);
    EXPECT_TRUE(
        LineOf(r.strOut, "access").starts_with("problem  access: no such device: " + dev + " ("))
        << r.strOut;
    EXPECT_TRUE(
        LineOf(r.strOut, "access", 1).starts_with("         fix: name a port that is there"));
    EXPECT_EQ(LineOf(r.strOut, "low latency"), "skipped  low latency: the port did not open");
    EXPECT_NE(r.strOut.find("\nskipped  loopback: the port did not open\n"), std::string::npos);
    EXPECT_TRUE(r.strOut.ends_with("result: the port could not be opened\n"));

    const RunResult j = Morfw({"doctor", "--port", dev, "--json", "--loopback"});
    EXPECT_EQ(j.nExitCode, kPort);
    const Json report = Json::parse(j.strOut);
    EXPECT_EQ(report["result"], "not_opened");
    EXPECT_EQ(report["exit_code"], kPort);
    EXPECT_EQ(Checks(report, "access")["verdict"], "problem");
    EXPECT_TRUE(Checks(report, "access")["fails_upload"]);
    for (const auto& name : kLoopbackChecks)
        EXPECT_EQ(Checks(report, name)["reason"], "the port did not open");
}

TEST(MorfwDoctor, WhatIsNoSerialDeviceIsRefusedBeforeAnyOtherCheck) {
    // {port, the start of the access check's reason}
    std::vector<std::pair<std::string, std::string>> cases = {
        {"/dev/ptmx", "not a serial port: /dev/ptmx is the pseudo-terminal multiplexer"},
        {"/", "not a serial port: / is a directory"},
        {"/dev/ttyMORFW-NO-SUCH-PORT", "no such device: /dev/ttyMORFW-NO-SUCH-PORT ("}};
    // Where this machine's kernel console is a port (console=ttyS0), it is refused as such.
    const Json listed = Json::parse(Morfw({"ports", "--json"}).strOut);
    for (const auto& port : listed["ports"]) {
        const std::string dev = port["device"];
        if (port["console"] == true)
            cases.emplace_back(dev, "console: " + dev + " is the kernel console (");
    }
    for (const auto& [strPort, strAccess] : cases) {
        const RunResult r = Morfw({"doctor", "--port", strPort, "--json"});
        EXPECT_EQ(r.nExitCode, kPort) << strPort << r.strOut;
        const Json j = Json::parse(r.strOut);
        ASSERT_EQ(j["checks"].size(), 13u);
        EXPECT_TRUE(j["checks"][0]["reason"].get<std::string>().starts_with(strAccess))
            << j["checks"][0];
        EXPECT_FALSE(j["checks"][0]["fix"].get<std::string>().empty());
        for (std::size_t i = 1; i < j["checks"].size(); ++i)
            EXPECT_EQ(j["checks"][i]["reason"], "the port did not open") << j["checks"][i];
    }
}

TEST(MorfwDoctor, AnotherHolderOfTheDeviceIsNamedWithItsFix) {
    CPtyPair pty; // holds the slave open: this test program is the other holder
    ASSERT_TRUE(pty.Ok());
    const RunResult r = Morfw({"doctor", "--port", pty.Slave(), "--json"});
    EXPECT_EQ(r.nExitCode, kPort);
    const Json j = Json::parse(r.strOut);
    const std::string pid = "(pid " + std::to_string(getpid()) + ")";
    const Json holders = Checks(j, "holders");
    EXPECT_EQ(holders["verdict"], "problem");
    EXPECT_NE(holders["reason"].get<std::string>().find(pid), std::string::npos) << holders;
    EXPECT_TRUE(holders["fix"].get<std::string>().starts_with("close ")) << holders;
    EXPECT_NE(holders["fix"].get<std::string>().find(pid), std::string::npos) << holders;
    const std::string access = Checks(j, "access")["reason"];
    EXPECT_TRUE(access.starts_with("busy: " + pty.Slave() + " is open in ")) << access;

    // Let go, and the same device opens; a pseudo-terminal has no adapter to judge.
    pty.DropKeep();
    const RunResult free = Morfw({"doctor", "--port", pty.Slave()});
    EXPECT_EQ(free.nExitCode, kReady) << free.strOut;
    EXPECT_TRUE(LineOf(free.strOut, "access").starts_with("ok       ")) << free.strOut;
    EXPECT_EQ(LineOf(free.strOut, "other holders"), "ok       other holders: none");
}

TEST(MorfwDoctor, HelpNamesTheExitCodesAndAWrongOptionIsAUsageError) {
    const RunResult help = Morfw({"doctor", "--help"});
    EXPECT_EQ(help.nExitCode, 0);
    for (const char* psz : {"--port", "--loopback", "--slow", "--json",
                            "Exit codes: 0 the line can carry an upload, 1 a problem makes an "
                            "upload fail on it, 3 the port cannot be opened, 5 cancelled, 2 "
                            "usage error."})
        EXPECT_NE(help.strOut.find(psz), std::string::npos) << psz;
    EXPECT_EQ(Morfw({"doctor", "--loopbak"}).nExitCode, kUsage);
    EXPECT_NE(Morfw({"--help"}).strOut.find("doctor"), std::string::npos);
}

TEST(MorfwDoctor, CtrlCDuringTheLoopbackEndsItAtOnceAsCancelled) {
    RunSpec spec;
    spec.strProgram = kMorfw;
    spec.args = {"doctor", "--port", "sim:loopback=1", "--loopback"};
    ChildProcess child(spec);
    for (;;) {
        const auto line = child.ReadLine(30s);
        ASSERT_TRUE(line.has_value()) << "the loopback never began";
        if (line->starts_with("testing the line through the loopback plug"))
            break;
    }
    std::this_thread::sleep_for(300ms); // inside the 300 baud check, which takes 9 s
    const auto t0 = std::chrono::steady_clock::now();
    child.Signal(SIGINT);
    const RunResult r = child.Finish(30s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_EQ(r.nSignal, 0);
    EXPECT_EQ(r.nExitCode, kCancelled) << r.strOut << r.strErr;
    EXPECT_TRUE(r.strOut.ends_with("result: cancelled\n")) << r.strOut;
    EXPECT_EQ(r.strErr, "morfw: cancel requested (SIGINT); the checks stop and close the port\n");
}
