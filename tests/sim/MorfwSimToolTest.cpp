// morfw-sim, the unit on a serial device, run as a program on a pseudo-terminal. A pty carries
// data only (no breaks, no modem lines), so the program takes "Q!X" at 300 baud as the unlock;
// what can be checked here is the unlock, the bootstrap echo, the options and a clean end.

#include "SimTestSupport.h"

#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace simtest;
using namespace std::chrono;

namespace {

class Pty {
public:
    Pty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 &&
            ptsname_r(m_master, name, sizeof name) == 0)
            m_slave = name;
        // Held open so that the master stays usable around the program's open and close.
        if (!m_slave.empty())
            m_keep = open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~Pty() {
        if (m_keep >= 0)
            close(m_keep);
        if (m_master >= 0)
            close(m_master);
    }
    bool Ok() const { return m_master >= 0 && m_keep >= 0; }
    // The program refuses a device that another process holds, this one included.
    void DropKeep() {
        if (m_keep >= 0)
            close(m_keep);
        m_keep = -1;
    }
    const std::string& Slave() const { return m_slave; }
    void Write(const Bytes& b) const {
        ASSERT_EQ(write(m_master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Reads for ms milliseconds, or until nWant bytes have come.
    Bytes ReadFor(int ms, std::size_t nWant = SIZE_MAX) const {
        Bytes out;
        const auto end = steady_clock::now() + milliseconds(ms);
        while (steady_clock::now() < end && out.size() < nWant) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                BYTE buf[512];
                const ssize_t n = read(m_master, buf, sizeof buf);
                if (n > 0)
                    out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }

private:
    int m_master = -1;
    int m_keep = -1;
    std::string m_slave;
};

struct Program {
    pid_t pid = -1;
    int fdOut = -1;

    bool Start(const std::vector<std::string>& args) {
        int pipefd[2];
        if (pipe(pipefd) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
        posix_spawn_file_actions_addclose(&fa, pipefd[0]);
        const std::string exe = GetProgramDir() + "morfw-sim";
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int r = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(pipefd[1]);
        fdOut = pipefd[0];
        return r == 0;
    }
    // Waits up to ms for the end: the exit code, or -1 when it did not end.
    int WaitExit(int ms) {
        const auto end = steady_clock::now() + milliseconds(ms);
        int status = 0;
        while (steady_clock::now() < end) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    std::string Output() {
        std::string s;
        char buf[1024];
        ssize_t n;
        while ((n = read(fdOut, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (fdOut >= 0)
            close(fdOut);
    }
};

} // namespace

TEST(MorfwSimTool, UnlocksEchoesAndEndsCleanlyOnAPty) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    TempDir dir;
    const SmallSet set = WriteSmallSet(dir.Path());
    pty.DropKeep();
    Program prog;
    ASSERT_TRUE(
        prog.Start({pty.Slave(), "images=" + dir.Path() + ",dump=" + dir.File("dump.txt")}));
    std::this_thread::sleep_for(500ms); // the program opens the device

    pty.Write(Bytes{'Q', '!', 'X'});
    std::this_thread::sleep_for(150ms); // the unit's answer is a break, which a pty drops
    EXPECT_TRUE(pty.ReadFor(50).empty());
    Bytes frame(set.shutup.size() + 1, 0xFF);
    std::copy(set.shutup.begin(), set.shutup.end(), frame.begin() + 1);
    pty.Write(frame);
    EXPECT_EQ(pty.ReadFor(3000, set.shutup.size()), set.shutup);

    // Without the unlock, nothing is echoed.
    pty.Write(frame);
    EXPECT_TRUE(pty.ReadFor(300).empty());

    const auto t0 = steady_clock::now();
    kill(prog.pid, SIGTERM);
    EXPECT_EQ(prog.WaitExit(3000), 0);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1500);
    const std::string out = prog.Output();
    EXPECT_NE(out.find("unlock accepted"), std::string::npos) << out;
    EXPECT_NE(out.find("loaded Shutup.bin"), std::string::npos) << out;
    EXPECT_EQ(access(dir.File("dump.txt").c_str(), F_OK), 0) << out; // empty: no records
}

TEST(MorfwSimTool, RefusesBadOptionsAndMissingDevices) {
    {
        Program prog;
        ASSERT_TRUE(prog.Start({"/dev/null", "nosie=1"}));
        EXPECT_EQ(prog.WaitExit(5000), 2);
        EXPECT_NE(prog.Output().find("unknown option \"nosie\""), std::string::npos);
    }
    {
        Program prog;
        ASSERT_TRUE(prog.Start({"/dev/morfw-no-such-device"}));
        EXPECT_EQ(prog.WaitExit(5000), 1);
        EXPECT_NE(prog.Output().find("morfw-no-such-device"), std::string::npos);
    }
    {
        Program prog;
        ASSERT_TRUE(prog.Start({}));
        EXPECT_EQ(prog.WaitExit(5000), 2);
    }
}
