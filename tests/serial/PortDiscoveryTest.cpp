#include "serial/PortDiscovery.h"
#include "serial/KernelConsole.h"
#include "serial/SerialLine.h"
#include "serial/SerialPort.h"

#include "PtyPair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A small sysfs and /dev of our own.
class FakeTree {
public:
    FakeTree() {
        m_root = fs::temp_directory_path() / ("morfw-ports-" + std::to_string(getpid()));
        fs::remove_all(m_root);
        fs::create_directories(Sys());
        fs::create_directories(Dev() / "serial" / "by-id");
        fs::create_directories(m_root / "devices");
    }
    ~FakeTree() { fs::remove_all(m_root); }
    fs::path Sys() const { return m_root / "class" / "tty"; }
    fs::path Dev() const { return m_root / "dev"; }
    fs::path Consoles() const { return m_root / "consoles"; }
    CONSOLE_ROOTS Roots() const { return {Consoles().string(), Sys().string(), Dev().string()}; }
    void Link(const std::string& link, const std::string& target) {
        fs::create_symlink(Dev() / target, Dev() / link);
    }

    // A tty; with a device directory (and a driver link) when device is not empty.
    void Tty(const std::string& name, const std::string& device, const std::string& type = "",
             bool bNode = true) {
        const fs::path d = Sys() / name;
        fs::create_directories(d);
        Write(d / "uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name + "\n");
        if (!type.empty())
            Write(d / "type", type + "\n");
        if (!device.empty()) {
            const fs::path dev = m_root / "devices" / device;
            fs::create_directories(dev);
            fs::create_directory_symlink(dev, d / "device");
        }
        if (bNode)
            Write(Dev() / name, "");
    }
    void Driver(const std::string& device, const std::string& driver) {
        const fs::path drv = m_root / "drivers" / driver;
        fs::create_directories(drv);
        fs::create_directory_symlink(drv, m_root / "devices" / device / "driver");
    }
    void Attr(const std::string& device, const std::string& name, const std::string& value) {
        Write(m_root / "devices" / device / name, value + "\n");
    }
    void ById(const std::string& link, const std::string& name) {
        fs::create_symlink(Dev() / name, Dev() / "serial" / "by-id" / link);
    }

private:
    static void Write(const fs::path& p, const std::string& s) { std::ofstream(p) << s; }
    fs::path m_root;
};

} // namespace

TEST(PortDiscovery, ListsRealSerialDevicesWithTheirUsbDetails) {
    FakeTree t;
    t.Tty("tty0", "");                       // a virtual console: no device behind it
    t.Tty("tty5", "vc5");                    // even with one, consoles are left out
    t.Tty("ttyS0", "pnp0/00:00/port0", "4"); // a 16550A
    t.Tty("ttyS1", "serial8250/port1", "0"); // a legacy slot with no UART
    t.Tty("ttyS10", "pnp0/00:01/port10", "4");
    t.Tty("ttyS2", "pnp0/00:02/port2", "4");
    t.Tty("ttyS3", "pnp0/00:03/port3", "4", false); // no node under /dev
    t.Tty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0");
    t.Driver("usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
    t.Attr("usb1/1-1", "idVendor", "0403");
    t.Attr("usb1/1-1", "idProduct", "6001");
    t.Attr("usb1/1-1", "manufacturer", "FTDI");
    t.Attr("usb1/1-1", "product", "FT232R USB UART");
    t.Attr("usb1/1-1", "serial", "A50285BI");
    t.ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    t.Tty("ttyACM0", "usb1/1-2/1-2:1.0");
    t.Attr("usb1/1-2", "idVendor", "2341");
    t.Attr("usb1/1-2", "idProduct", "0043");

    const auto ports = EnumerateSerialPorts(t.Sys().string(), t.Dev().string());
    std::vector<std::string> names;
    for (const auto& p : ports)
        names.push_back(fs::path(p.strDevice).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));

    const SerialPortInfo& usb = ports.back();
    EXPECT_EQ(usb.strDevice, (t.Dev() / "ttyUSB0").string());
    EXPECT_TRUE(usb.bUsb);
    EXPECT_EQ(usb.strVendorId, "0403");
    EXPECT_EQ(usb.strProductId, "6001");
    EXPECT_EQ(usb.strManufacturer, "FTDI");
    EXPECT_EQ(usb.strProduct, "FT232R USB UART");
    EXPECT_EQ(usb.strSerialNumber, "A50285BI");
    EXPECT_EQ(usb.strDriver, "ftdi_sio");
    EXPECT_EQ(
        usb.strByIdLink,
        (t.Dev() / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string());
    EXPECT_TRUE(ports[0].bUsb);
    EXPECT_EQ(ports[0].strVendorId, "2341");
    EXPECT_FALSE(ports[1].bUsb);
    EXPECT_EQ(ports[1].strByIdLink, "");

    // The port object serves the same names by index, until null.
    CSerialPort port(t.Sys().string(), t.Dev().string());
    for (size_t i = 0; i < ports.size(); ++i) {
        ASSERT_NE(port.GetPortName(static_cast<int>(i)), nullptr);
        EXPECT_EQ(port.GetPortName(static_cast<int>(i)), ports[i].strDevice);
        EXPECT_EQ(port.GetPortInfo(static_cast<int>(i))->strVendorId, ports[i].strVendorId);
    }
    EXPECT_EQ(port.GetPortName(static_cast<int>(ports.size())), nullptr);
    EXPECT_EQ(port.GetPortName(-1), nullptr);
    EXPECT_EQ(port.GetPortInfo(-1), nullptr);
}

TEST(PortDiscovery, AMissingTreeGivesAnEmptyList) {
    EXPECT_TRUE(EnumerateSerialPorts("/nonexistent/class/tty", "/nonexistent").empty());
    CSerialPort port("/nonexistent/class/tty", "/nonexistent");
    EXPECT_EQ(port.GetPortName(0), nullptr);
}

TEST(PortDiscovery, TheSystemListHoldsOnlyNamesOpenCanOpen) {
    CSerialPort port;
    for (int i = 0; const char* name = port.GetPortName(i); ++i) {
        EXPECT_TRUE(std::string(name).starts_with("/dev/")) << name;
        EXPECT_TRUE(fs::exists(name)) << name;
    }
}

// --- The kernel console ------------------------------------------------------------------------

TEST(KernelConsole, ReadsBothFilesAndKnowsAConsoleByNameNumberOrLink) {
    FakeTree t;
    for (const char* tty : {"ttyS0", "ttyS1", "ttyAMA0"})
        t.Tty(tty, tty);
    for (const char* tty : {"console", "tty", "tty0"}) // no device behind them: never listed
        t.Tty(tty, "");
    // ttyS0 in both files with its number, netconsole without a tty, ttyAMA0 only in active.
    std::ofstream(t.Consoles()) << "ttyS0   -W- (EC  p a)    4:64\nnetcon0  -W- (E     )\n";
    fs::create_directories(t.Sys() / "console");
    std::ofstream(t.Sys() / "console" / "active") << "tty0 ttyAMA0 ttyS0\n";
    t.Link("serial0", "ttyS0");
    t.Link("serial1", "ttyAMA0");
    t.Link("modem", "ttyS1");

    const std::string dev = t.Dev().string() + "/";
    const struct {
        std::string strDevice;
        std::string strReason; // "" for a port that is no console
    } kCases[] = {
        {dev + "ttyS0", dev + "ttyS0 is the kernel console (ttyS0)"},
        {dev + "serial0", dev + "serial0 is the kernel console (ttyS0)"},
        {dev + "serial1", dev + "serial1 is the kernel console (ttyAMA0)"},
        {dev + "console", dev + "console is the system console"},
        {dev + "tty", dev + "tty is the terminal of this session (/dev/tty)"},
        {dev + "tty0", dev + "tty0 is a virtual console"},
        {dev + "modem", ""},
        {dev + "ttyS9", ""}, // not there
        {"", ""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(ConsolePortReason(c.strDevice, t.Roots()), c.strReason) << c.strDevice;

    // The list marks the consoles and keeps them.
    std::string strMarked;
    for (const auto& p : EnumerateSerialPorts(t.Sys().string(), dev, t.Consoles().string()))
        strMarked += fs::path(p.strDevice).filename().string() + (p.bConsole ? "* " : " ");
    EXPECT_EQ(strMarked, "ttyAMA0* ttyS0* ttyS1 ");
}

TEST(KernelConsole, WhatIsNoSerialDeviceIsRefusedBeforeItIsOpened) {
    const fs::path dir =
        fs::temp_directory_path() / ("morfw-notserial-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "file") << "x";
    const struct {
        std::string strName;
        std::string strReasonStart; // "" where nothing is known against the name
    } kCases[] = {
        {"/dev/ptmx", "not a serial port: /dev/ptmx is the pseudo-terminal multiplexer"},
        {dir.string(), "not a serial port: " + dir.string() + " is a directory"},
        {(dir / "file").string(), "not a serial port: " + (dir / "file").string() + " is not a "},
        {(dir / "none").string(), "no such device: " + (dir / "none").string() + " ("},
        {"/dev/null", "not a serial port: /dev/null is not a terminal device"},
        {"tty", "not a serial port: /dev/tty is the terminal of this session"},
        {"", "no port named"},
        {"sim:", ""}, // a backend's own name, once one is registered for it
    };
    RegisterLineBackend("sim:", [](const std::string&, std::unique_ptr<ISerialLine>*,
                                   std::string*) { return E_FAIL; });
    for (const auto& c : kCases) {
        const std::string why = RefusePortName(c.strName);
        EXPECT_TRUE(c.strReasonStart.empty() ? why.empty() : why.starts_with(c.strReasonStart))
            << c.strName << ": " << why;
        std::unique_ptr<ISerialLine> line;
        std::string strOpen;
        if (!c.strReasonStart.empty()) {
            EXPECT_EQ(OpenSerialLine(c.strName, &line, &strOpen), E_FAIL);
        }
        EXPECT_EQ(strOpen, c.strReasonStart.empty() ? "" : why) << c.strName;
    }
    RegisterLineBackend("sim:", nullptr);
    fs::remove_all(dir);
}

TEST(KernelConsole, TheOperatorsTerminalIsRefusedAlsoInASessionStartedFromIt) {
    // A program in a session of its own with the pseudo-terminal as its controlling terminal
    // (the operator's shell and the runner), and one it starts in a further session without a
    // terminal (a unit's upload): each refuses the terminal, saying whose it is.
    CPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t runner = fork();
    ASSERT_GE(runner, 0);
    if (runner == 0) {
        close(fds[0]);
        const auto report = [&](const std::string& why) {
            const std::string line = why + "\n";
            if (write(fds[1], line.data(), line.size()) < 0)
                _exit(2);
        };
        setsid();
        const int tty = open(pty.Slave().c_str(), O_RDWR);
        if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0)
            _exit(3);
        report(RefusePortName(pty.Slave()));
        const pid_t session = fork();
        if (session == 0) {
            close(tty);
            setsid();
            report(RefusePortName(pty.Slave()));
            _exit(0);
        }
        int status = 0;
        waitpid(session, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(runner, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string prefix = "not a serial port: " + pty.Slave() + " is ";
    EXPECT_EQ(out, prefix + "the controlling terminal of this program\n" + prefix +
                       "the controlling terminal of the program that started this one\n");
}
