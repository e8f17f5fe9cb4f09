// The parts of morfw that can be driven without running the program: the session tracker,
// the status line, the output layer (on a model of a terminal screen) and the cancel signals.

#include "../TestTempDir.h"
#include "ScreenModel.h"

#include "cli/CancelSignals.h"
#include "cli/Commands.h"
#include "cli/Reporter.h"
#include "cli/SessionTracker.h"
#include "cli/StatusLine.h"
#include "cli/UploadHost.h"
#include "serial/PortDiscovery.h"
#include "upload/UploadTexts.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace cli;

namespace {

// An in-memory file standing in for standard output, standard error or the log file.
class MemFile {
public:
    MemFile() : m_fd(memfd_create("morfw-test", MFD_CLOEXEC)) {}
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

std::vector<std::string> ScreenOf(std::string_view text, int nColumns = 80) {
    ScreenModel screen(nColumns);
    screen.Feed(text);
    return screen.Rows();
}

// The texts of a short session as the engine appends them, one call each.
const std::vector<std::string> kSessionTexts = {LOG_FAST_MODE,
                                                LOG_LOADING,
                                                LOG_SUCCEEDED,
                                                LOG_OPENING,
                                                LOG_SUCCEEDED,
                                                "Uploading firmware - part 1 of 5...\n",
                                                "# ",
                                                "+",
                                                LOG_STAGE_SUCCEEDED,
                                                "Uploading firmware - part 3 of 5...\n",
                                                "# ",
                                                ".",
                                                ".",
                                                "!",
                                                ".",
                                                LOG_STAGE_SUCCEEDED,
                                                "\n"};

} // namespace

// --- Session tracker ------------------------------------------------------------------------

TEST(SessionTracker, FollowsPartsRecordsAndRetries) {
    SessionTracker t;
    EXPECT_EQ(t.GetStep(), SessionTracker::Step::NotStarted);
    for (const auto& text : kSessionTexts)
        t.OnLog(text);
    EXPECT_EQ(t.GetStep(), SessionTracker::Step::Stages);
    EXPECT_EQ(t.GetPart(), 3);
    EXPECT_EQ(t.GetRecords(), 3); // the dots of part 3 only, not those of "..." in the lines
    EXPECT_EQ(t.GetRetries(), 2); // "+" in part 1, "!" in part 3
    EXPECT_FALSE(t.LoadFailed());
    EXPECT_FALSE(t.OpenFailed());
    EXPECT_FALSE(t.SawUserCancelled());
}

TEST(SessionTracker, TellsALoadingFailureAndTheLineNamingTheFile) {
    SessionTracker t;
    t.OnLog(LOG_FAST_MODE);
    t.OnLog(LOG_LOADING);
    t.OnLog(LOG_FAILED);
    t.OnLog("/x/MorFWImg/kernimg.s19, line 12: S-record checksum mismatch\n");
    t.OnLog("\n");
    EXPECT_TRUE(t.LoadFailed());
    EXPECT_FALSE(t.OpenFailed());
    EXPECT_EQ(t.GetImageError(), "/x/MorFWImg/kernimg.s19, line 12: S-record checksum mismatch");

    SessionTracker missing; // a file simply missing: no further line
    missing.OnLog(LOG_LOADING);
    missing.OnLog(LOG_FAILED);
    missing.OnLog("\n");
    EXPECT_TRUE(missing.LoadFailed());
    EXPECT_EQ(missing.GetImageError(), "");
}

TEST(SessionTracker, TellsAnOpeningFailureAndACancel) {
    SessionTracker t;
    t.OnLog(LOG_LOADING);
    t.OnLog(LOG_SUCCEEDED);
    t.OnLog(LOG_OPENING);
    t.OnLog(LOG_FAILED);
    EXPECT_FALSE(t.LoadFailed());
    EXPECT_TRUE(t.OpenFailed());

    SessionTracker c;
    c.OnLog("Uploading firmware - part 2 of 5...\n");
    c.OnLog("# ");
    c.OnLog("\n");
    c.OnLog(LOG_USER_CANCELLED);
    EXPECT_TRUE(c.SawUserCancelled());
    EXPECT_EQ(c.GetPart(), 2);
}

// A cancel says how far the unit got: none before the last part's end, one after it (the
// session still ends as cancelled), one after the last check (the upload succeeded).
TEST(SessionTracker, ACancelIsSaidByHowFarTheUnitGot) {
    const std::vector<std::string> lastPart = {"Uploading firmware - part 5 of 5...\n", "# ", ".",
                                               LOG_STAGE_SUCCEEDED, "\n", LOG_USER_CANCELLED};
    struct Case {
        std::vector<std::string> texts;
        bool bSucceeded;
        std::string strDetail;
    };
    const std::vector<Case> cases = {
        {{"Uploading firmware - part 5 of 5...\n", "# ", ".", "\n", LOG_USER_CANCELLED}, false,
         "upload cancelled"},
        {lastPart, false, RESULT_CANCELLED_AFTER_EVERY_RECORD},
        {lastPart, true, RESULT_CANCEL_AFTER_END},
        {{"Uploading firmware - part 5 of 5...\n", "# ", ".", LOG_STAGE_SUCCEEDED}, true, ""},
        // A fourth part that succeeds is not the last.
        {{"Uploading firmware - part 4 of 5...\n", "# ", LOG_STAGE_SUCCEEDED, "\n",
          LOG_USER_CANCELLED},
         false, "upload cancelled"},
    };
    for (const Case& c : cases) {
        SessionTracker t;
        for (const auto& text : c.texts)
            t.OnLog(text);
        EXPECT_EQ(t.CancelDetail(c.bSucceeded), c.strDetail) << c.strDetail;
    }
}

TEST(SessionTracker, ProgressStopsAtTheEndsOfItsRange) {
    SessionTracker t;
    t.OnProgressRange(50);
    t.OnProgressPos(0);
    t.OnProgressDelta(20);
    t.OnProgressDelta(20);
    t.OnProgressDelta(20);
    EXPECT_EQ(t.GetPosition(), 50);
    t.OnProgressDelta(2147483647); // no overflow
    EXPECT_EQ(t.GetPosition(), 50);
    t.OnProgressPos(-5);
    EXPECT_EQ(t.GetPosition(), 0);
}

// --- Status line ------------------------------------------------------------------------------

TEST(StatusLine, FormatsDurationsAndFigures) {
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(59.9), "0:59");
    EXPECT_EQ(FormatDuration(61), "1:01");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatDuration(-3), "0:00");

    StatusFigures f;
    f.dElapsed = 5;
    EXPECT_EQ(FormatStatusLine(f), "0:05 elapsed");
    f.nPart = 3;
    f.nRecords = 640;
    f.nTotal = 1523;
    f.dElapsed = 17;
    f.dLeft = 22.2;
    EXPECT_EQ(FormatStatusLine(f),
              "part 3/5   42%  640/1523 records  0:17 elapsed  about 0:23 left");
    f.nRetries = 1;
    f.nRecords = 2000; // never more than the total
    EXPECT_EQ(FormatStatusLine(f),
              "part 3/5  100%  1523/1523 records  0:17 elapsed  about 0:23 left  1 retry");
}

TEST(StatusLine, EstimatesTheTimeLeftOnlyOnceThePaceIsKnown) {
    RateEstimator r;
    EXPECT_LT(r.SecondsLeft(100, 10), 0);
    r.OnRecords(1, 10.0);
    r.OnRecords(11, 11.0);
    EXPECT_LT(r.SecondsLeft(100, 11.0), 0); // less than two seconds of records
    r.OnRecords(21, 12.0);
    EXPECT_NEAR(r.SecondsLeft(101, 12.0), 8.0, 1e-9); // 10 records a second, 80 to go
    r.OnRecords(101, 20.0);
    EXPECT_NEAR(r.SecondsLeft(101, 20.0), 0.0, 1e-9);

    // The sample set: part 3's 64 records in 1.4 s, its closing commands 4 s, part 4's records
    // at 69 a second. The pause is no part of the pace: at 0:07 the time left is not known yet
    // (it said 1:03 of a 22 s upload), at 0:10 it is about the 11.7 s that really remain.
    RateEstimator s;
    for (int n = 1; n <= 64; ++n)
        s.OnRecords(n, 2.5 + 0.0225 * (n - 1), 3);
    EXPECT_LT(s.SecondsLeft(834, 7.0), 0);
    for (int n = 65; n <= 185; ++n)
        s.OnRecords(n, 8.3 + 0.0145 * (n - 65), 4);
    EXPECT_NEAR(s.SecondsLeft(834, 10.0), 11.7, 1.0);
}

// --- Output layer -----------------------------------------------------------------------------

TEST(Reporter, TextModeWritesTheLogAsAppendedAndTheBoxesWhereTheyBelong) {
    MemFile out, err;
    Reporter r({OutputMode::Text, out.Fd(), err.Fd(), false, nullptr});
    r.BeginSession({"0.1.0", "sim:", "/x/", false, false});
    std::string log;
    for (const auto& text : kSessionTexts) {
        r.Log(text);
        log += text;
    }
    r.MessageBox(MSG_UPLOAD_SUCCESSFUL, APP_TITLE, BoxKind::Information);
    r.MessageBox(MSG_PORT_NOT_OPEN, CAPTION_ERROR, BoxKind::Error);
    r.Finish(ExitCode::Port, "serial port /dev/ttyS9 could not be opened");
    EXPECT_EQ(out.Text(), log + MSG_UPLOAD_SUCCESSFUL + "\n");
    EXPECT_EQ(err.Text(), std::string(MSG_PORT_NOT_OPEN) +
                              "\nmorfw: serial port /dev/ttyS9 could not be opened\n");
}

TEST(Reporter, QuietModeShowsOnlyErrorsAndTheResult) {
    MemFile out, err;
    Reporter r({OutputMode::Quiet, out.Fd(), err.Fd(), false, nullptr});
    r.MessageBox(MSG_RELAXED_WARNING, CAPTION_WARNING, BoxKind::Warning);
    r.BeginSession({"0.1.0", "sim:", "/x/", false, true});
    for (const auto& text : kSessionTexts)
        r.Log(text);
    r.MessageBox(MSG_UPLOAD_SUCCESSFUL, APP_TITLE, BoxKind::Information);
    r.Finish(ExitCode::Success, "");
    EXPECT_EQ(out.Text(), std::string(MSG_UPLOAD_SUCCESSFUL) + "\n");
    EXPECT_EQ(err.Text(), "");

    MemFile out2, err2;
    Reporter q({OutputMode::Quiet, out2.Fd(), err2.Fd(), false, nullptr});
    q.Log("Uploading firmware - part 3 of 5...\n");
    q.Finish(ExitCode::UploadFailed, "upload failed in part 3 of 5");
    EXPECT_EQ(out2.Text(), "");
    EXPECT_EQ(err2.Text(), "morfw: upload failed in part 3 of 5\n");
}

TEST(Reporter, JsonModeWritesOneParsableObjectPerLine) {
    MemFile out, err;
    Reporter r({OutputMode::Json, out.Fd(), err.Fd(), false, nullptr});
    r.BeginSession({"0.1.0", "sim:", "/x/", true, false});
    r.Log(LOG_SLOW_MODE);
    r.ProgressRange(40);
    r.ProgressPos(0);
    r.ProgressDelta(20);
    r.MessageBox(MSG_RELAXED_WARNING, CAPTION_WARNING, BoxKind::Warning);
    r.Log("bad byte \xFF here\n"); // a file name from disk need not be UTF-8
    r.Notice("cancel requested (SIGINT)");
    r.Finish(ExitCode::Cancelled, "upload cancelled");
    EXPECT_EQ(err.Text(), "");

    std::vector<nlohmann::json> lines;
    const std::string text = out.Text();
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(nlohmann::json::parse(text.substr(start, nl - start)));
    EXPECT_EQ(start, text.size()); // every line ends in a line feed
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0]["type"], "start");
    EXPECT_EQ(lines[0]["slow"], true);
    EXPECT_EQ(lines[1]["type"], "log");
    EXPECT_EQ(lines[1]["text"], LOG_SLOW_MODE);
    EXPECT_EQ(lines[4]["type"], "progress");
    EXPECT_EQ(lines[4]["position"], 20);
    EXPECT_EQ(lines[4]["range"], 40);
    EXPECT_EQ(lines[5]["type"], "message");
    EXPECT_EQ(lines[5]["kind"], "warning");
    EXPECT_EQ(lines[5]["caption"], CAPTION_WARNING); // the registered sign kept as UTF-8
    EXPECT_EQ(lines[5]["text"], MSG_RELAXED_WARNING);
    EXPECT_EQ(lines[6]["text"], "bad byte \xEF\xBF\xBD here\n");
    EXPECT_EQ(lines[7]["type"], "notice");
    EXPECT_EQ(lines[8]["type"], "result");
    EXPECT_EQ(lines[8]["status"], "cancelled");
    EXPECT_EQ(lines[8]["exit_code"], 5);
    EXPECT_EQ(lines[8]["message"], "upload cancelled");
    EXPECT_GE(lines[8]["elapsed"].get<double>(), 0.0);
}

// The --log file gets the header, the log text and a result line that says what the unit got,
// in every form; the last line on standard error (the JSON result) says the same.
TEST(Reporter, TheLogFileAndTheLastLineSayWhatTheUnitGot) {
    struct Case {
        ExitCode code;
        std::string strDetail;
        std::string strResult; // the log file's result line after "elapsed 0:00"
    };
    const std::vector<Case> cases = {
        {ExitCode::UploadFailed, "upload failed in part 3 of 5",
         "failed, exit code 1, elapsed 0:00, upload failed in part 3 of 5"},
        {ExitCode::Cancelled, RESULT_CANCELLED_AFTER_EVERY_RECORD,
         "cancelled, exit code 5, elapsed 0:00, cancelled after the unit had received every "
         "record"},
        {ExitCode::Success, RESULT_CANCEL_AFTER_END,
         "success, exit code 0, elapsed 0:00, success; the cancel came after the upload had ended"},
        {ExitCode::Success, "", "success, exit code 0, elapsed 0:00"},
    };
    const auto dir = MakeTestTempDir("morfw-reporter-");
    for (const OutputMode mode : {OutputMode::Text, OutputMode::Quiet, OutputMode::Json}) {
        for (const Case& c : cases) {
            const std::string path = (dir / "upload.log").string();
            std::filesystem::remove(path);
            MemFile out, err;
            LogFileRecord record;
            std::string strError;
            ASSERT_TRUE(record.Open(path, strError)) << strError;
            Reporter r({mode, out.Fd(), err.Fd(), false, &record});
            r.LogFileLine("---- morfw 0.1.0, header");
            r.BeginSession({"0.1.0", "sim:", "/x/", false, false});
            std::string log;
            for (const auto& text : kSessionTexts) {
                r.Log(text);
                log += text;
            }
            EXPECT_EQ(r.Finish(c.code, c.strDetail), c.code);
            std::ifstream in(path);
            const std::string file((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(file,
                      "---- morfw 0.1.0, header\n" + log + "---- result: " + c.strResult + "\n");
            if (mode == OutputMode::Json) {
                EXPECT_EQ(err.Text(), "");
                const std::string json = out.Text();
                const auto result =
                    nlohmann::json::parse(json.substr(json.rfind('\n', json.size() - 2) + 1));
                EXPECT_EQ(result["exit_code"], ToInt(c.code));
                EXPECT_EQ(result.value("message", ""), c.strDetail);
                EXPECT_EQ(result["log_file"], path);
            } else {
                EXPECT_EQ(err.Text(), c.strDetail.empty() ? "" : "morfw: " + c.strDetail + "\n");
            }
        }
    }
    std::filesystem::remove_all(dir);
}

// The terminal form: after every append the screen shows the log as it stands with the status
// line right below it; at the end the status line is gone and the log is exactly as written.
TEST(Reporter, StatusLineStaysBelowTheLogAndLeavesItIntact) {
    MemFile tty; // standard output and standard error on one terminal, as usual
    Reporter r({OutputMode::Text, tty.Fd(), tty.Fd(), true, nullptr});
    r.BeginSession({"0.1.0", "sim:", "/x/", false, false});
    r.ProgressRange(250);
    std::string log;
    std::vector<std::string> texts = {LOG_FAST_MODE, LOG_LOADING, LOG_SUCCEEDED,
                                      "Uploading firmware - part 3 of 5...\n", "# "};
    // "# " and 78 dots fill a row of 80 columns exactly; 100 dots wrap and end with "\n+ ".
    for (int i = 0; i < 170; ++i) {
        texts.push_back(".");
        if ((i + 1) % 100 == 0)
            texts.push_back("\n+ ");
    }
    texts.push_back(LOG_STAGE_SUCCEEDED);
    for (const auto& text : texts) {
        r.Log(text);
        log += text;
        const auto screen = ScreenOf(tty.Text());
        auto expected = ScreenOf(log);
        const bool bPartial = !log.empty() && log.back() != '\n';
        if (!bPartial)
            expected.push_back(""); // the status line sits on the row after the last line
        ASSERT_EQ(screen.size(), expected.size() + (bPartial ? 1 : 0)) << "after " << text;
        for (std::size_t i = 0; i + 1 < screen.size(); ++i)
            ASSERT_EQ(screen[i], expected[i]) << "row " << i << " after '" << text << "'";
        EXPECT_NE(screen.back().find("elapsed"), std::string::npos);
    }
    // A notice goes between the finished lines and the status line; at the end the status
    // line is gone.
    r.Notice("cancel requested (SIGINT)");
    r.Finish(ExitCode::Success, "");
    auto expected = ScreenOf(log);
    expected.push_back("morfw: cancel requested (SIGINT)");
    EXPECT_EQ(ScreenOf(tty.Text()), expected);
}

TEST(Reporter, AMessageWhileALineIsUnfinishedKeepsThatLineWhole) {
    MemFile tty;
    Reporter r({OutputMode::Text, tty.Fd(), tty.Fd(), true, nullptr});
    r.BeginSession({"0.1.0", "sim:", "/x/", false, false});
    r.Log(LOG_FAST_MODE);
    r.Log(LOG_LOADING);
    r.Trace("CSerialPort::Open: a trace line");
    r.Log(LOG_SUCCEEDED);
    r.Finish(ExitCode::Success, "");
    EXPECT_EQ(ScreenOf(tty.Text()),
              (std::vector<std::string>{"Using high baudrate bootstrap mode",
                                        "CSerialPort::Open: a trace line",
                                        "Loading the firmware image files...  -> Succeeded"}));
}

// --- The host's view of the pane text ---------------------------------------------------------

TEST(UploadHost, GivesBackTheLineFeedsTheSessionWrote) {
    EXPECT_EQ(UploadHost::ToLineFeeds("Succeeded\r\n"), "Succeeded\n");
    EXPECT_EQ(UploadHost::ToLineFeeds("\r\n\r\n"), "\n\n");
    EXPECT_EQ(UploadHost::ToLineFeeds("# ..\r\n+ ."), "# ..\n+ .");
    EXPECT_EQ(UploadHost::ToLineFeeds("a\rb\r"), "a\rb\r"); // a lone CR is the writer's own
}

// --- The port an upload takes without --port ------------------------------------------------

TEST(DefaultPort, IsTheOnePortListedOtherwiseAnErrorNamingThem) {
    std::string port, error;
    EXPECT_FALSE(ChooseDefaultPort({}, port, error));
    EXPECT_NE(error.find("none found"), std::string::npos);
    EXPECT_NE(error.find("--port"), std::string::npos);
    EXPECT_EQ(port, "");

    SerialPortInfo usb;
    usb.strDevice = "/dev/ttyUSB0";
    ASSERT_TRUE(ChooseDefaultPort({usb}, port, error));
    EXPECT_EQ(port, "/dev/ttyUSB0");

    SerialPortInfo s0;
    s0.strDevice = "/dev/ttyS0";
    port.clear();
    EXPECT_FALSE(ChooseDefaultPort({s0, usb}, port, error));
    EXPECT_EQ(port, "");
    EXPECT_NE(error.find("2 found"), std::string::npos);
    EXPECT_NE(error.find("\n  /dev/ttyS0\n  /dev/ttyUSB0"), std::string::npos) << error;
}

TEST(DefaultPort, IsNeverTheKernelConsole) {
    SerialPortInfo console, usb0, usb1;
    console.strDevice = "/dev/ttyS0";
    console.bConsole = true;
    usb0.strDevice = "/dev/ttyUSB0";
    usb1.strDevice = "/dev/ttyUSB1";
    const struct {
        std::vector<SerialPortInfo> ports;
        const char* pszChosen; // "" when none is
        const char* pszError;  // a part of the error
    } kCases[] = {
        {{console}, "", "none found but the kernel console (/dev/ttyS0), which is never used"},
        {{console, usb0}, "/dev/ttyUSB0", ""},
        {{usb0, console, usb1}, "", "\n  /dev/ttyUSB0\n  /dev/ttyUSB1"},
    };
    for (const auto& c : kCases) {
        std::string port, error;
        EXPECT_EQ(ChooseDefaultPort(c.ports, port, error), *c.pszChosen != 0);
        EXPECT_EQ(port, c.pszChosen);
        EXPECT_NE(error.find(c.pszError), std::string::npos) << error;
        EXPECT_EQ(error.find("/dev/ttyS0\n"), std::string::npos) << error;
    }
}

// --- Cancel signals ---------------------------------------------------------------------------

TEST(CancelSignals, TurnsSignalsIntoReadableEventsWithoutEndingTheProcess) {
    CancelSignals signals;
    ASSERT_TRUE(signals.Install());
    EXPECT_EQ(signals.Take(), 0);
    kill(getpid(), SIGINT);
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(signals.Wait(2000));
    int a = signals.Take(), b = signals.Take();
    if (a > b)
        std::swap(a, b);
    EXPECT_EQ(a, SIGINT);
    EXPECT_EQ(b, SIGTERM);
    EXPECT_EQ(signals.Take(), 0);
    // A second Ctrl-C is only another event.
    kill(getpid(), SIGINT);
    ASSERT_TRUE(signals.Wait(2000));
    EXPECT_EQ(signals.Take(), SIGINT);
}

TEST(CancelSignals, LeavesSignalsIgnoredThatWereIgnoredAtTheStart) {
    struct sigaction old {};
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ign, &old);
    {
        CancelSignals signals;
        ASSERT_TRUE(signals.Install());
        kill(getpid(), SIGHUP); // ignored: neither delivered nor queued
        EXPECT_FALSE(signals.Wait(200));
        EXPECT_EQ(signals.Take(), 0);
    }
    sigaction(SIGHUP, &old, nullptr);
}

TEST(CancelSignals, RestoresTheMaskAndDropsWhatIsPendingWhenDone) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    {
        CancelSignals signals;
        ASSERT_TRUE(signals.Install());
        kill(getpid(), SIGTERM); // pending, never taken
    }
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&before, SIGINT));
    EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM));
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGTERM)); // still alive, and nothing left to deliver
}
