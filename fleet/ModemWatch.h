#pragma once
// Fixed adapters whose fixture raises a modem-status line (DCD, DSR or CTS) while a unit is
// seated. One thread per port sleeps in the driver (TIOCMIWAIT) until the line changes. Where
// the driver cannot wait (cp210x in Linux 6.1 has no TIOCMIWAIT), the thread reads the line
// every kModemPollMs instead, and says so once. The port must be free when its session opens it
// (the session takes it exclusively, and counts any other holder as busy): the watcher closes it
// before it reports a unit, and opens it again only when told that the session has ended, to wait
// for the line to drop.

#include "fleet/ReadyFlags.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fleet {

enum class ModemLine { Dcd, Dsr, Cts };

// How often a line is read where the driver cannot wait for its change.
inline constexpr int kModemPollMs = 10;

// "dcd", "dsr", "cts" (any case).
bool ParseModemLine(const std::string& strName, ModemLine& line);

// One port's modem-status input as the watcher uses it: the system's serial port
// (MakeTtyModemInput: a tty on Linux, ModemInput.cpp; a COM port on Windows,
// ModemInput_win32.cpp) or, in tests, a scripted line.
class IModemInput {
public:
    virtual ~IModemInput() = default;
    virtual bool Open(std::string& strError) = 0;
    virtual void Close() = 0;
    // 1 while the line is up, 0 while it is down, -1 when it cannot be read (strError says why).
    virtual int Level(std::string& strError) = 0;
    enum class Wait { Changed, Interrupted, Failed, Unsupported };
    // Sleeps until the line changes, Interrupt is called, or the wait fails (strError says why;
    // Unsupported: the driver cannot wait, but the line can still be read).
    virtual Wait WaitChange(std::string& strError) = 0;
    // From another thread: a WaitChange in progress returns false. May need repeating (a
    // request that comes just before the wait begins can be missed).
    virtual void Interrupt() = 0;
};

std::unique_ptr<IModemInput> MakeTtyModemInput(const std::string& strDevice, ModemLine line);

struct ModemChange {
    std::string strPort;
    bool bUp = false;
    std::string strError;  // the port cannot be watched (it stays quiet from then on)
    std::string strNotice; // a remark (the line is read every few milliseconds), said once
};

class ModemWatch {
public:
    using Factory = std::function<std::unique_ptr<IModemInput>(const std::string& strPort)>;
    ModemWatch(std::vector<std::string> ports, Factory factory);
    ~ModemWatch(); // Stop()
    ModemWatch(const ModemWatch&) = delete;
    ModemWatch& operator=(const ModemWatch&) = delete;

    // Starts a thread per port and waits until each has read its line once (or failed to). A
    // port whose line is already up is reported at once. False and strError when no port can
    // be watched at all (Read gives each port's reason).
    bool Start(std::string& strError);
    // Ready (a fleet::WaitItem) while Read has changes to give.
    int Fd() const { return m_ready.Fd(); }
    void Read(std::vector<ModemChange>& changes);
    // The port's session has ended: its watcher opens the port again and waits for the drop.
    void Release(const std::string& strPort);
    // Ends every thread (within a few milliseconds whatever the lines do) and closes the ports.
    void Stop();

private:
    struct Port {
        std::string strPort;
        std::unique_ptr<IModemInput> input;
        bool bReleased = false;
        bool bEnded = false;
        int nVerdict = 0; // 1: its line was read once, -1: it cannot be watched
        std::thread thread;
    };
    void Run(Port& p);
    void Report(ModemChange change);
    bool WaitForRelease(Port& p); // false when stopping
    void Verdict(Port& p, bool bWatched);
    // The driver cannot wait: a pause of kModemPollMs, or Interrupted when stopping.
    IModemInput::Wait Pause();

    std::vector<std::unique_ptr<Port>> m_ports;
    Factory m_factory;
    ReadyFlag m_ready;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStop = false;
    std::vector<ModemChange> m_changes;
};

} // namespace fleet
