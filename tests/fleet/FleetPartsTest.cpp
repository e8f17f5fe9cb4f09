// The pieces of a many-unit run that need no session: the run's exit code, the records (log
// file names, CSV rows shared by concurrent runs, the log file's header and result), the ports'
// stable names, the port list file, and the operator's rows on a model of a terminal.

#include "FleetTestSupport.h"

#include "../cli/ScreenModel.h"
#include "cli/Commands.h"
#include "cli/FleetDisplay.h"
#include "fleet/PortIdentity.h"
#include "fleet/UnitRecord.h"
#include "image/Sha256.h"

#include <regex>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fleettest;
using fleet::UnitState;

namespace {

class MemFile {
public:
    MemFile() : m_fd(memfd_create("morfw-fleet-test", MFD_CLOEXEC)) {}
    ~MemFile() { close(m_fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;
    int Fd() const { return m_fd; }
    std::string Text() const {
        std::string s;
        char buf[4096];
        off_t off = 0;
        for (ssize_t n; (n = pread(m_fd, buf, sizeof buf, off)) > 0; off += n)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }

private:
    int m_fd;
};

UnitState Unit(int nId, const std::string& label) {
    UnitState u;
    u.nId = nId;
    u.strLabel = label;
    u.strPort = label;
    return u;
}

UnitState Finished(UnitState u, int nCode, const std::string& message = {}) {
    u.bFinished = true;
    u.nExitCode = nCode;
    u.strStatus = fleet::StatusName(nCode);
    u.strMessage = message;
    return u;
}

} // namespace

// --- The run's exit code ----------------------------------------------------------------------

TEST(FleetExitCode, TheMostSevereUnitCodeByTheStatedOrder) {
    using fleet::RunExitCode;
    EXPECT_EQ(RunExitCode({}), 0);
    EXPECT_EQ(RunExitCode({0, 0, 0}), 0);
    EXPECT_EQ(RunExitCode({0, 6}), 6);
    EXPECT_EQ(RunExitCode({6, 4, 0}), 4);
    EXPECT_EQ(RunExitCode({4, 3}), 3);
    EXPECT_EQ(RunExitCode({3, 2}), 2);
    EXPECT_EQ(RunExitCode({2, 1, 3}), 1);
    EXPECT_EQ(RunExitCode({1, 5, 0}), 5);
    EXPECT_EQ(RunExitCode({5, 1}), 5);
    // A code morfw never gives (a crash's 139, exec's 127) is a failure, and said as 1.
    EXPECT_EQ(RunExitCode({0, 139}), 1);
    EXPECT_EQ(RunExitCode({127, 3}), 1);
    EXPECT_EQ(RunExitCode({127, 5}), 5);
}

// --- Records ----------------------------------------------------------------------------------

TEST(FleetRecords, LogFileNamesAreTimeAndASafePortName) {
    setenv("TZ", "UTC", 1);
    tzset();
    const long long t = 1796825703; // 2026-12-09 14:15:03 UTC
    EXPECT_EQ(fleet::LogFileName("/dev/ttyUSB0", t), "20261209-141503_ttyUSB0.log");
    EXPECT_EQ(fleet::LogFileName("/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", t),
              "20261209-141503_usb-FTDI_FT232R_A50285BI-if00-port0.log");
    EXPECT_EQ(fleet::LogFileName("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", t),
              "20261209-141503_pci-0000_00_14.0-usb-0_1.2_1.0-port0.log");
    EXPECT_EQ(fleet::LogFileName("sim:seed=3,dump=/tmp/a b", t),
              "20261209-141503_sim_seed=3_dump=_tmp_a_b.log");
    // Nothing can climb out of the directory or break a line.
    EXPECT_EQ(fleet::LogFileName("/dev/..", t), "20261209-141503_port.log");
    EXPECT_EQ(fleet::LogFileName("a\nb/../c", t), "20261209-141503_a_b_.._c.log");
    EXPECT_EQ(fleet::LogFileName(std::string(300, 'x'), t).size(), 16u + 80u + 4u);
}

TEST(FleetRecords, CsvFieldsAreQuotedOnlyWhereNeeded) {
    EXPECT_EQ(fleet::CsvField("ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(fleet::CsvField(""), "");
    EXPECT_EQ(fleet::CsvField("sim:seed=1,noise=1e-5"), "\"sim:seed=1,noise=1e-5\"");
    EXPECT_EQ(fleet::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(fleet::CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(fleet::CsvField(" padded"), "\" padded\"");
    EXPECT_EQ(fleet::CsvRow({"a", "b,c", ""}), "a,\"b,c\",\r\n");
    const auto rows = ParseCsv(fleet::CsvRow({"x\"y", "1,2", "l\nm"}));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"x\"y", "1,2", "l\nm"}));
}

// Runs at the same moment append to one results.csv: one header, every row whole.
TEST(FleetRecords, ConcurrentAppendsNeverInterleaveAndWriteOneHeader) {
    TempDir tmp;
    const std::string path = (tmp.Path() / "results.csv").string();
    constexpr int kProcs = 8, kRows = 40;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int r = 0; r < kRows; ++r) {
                const std::string row = fleet::CsvRow(
                    {std::to_string(p), std::to_string(r), std::string(300, char('a' + p))});
                std::string err;
                if (!fleet::AppendCsvRow(path, "h1,h2,h3\r\n", row, err))
                    _exit(1);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto rows = ParseCsv(ReadFile(path));
    ASSERT_EQ(rows.size(), 1u + kProcs * kRows);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"h1", "h2", "h3"}));
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 3u) << i;
        const int p = std::stoi(rows[i][0]);
        EXPECT_EQ(rows[i][2], std::string(300, char('a' + p))) << i;
    }

    std::string err;
    EXPECT_FALSE(
        fleet::AppendCsvRow((tmp.Path() / "no" / "r.csv").string(), "h\r\n", "x\r\n", err));
    EXPECT_EQ(err, "No such file or directory");
}

// The runner makes the log file and its header; the session takes the record over and writes the
// transcript, the result line and the row itself.
TEST(FleetRecords, ALogFileHasItsHeaderTranscriptAndResultAndARowInResults) {
    TempDir tmp;
    const fs::path set = tmp.Path() / "set";
    MakeSmallSet(set);
    // A revision a spreadsheet would take for a formula, with a control character in it.
    WriteFile(set / "MorFWImg.ini", "[Firmware_Info]\r\nVerion=-2.10\tbeta\r\n");
    const fs::path dir = tmp.Path() / "logs";
    fs::create_directories(dir);
    const fleet::RecordContext ctx{"bench-3",
                                   "morfw 9.9",
                                   set.string() + "/",
                                   "--slow",
                                   {"Ann Lee", "=WO-4711", "line 2", {}, 30}};

    UnitState u = Unit(1, "/dev/ttyUSB7");
    u.strStableName = "/dev/serial/by-id/usb-FTDI_X-if00-port0";
    u.strAdapterSerial = "A50285BI";
    u.strSerial = "SN 0042";
    fleet::UnitRecord rec;
    std::string err;
    ASSERT_TRUE(rec.Open(dir.string(), u, ctx, err)) << err;
    EXPECT_TRUE(std::regex_match(rec.Path(), std::regex(".*/logs/[0-9]{8}-[0-9]{6}_ttyUSB7\\.log")))
        << rec.Path();
    // A second unit of the same port within the same second gets a file of its own.
    fleet::UnitRecord again;
    ASSERT_TRUE(again.Open(dir.string(), u, ctx, err));
    EXPECT_NE(again.Path(), rec.Path());

    fleet::UnitRecord session;
    ASSERT_TRUE(session.Adopt(rec.Handoff(), err)) << err;
    EXPECT_TRUE(session.Append("Using low baudrate bootstrap mode\n"));
    EXPECT_TRUE(session.Append("# "));
    UnitState done = Finished(u, fleet::kCodeFailed, "upload failed in part 2 of 5");
    done.dElapsed = 12.34;
    done.nRetries = 3;
    EXPECT_EQ(session.Finish(done), "");
    EXPECT_EQ(done.nExitCode, fleet::kCodeFailed);
    rec.Release();

    const auto lines = Lines(ReadFile(rec.Path()));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("---- morfw 9\\.9, [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} [-+][0-9]{4}, "
                             "host bench-3")))
        << lines[0];
    EXPECT_EQ(lines[1],
              "---- station line 2, operator Ann Lee, work order =WO-4711, serial SN 0042");
    EXPECT_EQ(lines[2], "---- port /dev/ttyUSB7, stable name "
                        "/dev/serial/by-id/usb-FTDI_X-if00-port0, adapter serial A50285BI");
    EXPECT_EQ(lines[3],
              "---- images " + set.string() + "/, revision -2.10\\tbeta, options: --slow");
    const auto digests = DigestImageSet(set.string() + "/");
    EXPECT_EQ(lines[4], "---- sha256 " + DescribeDigests(digests));
    EXPECT_EQ(lines[5], "---- sha256 of the set " + DigestOfSet(digests));
    EXPECT_EQ(lines[6], "Using low baudrate bootstrap mode");
    // The session stopped inside a line: its result line starts one of its own.
    EXPECT_EQ(lines[7], "# ");
    EXPECT_EQ(lines[8], "---- result: failed, exit code 1, elapsed 0:12, retries 3, upload "
                        "failed in part 2 of 5");

    // A revision that is the default says why.
    fs::remove(set / "MorFWImg.ini");
    fs::create_directory(set / "MorFWImg.ini");
    fleet::UnitRecord third;
    ASSERT_TRUE(third.Open(dir.string(), u, ctx, err));
    EXPECT_EQ(Lines(ReadFile(third.Path())).at(3),
              "---- images " + set.string() +
                  "/, revision Unspecified (MorFWImg.ini: not a regular file), options: --slow");

    const auto rows = ParseCsv(ReadFile(dir / "results.csv"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{
                           "time", "host", "port", "stable_name", "adapter_serial", "revision",
                           "images_sha256", "result", "exit_code", "elapsed_s", "retries",
                           "message", "log_file", "station", "operator", "work_order", "serial"}));
    EXPECT_EQ(rows[1],
              (std::vector<std::string>{rows[1][0], "bench-3", "/dev/ttyUSB7",
                                        "/dev/serial/by-id/usb-FTDI_X-if00-port0", "A50285BI",
                                        "'-2.10\\tbeta", DigestOfSet(digests), "failed", "1",
                                        "12.3", "3", "upload failed in part 2 of 5", rec.Path(),
                                        "line 2", "Ann Lee", "'=WO-4711", "SN 0042"}));
}

// results.csv is opened in spreadsheets: no cell starts a formula or holds a control character.
TEST(FleetRecords, CsvCellsNeverStartAFormula) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2.10.0", "2.10.0"}, {"", ""},
        {"=1+2", "'=1+2"},    {"+44 20 7946", "'+44 20 7946"},
        {"-2.10", "'-2.10"},  {"@SUM(A1)", "'@SUM(A1)"},
        {"a\n=b", "a\\n=b"},  {"\t=cmd", "\\t=cmd"},
        {"x=1", "x=1"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(fleet::SafeCell(in), out) << in;
}

// A success whose results.csv row cannot be written is no plain success, and says why once.
TEST(FleetRecords, ASuccessWithoutItsRowBecomesTheLogFileCode) {
    TempDir tmp;
    MakeSmallSet(tmp.Path() / "set");
    fs::create_directories(tmp.Path() / "logs" / "results.csv"); // a directory in its place
    fleet::UnitRecord rec;
    std::string err;
    UnitState u = Unit(1, "sim:");
    ASSERT_TRUE(rec.Open((tmp.Path() / "logs").string(), u,
                         {"h", "morfw 9.9", (tmp.Path() / "set/").string(), "none", {}}, err));
    UnitState done = Finished(u, fleet::kCodeSuccess);
    const std::string said = rec.Finish(done);
    EXPECT_EQ(said, "cannot write " + (tmp.Path() / "logs/").string() +
                        "results.csv: Is a directory; the record of this upload is incomplete");
    EXPECT_EQ(done.nExitCode, fleet::kCodeLogFile);
    EXPECT_EQ(done.strStatus, "log_file");
    EXPECT_EQ(done.strMessage, said);
    // The log file itself is whole: it ends with the result as it stood.
    EXPECT_TRUE(
        Lines(ReadFile(rec.Path())).back().starts_with("---- result: success, exit code 0"));
}

// --- Stable names -----------------------------------------------------------------------------

TEST(FleetPortIdentity, ADeviceIsKnownByItsByIdLinkElseItsByPathLink) {
    TempDir tmp;
    const fs::path dev = tmp.Path() / "dev";
    fs::create_directories(dev / "serial" / "by-id");
    fs::create_directories(dev / "serial" / "by-path");
    WriteFile(dev / "ttyUSB0", "");
    WriteFile(dev / "ttyUSB1", "");
    WriteFile(dev / "ttyS0", "");
    fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-id" / "usb-FTDI_A-if00-port0");
    fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-path" / "pci-usb-0:1.1:1.0-port0");
    fs::create_symlink("../../ttyUSB1", dev / "serial" / "by-path" / "pci-usb-0:1.2:1.0-port0");
    const std::string sys = (tmp.Path() / "sys").string();

    EXPECT_EQ(fleet::IdentifyPort((dev / "ttyUSB0").string(), dev.string(), sys).strStableName,
              (dev / "serial" / "by-id" / "usb-FTDI_A-if00-port0").string());
    EXPECT_EQ(fleet::IdentifyPort((dev / "ttyUSB1").string(), dev.string(), sys).strStableName,
              (dev / "serial" / "by-path" / "pci-usb-0:1.2:1.0-port0").string());
    // A link named as the port is its own stable name, the socket's name included.
    const std::string byPath = (dev / "serial" / "by-path" / "pci-usb-0:1.1:1.0-port0").string();
    EXPECT_EQ(fleet::IdentifyPort(byPath, dev.string(), sys).strStableName, byPath);
    EXPECT_EQ(fleet::IdentifyPort((dev / "ttyS0").string(), dev.string(), sys).strStableName, "");
    EXPECT_EQ(fleet::IdentifyPort("sim:seed=2", dev.string(), sys).strStableName, "");
    EXPECT_EQ(fleet::IdentifyPort("/dev/ttyNOPE", dev.string(), sys).strAdapterSerial, "");
}

// --- The port list ----------------------------------------------------------------------------

TEST(FleetPortList, OneNameALineWithCommentsBlanksAndLabelsSkipped) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "ports";
    WriteFile(file, "# fixture rack A\n/dev/ttyUSB0\n\n  sim:seed=2,dump=/tmp/x  \r\n"
                    "\t# spare\n/dev/serial/by-path/pci-0:1.2 # A2\n/dev/ttyUSB#1  B1\n");
    std::vector<std::string> ports = {"given"};
    std::string err;
    ASSERT_TRUE(cli::ReadPortList(file.string(), ports, err)) << err;
    EXPECT_EQ(ports, (std::vector<std::string>{"given", "/dev/ttyUSB0", "sim:seed=2,dump=/tmp/x",
                                               "/dev/serial/by-path/pci-0:1.2", "/dev/ttyUSB#1"}));

    WriteFile(file, "# nothing\n\n");
    EXPECT_FALSE(cli::ReadPortList(file.string(), ports, err));
    EXPECT_EQ(err, "the port list " + file.string() + " names no port");
    EXPECT_FALSE(cli::ReadPortList((tmp.Path() / "missing").string(), ports, err));
    EXPECT_NE(err.find("No such file or directory"), std::string::npos);
}

// --- What the operator sees -------------------------------------------------------------------

TEST(FleetDisplayRows, OneRowPerUnitRedrawnInPlaceBelowTheRunsLines) {
    MemFile out, err;
    cli::FleetOutput o;
    o.nOutFd = out.Fd();
    o.nErrFd = out.Fd(); // one terminal for both, as an operator has it
    o.bRows = true;
    o.nColumns = 60;
    o.nLines = 24;
    cli::FleetDisplay d(o);
    UnitState a = Unit(1, "/dev/ttyUSB0"), b = Unit(2, "/dev/ttyUSB1");
    d.OnStarted(a);
    d.OnStarted(b);
    a.nPart = 3;
    a.nRecords = 40;
    a.nTotal = 100;
    a.dElapsed = 17;
    a.dLeft = 22.2;
    b.nPart = 2;
    b.dElapsed = 17;
    b.nRetries = 1;
    d.Tick({a, b});
    d.Notice("cancel requested (SIGINT); every running upload stops at its next check");
    d.Tick({a, b}); // nothing changed: nothing written
    const std::size_t before = out.Text().size();
    d.Tick({a, b});
    EXPECT_EQ(out.Text().size(), before);

    ScreenModel screen(60);
    screen.Feed(out.Text());
    EXPECT_EQ(screen.Rows(), (std::vector<std::string>{
                                 "morfw: cancel requested (SIGINT); every running upload stops",
                                 " at its next check",
                                 "/dev/ttyUSB0  part 3 of 5  40/100 records  0:17 elapsed  ab",
                                 "/dev/ttyUSB1  part 2 of 5  0:17 elapsed  1 retry"}));

    const UnitState fa = [&] {
        UnitState f = Finished(a, fleet::kCodeSuccess);
        f.dElapsed = 41;
        return f;
    }();
    d.OnFinished(fa);
    UnitState fb = Finished(b, fleet::kCodeFailed, "upload failed in part 2 of 5");
    fb.dElapsed = 20;
    d.OnFinished(fb);
    d.Summary({fa, fb}, 1, 41.5);
    ScreenModel end(60);
    end.Feed(out.Text());
    const auto rows = end.Rows();
    ASSERT_GE(rows.size(), 9u);
    EXPECT_EQ(rows[2], "/dev/ttyUSB0  success          0:41");
    EXPECT_EQ(rows[3], "/dev/ttyUSB1  failed (1)       0:20  1 retry  upload failed");
    EXPECT_EQ(rows[4], "");
    EXPECT_TRUE(rows[5].starts_with("port          stable name  adapter serial  result"))
        << rows[5];
    EXPECT_EQ(rows.back(), "2 units in 0:41: 1 succeeded, 1 did not; exit code 1");
}

TEST(FleetDisplayRows, LongNamesKeepTheirEndAndRowsNeverOutgrowTheScreen) {
    const std::string row = cli::FleetDisplay::RowText(
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "part 1 of 5", 20, 40);
    EXPECT_EQ(row, "...0285BI-if00-port0  part 1 of 5");
    EXPECT_EQ(cli::FleetDisplay::RowText("a\nb", "x", 4, 40), "a\\nb  x");
    EXPECT_EQ(cli::FleetDisplay::RowText("p", std::string(100, 'x'), 4, 30).size(), 30u);

    MemFile out;
    cli::FleetOutput o;
    o.nOutFd = out.Fd();
    o.nErrFd = out.Fd();
    o.bRows = true;
    o.nColumns = 40;
    o.nLines = 5;
    cli::FleetDisplay d(o);
    for (int i = 1; i <= 9; ++i)
        d.OnStarted(Unit(i, "sim:seed=" + std::to_string(i)));
    ScreenModel screen(40);
    screen.Feed(out.Text());
    const auto rows = screen.Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "sim:seed=1  starting  0:00 elapsed");
    EXPECT_EQ(rows[3], "... and 6 more");
}

// The terminal narrowed: it has rewrapped the rows drawn for the old width, and the redraw takes
// all their lines, leaving no stale half row. A unit whose row goes leaves a line led by the time
// it finished (never taken for a live row); the day's table is cut to the width, never wrapped.
TEST(FleetDisplayRows, ResizedRowsLeaveNothingStaleAndTheTableIsCutToTheWidth) {
    MemFile out;
    cli::FleetOutput o;
    o.nOutFd = out.Fd();
    o.nErrFd = out.Fd();
    o.bRows = true;
    o.nColumns = 60;
    o.nLines = 24;
    cli::FleetDisplay d(o);
    ScreenModel screen(60);
    std::size_t fed = 0;
    const auto rows = [&] {
        const std::string text = out.Text();
        screen.Feed(std::string_view(text).substr(fed));
        fed = text.size();
        return screen.Rows();
    };
    const std::string id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    UnitState a = Unit(1, id), b = Unit(2, "fixture-2");
    for (UnitState* u : {&a, &b}) {
        u->nPart = 3;
        u->nTotal = 834;
        u->dElapsed = 7;
    }
    d.Notice("station: a rehearsal");
    d.OnStarted(a);
    d.OnStarted(b);
    ASSERT_EQ(rows().size(), 3u);
    ASSERT_EQ(rows()[1].size(), 59u);

    screen.Resize(30);
    d.SetColumns(30);
    a.dElapsed = b.dElapsed = 8;
    d.Tick({a, b});
    EXPECT_EQ(rows(), (std::vector<std::string>{"morfw: station: a rehearsal",
                                                "...f00-port0  part 3 of 5  0/",
                                                "fixture-2     part 3 of 5  0/"}));

    d.OnFinished(Finished(b, fleet::kCodeSuccess));
    d.DropRow("fixture-2");
    auto now = rows();
    ASSERT_EQ(now.size(), 3u);
    EXPECT_TRUE(
        std::regex_match(now[1], std::regex(R"([0-2]\d:[0-5]\d:[0-6]\d  fixture-2  success)")))
        << now[1];

    d.DaySummary({{id, 3, 1}, {"fixture-2", 1, 0}}, fleet::kCodeFailed, 3600, "/srv/logs/");
    now = rows();
    const auto table = std::find(now.begin(), now.end(), "port");
    ASSERT_LE(table + 4, now.end()) << now.back();
    EXPECT_EQ(std::vector<std::string>(table + 1, table + 4),
              (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_FT", "fixture-2", "in all"}));
}

// Without a terminal each line of a unit is the line a single upload prints, with its port.
TEST(FleetDisplayPlain, EveryLineCarriesItsPortAndBoxesGoWhereTheyBelong) {
    MemFile out, err;
    cli::FleetOutput o;
    o.nOutFd = out.Fd();
    o.nErrFd = err.Fd();
    cli::FleetDisplay d(o);
    UnitState a = Unit(1, "A"), b = Unit(2, "B");
    d.OnStarted(a);
    d.OnStarted(b);
    for (const char* t : {"Uploading firmware - part 3 of 5...\n", "# ", ".", "!"})
        d.OnLog(a, t);
    d.OnLog(b, "Opening COM port...  -> ");
    d.OnLog(a, ".");
    d.OnLog(a, " Succeeded\n");
    d.OnLog(b, "Failed!!!\n\n");
    d.OnMessage(b, {"error", "Error", "Could not open\nthe port", ""});
    d.OnMessage(a, {"information", "MorFWUpload", "Firmware upload appears to be successful.", ""});
    d.OnNotice(b, "cancel requested (SIGINT); the upload stops at its next check");
    d.OnLog(a, "\n");
    d.OnFinished(Finished(a, 0));
    d.OnFinished(Finished(b, 3, "serial port B could not be opened"));
    EXPECT_EQ(out.Text(), "A: Uploading firmware - part 3 of 5...\n"
                          "A: # .!. Succeeded\n"
                          "B: Opening COM port...  -> Failed!!!\n"
                          "B:\n"
                          "A: Firmware upload appears to be successful.\n"
                          "A:\n");
    EXPECT_EQ(err.Text(),
              "B: Could not open\nB: the port\n"
              "B: morfw: cancel requested (SIGINT); the upload stops at its next check\n"
              "B: morfw: serial port B could not be opened\n");
}
