// CSerialPort over pseudo-terminal pairs: the master side plays the unit.
#include "PtyPair.h"

#include "platform/Beep.h"
#include "serial/DeviceHolders.h"
#include "serial/SerialPort.h"
#include "serial/Termios2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <ctime>
#include <mutex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>

using namespace std::chrono;

extern char** environ;

namespace {

PORTMODE Mode(const std::string& strPort, DWORD dwBaud) {
    PORTMODE m{};
    m.cbSize = 32;
    std::strncpy(m.szPort, strPort.c_str(), sizeof m.szPort - 1);
    m.dwBaudRate = dwBaud;
    m.byByteSize = 8;
    m.dwReserved = 0xFFFFFFFF;
    return m;
}

// Runs the probe program; its exit code, or -1.
int RunProbe(std::vector<std::string> args) {
    static char probe[] = MORFW_SERIAL_PROBE;
    std::vector<char*> argv{probe};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Runs the probe program: its exit code (or -1) and what it printed.
std::pair<int, std::string> RunProbeOutput(std::vector<std::string> args) {
    static char probe[] = MORFW_SERIAL_PROBE;
    std::vector<char*> argv{probe};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return {-1, out};
    return {WEXITSTATUS(status), out};
}

// Another program that holds a device with a plain open, as a terminal program does.
class CPlainHolder {
public:
    explicit CPlainHolder(const std::string& strDevice) {
        std::string cmd = "exec sleep 30 <>" + strDevice;
        char sh[] = "/bin/sh";
        char c[] = "-c";
        char* argv[] = {sh, c, cmd.data(), nullptr};
        if (posix_spawn(&m_pid, sh, nullptr, nullptr, argv, environ) != 0)
            m_pid = -1;
    }
    ~CPlainHolder() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    CPlainHolder(const CPlainHolder&) = delete;
    CPlainHolder& operator=(const CPlainHolder&) = delete;
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        m_oldBeep = SetBeepSink([this](DWORD f, DWORD d) {
            std::lock_guard lock(m_mutex);
            beeps.push_back({f, d, steady_clock::now()});
        });
    }
    void TearDown() override {
        port.Close();
        SetBeepSink(m_oldBeep);
    }
    struct BeepCall {
        DWORD dwFreq, dwDuration;
        steady_clock::time_point t;
    };
    CPtyPair pty;
    CSerialPort port{"/nonexistent", "/nonexistent"};
    std::vector<BeepCall> beeps;

private:
    std::mutex m_mutex;
    BeepSink m_oldBeep;
};

} // namespace

TEST_F(PtyPort, OpensClosesAndOpensAgain) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    EXPECT_EQ(port.GetOpenPortName(), pty.Slave());
    EXPECT_EQ(port.WaitTxEmpty(0), 0); // nothing sent yet
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    // Break and modem-line calls are no-ops on a pseudo-terminal, but succeed.
    EXPECT_EQ(port.SetBreak(), S_OK);
    EXPECT_EQ(port.ClearBreak(), S_OK);
    EXPECT_EQ(port.EscapeFunction(SETDTR), S_OK);
    EXPECT_EQ(port.EscapeFunction(CLRRTS), S_OK);
    EXPECT_TRUE(beeps.empty());
}

TEST_F(PtyPort, ASecondProgramCannotOpenAHeldPort) {
    pty.DropKeep(); // a hold of our own counts as another program's for the probe
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    EXPECT_EQ(RunProbe({"--line", pty.Slave()}), 1);
    CSerialPort second{"/nonexistent", "/nonexistent"};
    std::unique_ptr<ISerialLine> line;
    EXPECT_EQ(OpenSerialLine(pty.Slave(), &line), E_FAIL); // nor a second open here
    port.Close();
    EXPECT_EQ(RunProbe({"--line", pty.Slave()}), 0);
}

// A plain open passes the exclusive flag and the lock (and root passes the flag anyway): the
// port looks for other holders itself, treats them as a busy port and names them.
TEST_F(PtyPort, APortThatAnotherProgramHoldsIsBusyAndTheHolderIsNamed) {
    pty.DropKeep();
    CPlainHolder holder(pty.Slave());
    ASSERT_GT(holder.Pid(), 0);
    // The shell opens the device before it becomes sleep: wait for the exec as well.
    const std::string expected = "sleep (pid " + std::to_string(holder.Pid()) + ")";
    const auto t0 = steady_clock::now();
    while (DescribeHolders(FindPortHolders(pty.Slave())) != expected &&
           steady_clock::now() - t0 < 3s)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(DescribeHolders(FindPortHolders(pty.Slave())), expected);

    EXPECT_EQ(port.Open(Mode(pty.Slave(), 300)), E_PORT_OPEN_FAILED);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(beeps.size(), 7u); // 3-3-1, as for any busy port
    EXPECT_EQ(port.GetOpenFailureReason(), "busy: " + pty.Slave() + " is open in sleep (pid " +
                                               std::to_string(holder.Pid()) + ")");
}

TEST_F(PtyPort, EveryRefusedOpenSaysWhy) {
    std::unique_ptr<ISerialLine> line;
    std::string why;
    EXPECT_EQ(OpenSerialLine("/dev/morfw-no-such-port", &line, &why), E_FAIL);
    EXPECT_TRUE(why.starts_with("no such device: /dev/morfw-no-such-port (")) << why;
    // A bare name is looked up under /dev, but the session's own terminals are never ports.
    EXPECT_EQ(OpenSerialLine("tty", &line, &why), E_FAIL);
    EXPECT_EQ(why, "not a serial port: /dev/tty is the terminal of this session (/dev/tty)");
    EXPECT_EQ(OpenSerialLine("/dev/null", &line, &why), E_FAIL);
    EXPECT_EQ(why, "not a serial port: /dev/null is not a terminal device");
    if (access("/dev/tty1", F_OK) == 0) {
        EXPECT_EQ(OpenSerialLine("tty1", &line, &why), E_FAIL);
        EXPECT_EQ(why, "not a serial port: /dev/tty1 is a virtual console");
    }
    // Held by this program already: its lock says so.
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    EXPECT_EQ(OpenSerialLine(pty.Slave(), &line, &why), E_FAIL);
    EXPECT_EQ(why, "busy: " + pty.Slave() + " is locked by another program");
    port.Close();

    if (getuid() != 0)
        return; // the rest needs another user to be denied
    ASSERT_EQ(chmod(pty.Slave().c_str(), 0600), 0);
    const auto [code, out] = RunProbeOutput({"--uid", "65534", "--line", pty.Slave()});
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(out.starts_with("permission denied: " + pty.Slave() + " belongs to the group "))
        << out;
    EXPECT_NE(out.find("sudo usermod -a -G "), std::string::npos) << out;
}

// The device goes back to whoever uses it next as it was found, not as a raw line.
TEST_F(PtyPort, CloseGivesBackTheSettingsFoundAtOpen) {
    termios before{};
    ASSERT_EQ(tcgetattr(pty.Keep(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u); // a new pseudo-terminal is cooked
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    termios during{};
    ASSERT_EQ(tcgetattr(pty.Keep(), &during), 0);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
    port.Close();
    termios after{};
    ASSERT_EQ(tcgetattr(pty.Keep(), &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(PtyPort, AnOrdinaryUserCanOpenCloseAndOpenAgain) {
    // The exclusive flag outlives the close on a pseudo-terminal unless it is dropped; only
    // root passes it, so the check runs as another user.
    if (getuid() != 0) {
        ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
        port.Close();
        EXPECT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
        return;
    }
    ASSERT_EQ(chmod(pty.Slave().c_str(), 0666), 0);
    EXPECT_EQ(RunProbe({"--uid", "65534", "--twice", pty.Slave()}), 0);
    // And after root's own open and close.
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    port.Close();
    EXPECT_EQ(RunProbe({"--uid", "65534", "--line", pty.Slave()}), 0);
}

TEST_F(PtyPort, AMissingPortFailsAfterElevenAttemptsWithBeepCode331) {
    const auto t0 = steady_clock::now();
    EXPECT_EQ(port.Open(Mode("/dev/morfw-no-such-port", 300)), E_PORT_OPEN_FAILED);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetOpenPortName(), "");
    ASSERT_EQ(beeps.size(), 7u);
    // Eleven attempts, each followed by 200 ms, before the first beep.
    const auto tFirst = beeps[0].t - t0;
    EXPECT_GE(tFirst, milliseconds(2190));
    EXPECT_LT(tFirst, milliseconds(4000));
    // 3-3-1: 300 ms between the beeps of a group, 600 ms between groups (the recording sink
    // returns at once, so the gaps are the pauses alone).
    const int gaps[6] = {300, 300, 600, 300, 300, 600};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(beeps[i].dwFreq, 1000u);
        EXPECT_EQ(beeps[i].dwDuration, 100u);
        if (i == 0)
            continue;
        const auto gap = duration_cast<milliseconds>(beeps[i].t - beeps[i - 1].t).count();
        EXPECT_GE(gap, gaps[i - 1]) << "gap " << i;
        EXPECT_LT(gap, gaps[i - 1] + 250) << "gap " << i;
    }
}

TEST_F(PtyPort, All256ByteValuesPassBothWays) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 38400)), S_OK);
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<char>(i);

    // Unit to port: 0xFF arrives doubled from the kernel and is one byte again in the ring;
    // NUL is kept; no byte is translated.
    ASSERT_TRUE(pty.WriteAll(all.data(), all.size()));
    const auto end = steady_clock::now() + seconds(5);
    while (port.GetRxCount() < 256 && steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(1));
    ASSERT_EQ(port.GetRxCount(), 256);
    std::string got(256, '\0');
    int n = 256;
    ASSERT_EQ(port.ReadRx(got.data(), n), 0);
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.WaitRxBreak(0), 1); // a NUL byte alone is no break

    // Port to unit.
    ASSERT_EQ(port.Send(all.data(), 256), 0);
    const auto out = pty.ReadN(256, 5000);
    EXPECT_EQ(std::string(out.begin(), out.end()), all);
    EXPECT_EQ(port.WaitTxEmpty(5000), 0);
}

TEST_F(PtyPort, RatesAndFramingAsTheUnitSideReadsThem) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 300)), S_OK);
    for (DWORD rate : {300u, 738u, 4800u, 38400u}) {
        ASSERT_EQ(port.SetPortMode(Mode("", rate)), S_OK) << rate;
        unsigned nOut = 0, nIn = 0;
        ASSERT_TRUE(Termios2GetRates(pty.Master(), &nOut, &nIn));
        EXPECT_EQ(nOut, rate);
        EXPECT_EQ(nIn, rate);
        Termios2Frame f;
        bool bRaw = false;
        ASSERT_TRUE(Termios2GetFrame(pty.Master(), &f, &bRaw));
        EXPECT_EQ(f.nDataBits, 8);
        EXPECT_EQ(f.nParity, 0);
        EXPECT_EQ(f.nStopBits, 0);
        EXPECT_FALSE(f.bRtsCts);
        EXPECT_TRUE(bRaw);
    }
    DCB dcb;
    ASSERT_EQ(port.GetPortMode(dcb), S_OK);
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_EQ(port.SetPortMode(dcb), S_OK);
    Termios2Frame f;
    ASSERT_TRUE(Termios2GetFrame(pty.Master(), &f, nullptr));
    EXPECT_EQ(f.nBaud, 38400u);
    EXPECT_EQ(f.nStopBits, 2);

    // A pseudo-terminal keeps 8 data bits without parity whatever it is told; framing the
    // line does not keep is refused rather than reported as set.
    DCB b7e = dcb;
    b7e.ByteSize = 7;
    b7e.Parity = EVENPARITY;
    EXPECT_EQ(port.SetPortMode(b7e), E_FAIL);

    // Refused settings leave the line as it was.
    using Spoil = void (*)(DCB&);
    for (Spoil bad : {+[](DCB& d) { d.BaudRate = 0; }, +[](DCB& d) { d.ByteSize = 9; },
                      +[](DCB& d) { d.Parity = 5; }, +[](DCB& d) { d.StopBits = ONE5STOPBITS; }}) {
        DCB b = dcb;
        bad(b);
        EXPECT_EQ(port.SetPortMode(b), E_FAIL);
    }
    ASSERT_TRUE(Termios2GetFrame(pty.Master(), &f, nullptr));
    EXPECT_EQ(f.nBaud, 38400u);
    EXPECT_EQ(f.nDataBits, 8);
    EXPECT_EQ(f.nParity, 0);
    EXPECT_EQ(f.nStopBits, 2);
    DCB kept;
    ASSERT_EQ(port.GetPortMode(kept), S_OK);
    EXPECT_EQ(kept.StopBits, TWOSTOPBITS);
}

TEST_F(PtyPort, TransmitEmptyAfterOpenAndAfterSend) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 38400)), S_OK);
    EXPECT_EQ(port.WaitTxEmpty(0), 0);
    ASSERT_EQ(port.Send("0123456789", 10), 0);
    EXPECT_EQ(port.WaitTxEmpty(3000), 0);
    const auto out = pty.ReadN(10, 3000);
    EXPECT_EQ(std::string(out.begin(), out.end()), "0123456789");
}

TEST_F(PtyPort, AHungUpLineLeavesTheProcessIdleAndCloseStillPrompt) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 38400)), S_OK);
    pty.CloseMaster();
    pty.DropKeep();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(port.Send("x", 1), 0); // queued; the write finds the line gone
    const double cpu0 = ProcessCpuSeconds();
    std::this_thread::sleep_for(seconds(2));
    const double cpu = ProcessCpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.2) << "CPU seconds while the line was gone";
    EXPECT_EQ(port.WaitTxEmpty(100), 1);
    EXPECT_EQ(port.WaitRxBreak(100), 1);
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(port.Close());
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
}

TEST_F(PtyPort, CloseIsPromptWhileAWriteWaitsForRoom) {
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 38400)), S_OK);
    // The unit reads nothing: the pseudo-terminal fills up and the write has to wait.
    const std::string chunk(4000, 'w');
    for (int i = 0; i < 40; ++i) {
        port.Send(chunk.data(), static_cast<int>(chunk.size()));
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_EQ(port.WaitTxEmpty(200), 1);
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(port.Close());
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
    // The unsent bytes were discarded, and the port opens again at once.
    ASSERT_EQ(port.Open(Mode(pty.Slave(), 38400)), S_OK);
}
