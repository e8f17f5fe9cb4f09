#include "serial/TermiosLine.h"

#include "serial/DeviceHolders.h"
#include "serial/KernelConsole.h"
#include "serial/PortDiscovery.h"
#include "serial/Termios2.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <vector>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// Polls with nanosecond precision until the deadline (none: without limit), retrying on EINTR.
int PollUntil(pollfd* p, nfds_t n, const Clock::time_point* pDeadline) {
    for (;;) {
        timespec ts{};
        timespec* pts = nullptr;
        if (pDeadline) {
            const auto left = std::max(nanoseconds(0), *pDeadline - Clock::now());
            ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            pts = &ts;
        }
        const int r = ppoll(p, n, pts, nullptr);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// The deadline for a wait of dwMilliseconds, or null for INFINITE.
const Clock::time_point* DeadlineFor(DWORD dwMilliseconds, Clock::time_point* pStore) {
    if (dwMilliseconds == INFINITE)
        return nullptr;
    *pStore = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    return pStore;
}

// Waits on the stop event until the earlier of the two times. True when the stop ended it.
bool StopWithin(const CEvent& stop, Clock::time_point until, const Clock::time_point* pDeadline) {
    if (pDeadline && *pDeadline < until)
        until = *pDeadline;
    pollfd p{stop.Fd(), POLLIN, 0};
    return PollUntil(&p, 1, &until) > 0 && (p.revents & POLLIN);
}

bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

// The terminals of the operator's own session, which are never taken as ports: /dev/tty, the
// console, the virtual consoles, the controlling terminal and the terminals of the standard
// descriptors. Null for any other device.
const char* SessionTerminalKind(dev_t rdev) {
    if (rdev == makedev(5, 0))
        return "the terminal of this session (/dev/tty)";
    if (rdev == makedev(5, 1))
        return "the system console";
    if (major(rdev) == 4 && minor(rdev) < 64)
        return "a virtual console";
    // The controlling terminal, and the one of the program that started this one: a session
    // that the station or a batch started runs in a session of its own, without a terminal,
    // while the operator's terminal is still the one its runner runs in.
    const auto statTty = [](const std::string& strPid, long* pnPpid) -> dev_t {
        // Fields 4 and 7 of /proc/PID/stat, after the command name in brackets.
        std::ifstream statFile("/proc/" + strPid + "/stat");
        std::string strStat;
        std::getline(statFile, strStat);
        const auto close = strStat.rfind(')');
        if (close == std::string::npos)
            return 0;
        std::istringstream rest(strStat.substr(close + 1));
        std::string strState;
        long nPpid = 0, nPgrp = 0, nSession = 0;
        unsigned long nTty = 0;
        if (!(rest >> strState >> nPpid >> nPgrp >> nSession >> nTty))
            return 0;
        if (pnPpid)
            *pnPpid = nPpid;
        const unsigned nMajor = (nTty >> 8) & 0xFFF;
        const unsigned nMinor = (nTty & 0xFF) | ((nTty >> 12) & 0xFFF00);
        return makedev(nMajor, nMinor); // 0 without a terminal
    };
    long nParent = 0;
    if (const dev_t tty = statTty("self", &nParent); tty != 0 && tty == rdev)
        return "the controlling terminal of this program";
    if (nParent > 1) {
        if (const dev_t tty = statTty(std::to_string(nParent), nullptr); tty != 0 && tty == rdev)
            return "the controlling terminal of the program that started this one";
    }
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st {};
        if (isatty(fd) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            return "the terminal this program runs in";
    }
    return nullptr;
}

// The class the kernel files a character device under (/sys/dev/char/MAJ:MIN/subsystem: "tty",
// "mem", ...), known before it is opened; "" where sysfs cannot say.
std::string DeviceClass(dev_t rdev) {
    char szLink[256];
    const std::string strPath = "/sys/dev/char/" + std::to_string(major(rdev)) + ":" +
                                std::to_string(minor(rdev)) + "/subsystem";
    const ssize_t n = readlink(strPath.c_str(), szLink, sizeof szLink - 1);
    if (n <= 0)
        return "";
    const std::string strTarget(szLink, static_cast<std::size_t>(n));
    return strTarget.substr(strTarget.rfind('/') + 1);
}

// Whether the kernel files the device under its tty class. Where sysfs cannot say, false: the
// look after the open remains.
bool IsTtyDevice(dev_t rdev) {
    return DeviceClass(rdev) == "tty";
}

// The master side of pseudo-terminals: the multiplexer (5,2), whose every open makes a new
// pseudo-terminal with nobody at its other end, and the old BSD masters (major 2).
const char* PseudoTerminalMasterKind(dev_t rdev) {
    if (rdev == makedev(5, 2))
        return "the pseudo-terminal multiplexer (each open makes a new pseudo-terminal with "
               "nothing at its other end)";
    if (major(rdev) == 2)
        return "the master side of a pseudo-terminal";
    return nullptr;
}

std::string DevicePathOf(const std::string& strName) {
    return strName.find('/') == std::string::npos ? "/dev/" + strName : strName;
}

std::string UserName() {
    if (const passwd* pw = getpwuid(geteuid()))
        return pw->pw_name;
    return std::to_string(geteuid());
}

// What an operator needs to hear when open fails: the system's reason, and what to do.
std::string OpenErrorReason(int err, const std::string& strPath) {
    switch (err) {
    case EACCES:
    case EPERM: {
        std::string strGroup = "dialout";
        struct stat st {};
        if (stat(strPath.c_str(), &st) == 0) {
            if (const group* gr = getgrgid(st.st_gid))
                strGroup = gr->gr_name;
        }
        const std::string strUser = UserName();
        return "permission denied: " + strPath + " belongs to the group " + strGroup +
               "; let the user " + strUser + " in with: sudo usermod -a -G " + strGroup + " " +
               strUser + " (then log out and in again)";
    }
    case ENOENT:
    case ENOTDIR:
        return "no such device: " + strPath + " (" + DescribeListedPorts() + ")";
    case EBUSY:
        return "busy: " + strPath + " is held exclusively by another program";
    case ENXIO:
    case ENODEV:
    case EIO:
        return "gone: " + strPath + " does not answer (unplugged, or no device behind it)";
    default:
        return strPath + ": " + std::strerror(err);
    }
}

// A busy device, with whoever holds it where that can be seen.
std::string BusyReason(const std::string& strPath, const std::vector<DeviceHolder>& holders,
                       const char* pszUnseen) {
    if (holders.empty())
        return "busy: " + strPath + " is " + (*pszUnseen ? pszUnseen : "open in another program");
    return "busy: " + strPath + " is open in " + DescribeHolders(holders);
}

} // namespace

std::string RefuseSystemPortName(const std::string& strName) {
    if (strName.empty())
        return "no port named";
    const std::string strPath = DevicePathOf(strName);
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? OpenErrorReason(errno, strPath) : "";
    if (S_ISDIR(st.st_mode))
        return "not a serial port: " + strPath + " is a directory";
    if (!S_ISCHR(st.st_mode))
        return "not a serial port: " + strPath + " is not a terminal device";
    // The operator's own terminal is never a port: sending firmware to it would leave it raw.
    if (const char* pszWhy = SessionTerminalKind(st.st_rdev))
        return "not a serial port: " + strPath + " is " + pszWhy;
    if (const char* pszWhy = PseudoTerminalMasterKind(st.st_rdev))
        return "not a serial port: " + strPath + " is " + pszWhy;
    if (const std::string strClass = DeviceClass(st.st_rdev);
        !strClass.empty() && strClass != "tty")
        return "not a serial port: " + strPath + " is not a terminal device";
    if (const std::string strConsole = ConsolePortReason(strPath); !strConsole.empty())
        return ConsoleRefusal(strConsole);
    return "";
}

CTermiosLine::CTermiosLine(int fd) : m_fd(fd) {}

HRESULT CTermiosLine::Open(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                           std::string* pstrReason) {
    if (!ppLine)
        return E_INVALIDARG;
    ppLine->reset();
    const auto fail = [pstrReason](std::string strReason) {
        if (pstrReason)
            *pstrReason = std::move(strReason);
        return E_FAIL;
    };
    // What is no serial device, the operator's own terminal and the console are refused
    // before the open, which would raise DTR and RTS on them.
    if (std::string strWhy = RefuseSystemPortName(strName); !strWhy.empty())
        return fail(std::move(strWhy));
    const std::string strPath = DevicePathOf(strName);
    struct stat st {};
    if (stat(strPath.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        // Looked at before the open too: opening raises DTR and RTS, which would disturb the
        // program that holds the line (and may reset whatever is at its other end).
        if (IsTtyDevice(st.st_rdev)) {
            if (const auto holders = FindDeviceHolders(st.st_rdev); !holders.empty())
                return fail(BusyReason(strPath, holders, ""));
        }
    }
    // Non-blocking also keeps open from hanging on carrier detect; EBUSY means another holder
    // set the exclusive flag.
    const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(OpenErrorReason(errno, strPath));
    const auto failClose = [&](std::string strReason) {
        close(fd);
        return fail(std::move(strReason));
    };
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !Termios2IsTerminal(fd))
        return failClose("not a serial port: " + strPath + " is not a terminal device");
    // Again on what was opened: a name can be made to point elsewhere in between.
    if (const char* pszWhy = SessionTerminalKind(st.st_rdev))
        return failClose("not a serial port: " + strPath + " is " + pszWhy);
    if (const char* pszWhy = PseudoTerminalMasterKind(st.st_rdev))
        return failClose("not a serial port: " + strPath + " is " + pszWhy);
    // Root passes TIOCEXCL, so the lock is what keeps a second copy of this program out, and
    // the look at the other processes' descriptors what keeps out a program that neither
    // locks nor sets the flag. The look comes after the lock and the flag, so that whoever
    // opens after it is refused by them.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return failClose(
            BusyReason(strPath, FindDeviceHolders(st.st_rdev), "locked by another program"));
    if (ioctl(fd, TIOCEXCL) != 0)
        return failClose(OpenErrorReason(errno, strPath));
    if (const auto holders = FindDeviceHolders(st.st_rdev); !holders.empty())
        return failClose(BusyReason(strPath, holders, ""));
    std::unique_ptr<CTermiosLine> pLine(new CTermiosLine(fd));
    Termios2Save(fd, &pLine->m_saved);
    *ppLine = std::move(pLine);
    return S_OK;
}

CTermiosLine::~CTermiosLine() {
    // Unsent output would make close wait (up to 30 s); on a pseudo-terminal the exclusive
    // flag outlives the close, so drop it first. The lock goes with the descriptor.
    Termios2FlushOutput(m_fd);
    Termios2Restore(m_fd, m_saved);
    if (m_bRs485) {
        serial_rs485 rs{};
        ioctl(m_fd, TIOCSRS485, &rs);
    }
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);
}

HRESULT CTermiosLine::PrepareRaw() {
    return Termios2MakeRaw(m_fd) == Termios2Result::Ok ? S_OK : E_FAIL;
}

HRESULT CTermiosLine::Configure(const DCB& dcb) {
    Termios2Frame frame;
    frame.nBaud = dcb.BaudRate;
    frame.nDataBits = dcb.ByteSize;
    frame.nParity = dcb.Parity;
    frame.nStopBits = dcb.StopBits;
    const BYTE byRts = dcb.fRtsControl & 3;
    frame.bRtsCts = byRts == RTS_CONTROL_HANDSHAKE;
    unsigned nActual = 0;
    m_dwRefusedRate = 0;
    if (const Termios2Result r = Termios2ApplyFrame(m_fd, frame, &nActual);
        r != Termios2Result::Ok) {
        if (r == Termios2Result::RateMissed)
            m_dwRefusedRate = nActual;
        return E_FAIL;
    }

    // Start bit, data bits, parity bit, stop bits (one and a half counted as two).
    const long long nBits =
        1 + frame.nDataBits + (frame.nParity ? 1 : 0) + (frame.nStopBits ? 2 : 1);
    m_nCharNanos.store(std::max(1LL, nBits * 1'000'000'000LL / std::max(1U, nActual)));

    // RTS toggling is the driver's RS-485 mode; leave it when another control is chosen.
    if (byRts == RTS_CONTROL_TOGGLE || m_bRs485) {
        serial_rs485 rs{};
        if (byRts == RTS_CONTROL_TOGGLE)
            rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        if (ioctl(m_fd, TIOCSRS485, &rs) == 0)
            m_bRs485 = byRts == RTS_CONTROL_TOGGLE;
        else if (!NoModemLines(errno))
            return E_FAIL;
    }
    if (byRts == RTS_CONTROL_DISABLE)
        return SetRts(false);
    if (byRts == RTS_CONTROL_ENABLE)
        return SetRts(true);
    return S_OK;
}

HRESULT CTermiosLine::SetQueueSizes(int /*nInBytes*/, int /*nOutBytes*/) {
    // The kernel sizes its own queues; what is left of this step is that both answer.
    int nIn = 0;
    int nOut = 0;
    if (ioctl(m_fd, TIOCINQ, &nIn) != 0 || ioctl(m_fd, TIOCOUTQ, &nOut) != 0)
        return E_FAIL;
    // FTDI adapters hold received bytes for their latency timer (16 ms) unless asked not to.
    // Only a structure the driver filled in is written back: a zeroed one would reconfigure
    // an on-board UART. Errors are of no consequence.
    serial_struct ss{};
    if (ioctl(m_fd, TIOCGSERIAL, &ss) == 0) {
        m_bUart = true;
        if (!(ss.flags & ASYNC_LOW_LATENCY)) {
            ss.flags |= ASYNC_LOW_LATENCY;
            ioctl(m_fd, TIOCSSERIAL, &ss);
        }
    }
    return S_OK;
}

HRESULT CTermiosLine::PrepareEvents() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 0) < 0 || (p.revents & POLLNVAL))
        return E_FAIL;
    return S_OK;
}

LineWait CTermiosLine::WaitGone(const CEvent& stop, DWORD dwMilliseconds) const {
    return stop.Wait(dwMilliseconds) == WAIT_OBJECT_0 ? LineWait::Stopped : LineWait::Gone;
}

LineWait CTermiosLine::WaitRx(const CEvent& stop, DWORD dwMilliseconds) {
    if (m_bGone.load())
        return WaitGone(stop, dwMilliseconds);
    pollfd p[2] = {{stop.Fd(), POLLIN, 0}, {m_fd, POLLIN, 0}};
    Clock::time_point store;
    const int r = PollUntil(p, 2, DeadlineFor(dwMilliseconds, &store));
    if (r == 0)
        return LineWait::TimedOut;
    if (r > 0 && (p[0].revents & POLLIN))
        return LineWait::Stopped;
    if (r > 0 && (p[1].revents & POLLIN))
        return LineWait::Ready; // also after a hang-up: Read then finds the end
    // POLLHUP, POLLERR or POLLNVAL alone, or a poll that failed outright: poll would answer
    // at once from now on, so the line is taken out of every wait.
    MarkGone();
    return LineWait::Gone;
}

int CTermiosLine::Read(char* pDest, int nCapacity, RxInfo& info) {
    if (m_bGone.load())
        return -1;
    if (nCapacity <= 0)
        return 0;
    for (;;) {
        const ssize_t n = read(m_fd, pDest, static_cast<size_t>(nCapacity));
        if (n > 0)
            return m_decoder.Decode(pDest, static_cast<int>(n), pDest, info);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // 0 is the end of a hung-up line (unplugged, master closed), EIO and the rest a
        // device that no longer answers.
        MarkGone();
        return -1;
    }
}

void CTermiosLine::NoteWritten(int nBytes) {
    const Clock::duration now = Clock::now().time_since_epoch();
    const Clock::duration from = std::max(now, Clock::duration(m_wireFree.load()));
    m_wireFree.store((from + std::chrono::duration_cast<Clock::duration>(
                                 nanoseconds(m_nCharNanos.load() * nBytes)))
                         .count());
}

int CTermiosLine::TryWrite(const char* pData, int nLength) {
    if (m_bGone.load())
        return -1;
    for (;;) {
        const ssize_t n = write(m_fd, pData, static_cast<size_t>(nLength));
        if (n > 0) {
            NoteWritten(static_cast<int>(n));
            return static_cast<int>(n);
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A full queue is waited out by Write; anything else is a fault (nothing taken
        // included), which Write reports as the line gone.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

LineWait CTermiosLine::Write(const char* pData, int nLength, const CEvent& stop,
                             DWORD dwMilliseconds) {
    if (m_bGone.load())
        return LineWait::Gone;
    if (stop.IsSet())
        return LineWait::Stopped;
    Clock::time_point store;
    const Clock::time_point* pDeadline = DeadlineFor(dwMilliseconds, &store);
    int nDone = 0;
    while (nDone < nLength) {
        const int n = TryWrite(pData + nDone, nLength - nDone);
        if (n > 0) {
            nDone += n;
            continue;
        }
        if (n == 0) {
            pollfd p[2] = {{stop.Fd(), POLLIN, 0}, {m_fd, POLLOUT, 0}};
            const int r = PollUntil(p, 2, pDeadline);
            if (r == 0)
                return LineWait::TimedOut;
            if (r > 0 && (p[0].revents & POLLIN))
                return LineWait::Stopped; // the rest is discarded
            if (r > 0 && (p[1].revents & POLLOUT))
                continue;
        }
        MarkGone();
        return LineWait::Gone;
    }
    return LineWait::Ready;
}

LineWait CTermiosLine::WaitTxDrained(const CEvent& stop, DWORD dwMilliseconds) {
    if (m_bGone.load())
        return LineWait::Gone;
    Clock::time_point store;
    const Clock::time_point* pDeadline = DeadlineFor(dwMilliseconds, &store);
    // Each look waits for the time the remaining bytes need; a line that makes no progress
    // (held by flow control, a stalled adapter) is looked at ever less often, up to 100 ms.
    const nanoseconds maxSlice = std::chrono::milliseconds(100);
    nanoseconds stall{0};
    int nLastOutq = -1;
    for (;;) {
        int nOutq = 0;
        if (ioctl(m_fd, TIOCOUTQ, &nOutq) != 0) {
            MarkGone();
            return LineWait::Gone;
        }
        const nanoseconds charTime(m_nCharNanos.load());
        nanoseconds slice;
        if (nOutq > 0) {
            stall = nOutq == nLastOutq ? std::min(maxSlice, std::max(stall * 2, charTime))
                                       : nanoseconds(0);
            slice = std::max(charTime * nOutq, stall);
            nLastOutq = nOutq;
        } else if (m_bUart && !m_bNoLsr) {
            unsigned int lsr = 0;
            if (ioctl(m_fd, TIOCSERGETLSR, &lsr) != 0) {
                m_bNoLsr = true; // the driver cannot tell; wait out the wire time instead
                continue;
            }
            if (lsr & TIOCSER_TEMT)
                return LineWait::Ready;
            stall = std::min(maxSlice, std::max(stall * 2, charTime));
            slice = stall;
        } else if (const Clock::time_point wireFree{Clock::duration(m_wireFree.load())};
                   m_bUart && Clock::now() < wireFree) {
            // The adapter's own buffer: its bytes cannot leave faster than the line rate.
            if (StopWithin(stop, wireFree, pDeadline))
                return LineWait::Stopped;
            if (pDeadline && Clock::now() >= *pDeadline)
                return LineWait::TimedOut;
            return LineWait::Ready;
        } else {
            return LineWait::Ready; // no UART behind it (a pseudo-terminal): nothing in flight
        }
        if (pDeadline && Clock::now() >= *pDeadline)
            return LineWait::TimedOut;
        if (StopWithin(stop, Clock::now() + slice, pDeadline))
            return LineWait::Stopped;
    }
}

HRESULT CTermiosLine::SetBreak(bool bOn) {
    return ioctl(m_fd, bOn ? TIOCSBRK : TIOCCBRK) == 0 ? S_OK : E_FAIL;
}

HRESULT CTermiosLine::SetModemLine(int nBit, bool bOn) {
    if (ioctl(m_fd, bOn ? TIOCMBIS : TIOCMBIC, &nBit) == 0)
        return S_OK;
    return NoModemLines(errno) ? S_OK : E_FAIL; // a pseudo-terminal has no modem lines
}

HRESULT CTermiosLine::SetDtr(bool bOn) {
    return SetModemLine(TIOCM_DTR, bOn);
}
HRESULT CTermiosLine::SetRts(bool bOn) {
    return SetModemLine(TIOCM_RTS, bOn);
}

HRESULT CTermiosLine::GetModemStatus(ModemStatus* pStatus) {
    int nBits = 0;
    if (ioctl(m_fd, TIOCMGET, &nBits) != 0)
        return NoModemLines(errno) ? E_NOTIMPL : E_FAIL;
    pStatus->bCts = (nBits & TIOCM_CTS) != 0;
    pStatus->bDsr = (nBits & TIOCM_DSR) != 0;
    pStatus->bDcd = (nBits & TIOCM_CAR) != 0;
    pStatus->bRing = (nBits & TIOCM_RNG) != 0;
    return S_OK;
}

HRESULT OpenSystemLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason) {
    return CTermiosLine::Open(strName, ppLine, pstrReason);
}
