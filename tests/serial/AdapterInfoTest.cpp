#include "serial/AdapterInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

// A sysfs and /dev laid out as the kernel does for usb-serial ports and built-in UARTs.
class SysTree {
public:
    struct Usb {
        Usb(std::string vendor, std::string product, std::string bcd, std::string version,
            std::string name, int nIf = 0, int nLatencyMs = -1)
            : strVendor(std::move(vendor)), strProduct(std::move(product)), strBcd(std::move(bcd)),
              strVersion(std::move(version)), strName(std::move(name)), nInterface(nIf),
              nLatency(nLatencyMs) {}
        std::string strVendor;
        std::string strProduct;
        std::string strBcd;     // bcdDevice
        std::string strVersion; // bcdUSB
        std::string strName;    // the product string
        int nInterface;
        int nLatency; // latency_timer, none when negative
    };

    SysTree() {
        static int s_nTree = 0;
        m_root = fs::temp_directory_path() /
                 ("morfw-adapters-" + std::to_string(getpid()) + "-" + std::to_string(++s_nTree));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "class" / "tty");
        fs::create_directories(m_root / "dev" / "serial" / "by-id");
    }
    ~SysTree() { fs::remove_all(m_root); }
    std::string Sys() const { return (m_root / "class" / "tty").string(); }
    std::string Dev() const { return (m_root / "dev").string(); }
    std::string Node(const std::string& tty) const { return (m_root / "dev" / tty).string(); }

    // The USB device, its interface, and the usb-serial port bound to the driver below it.
    void UsbPort(const std::string& tty, const std::string& driver, const Usb& usb) {
        const std::string strBus = "1-" + std::to_string(++m_nUsb);
        const fs::path dev = m_root / "devices" / "usb1" / strBus;
        const fs::path intf = dev / (strBus + ":1." + std::to_string(usb.nInterface));
        const fs::path port = intf / tty;
        fs::create_directories(port);
        Write(dev / "idVendor", usb.strVendor);
        Write(dev / "idProduct", usb.strProduct);
        Write(dev / "bcdDevice", usb.strBcd);
        Write(dev / "version", " " + usb.strVersion); // sysfs pads it: " 1.10"
        Write(dev / "product", usb.strName);
        Write(dev / "serial", "A50285BI");
        Write(intf / "bInterfaceNumber", "0" + std::to_string(usb.nInterface));
        if (usb.nLatency >= 0)
            Write(port / "latency_timer", std::to_string(usb.nLatency));
        Bind(port, driver);
        Tty(tty, port);
    }

    // A CDC-ACM device: cdc_acm binds the interface, which is the tty's device and shows the
    // capabilities (none when nCaps is negative).
    void AcmPort(const std::string& tty, int nCaps) {
        const std::string strBus = "1-" + std::to_string(++m_nUsb);
        const fs::path dev = m_root / "devices" / "usb1" / strBus;
        const fs::path intf = dev / (strBus + ":1.0");
        fs::create_directories(intf);
        Write(dev / "idVendor", "1a86");
        Write(dev / "idProduct", "55d4");
        Write(intf / "bInterfaceNumber", "00");
        if (nCaps >= 0)
            Write(intf / "bmCapabilities", std::to_string(nCaps));
        Bind(intf, "cdc_acm");
        Tty(tty, intf);
    }

    // A serial-core port: port and ctrl devices below the platform device the driver binds.
    void Uart(const std::string& tty, int nType, unsigned long nClock) {
        const fs::path base = m_root / "devices" / "pnp0" / ("00:0" + std::to_string(++m_nUart));
        const fs::path port = base / "ctrl" / "port";
        fs::create_directories(port);
        Bind(base, "serial");
        Bind(base / "ctrl", "ctrl");
        Bind(port, "port");
        Tty(tty, port);
        Write(m_root / "class" / "tty" / tty / "type", std::to_string(nType));
        Write(m_root / "class" / "tty" / tty / "uartclk", std::to_string(nClock));
    }

    void ById(const std::string& link, const std::string& tty) {
        fs::create_symlink(m_root / "dev" / tty, m_root / "dev" / "serial" / "by-id" / link);
    }

private:
    static void Write(const fs::path& p, const std::string& s) { std::ofstream(p) << s << "\n"; }
    void Bind(const fs::path& device, const std::string& driver) {
        const fs::path drv = m_root / "drivers" / driver;
        fs::create_directories(drv);
        fs::create_directory_symlink(drv, device / "driver");
    }
    void Tty(const std::string& tty, const fs::path& device) {
        const fs::path d = m_root / "class" / "tty" / tty;
        fs::create_directories(d);
        fs::create_directory_symlink(device, d / "device");
        Write(m_root / "dev" / tty, "");
    }

    fs::path m_root;
    int m_nUsb = 0;
    int m_nUart = 0;
};

struct Judged {
    std::string strChip;
    std::vector<ADAPTER_VERDICT> verdicts;
    const ADAPTER_VERDICT& operator[](ADAPTER_NEED need) const {
        return verdicts.at(static_cast<size_t>(need));
    }
};

Judged Judge(const SysTree& t, const std::string& tty) {
    const ADAPTER_INFO info = ReadAdapterInfo(t.Node(tty), t.Sys(), t.Dev());
    return {AdapterChip(info), JudgeAdapter(info)};
}

Judged JudgeUsb(const std::string& driver, const SysTree::Usb& usb) {
    SysTree t;
    t.UsbPort("ttyUSB0", driver, usb);
    return Judge(t, "ttyUSB0");
}

bool Has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

constexpr auto kSends = ADAPTER_NEED::SendsBreak;
constexpr auto kReceives = ADAPTER_NEED::ReceivesBreak;
constexpr auto kRate = ADAPTER_NEED::Rate738;
constexpr auto kLatency = ADAPTER_NEED::ReceiveLatency;

} // namespace

TEST(AdapterInfo, ReadsTheDescriptorsBehindAPortAlsoThroughItsByIdLink) {
    SysTree t;
    t.UsbPort("ttyUSB0", "ftdi_sio", {"0403", "6001", "0600", "2.00", "FT232R USB UART", 0, 16});
    t.ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    t.Uart("ttyS0", 4, 1843200);

    const ADAPTER_INFO usb = ReadAdapterInfo(
        t.Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", t.Sys(), t.Dev());
    EXPECT_EQ(usb.strTty, "ttyUSB0");
    EXPECT_EQ(usb.strDriver, "ftdi_sio");
    EXPECT_TRUE(usb.bUsb);
    EXPECT_EQ(usb.strVendorId, "0403");
    EXPECT_EQ(usb.strProductId, "6001");
    EXPECT_EQ(usb.nBcdDevice, 0x0600);
    EXPECT_EQ(usb.strUsbVersion, "2.00");
    EXPECT_EQ(usb.nInterface, 0);
    EXPECT_EQ(usb.strProduct, "FT232R USB UART");
    EXPECT_EQ(usb.strSerialNumber, "A50285BI");
    EXPECT_EQ(usb.nLatencyTimerMs, 16);
    EXPECT_EQ(usb.nUartType, -1);
    EXPECT_EQ(AdapterChip(usb), "FT232R");

    const ADAPTER_INFO uart = ReadAdapterInfo(t.Node("ttyS0"), t.Sys(), t.Dev());
    EXPECT_EQ(uart.strDriver, "serial"); // past serial core's port and ctrl devices
    EXPECT_FALSE(uart.bUsb);
    EXPECT_EQ(uart.nUartType, 4);
    EXPECT_EQ(uart.nUartClock, 1843200UL);
    EXPECT_EQ(uart.nLatencyTimerMs, -1);

    // A name sysfs does not list, or one outside the device directory, tells nothing.
    for (const std::string& name : {t.Node("ttyUSB7"), std::string("/elsewhere/ttyUSB0")}) {
        const ADAPTER_INFO none = ReadAdapterInfo(name, t.Sys(), t.Dev());
        EXPECT_EQ(none.strDevice, name);
        EXPECT_EQ(none.strTty, "");
        EXPECT_EQ(none.strDriver, "");
        EXPECT_FALSE(none.bUsb);
    }
}

TEST(AdapterVerdicts, FtdiIsFitAndItsLatencyIsOneMsWhileMorfwHoldsThePort) {
    for (const int nMs : {16, 1}) {
        const Judged j = JudgeUsb("ftdi_sio", {"0403", "6001", "0600", "2.00", "FT232R", 0, nMs});
        EXPECT_EQ(j.strChip, "FT232R");
        ASSERT_EQ(j.verdicts.size(), static_cast<size_t>(kAdapterNeeds));
        for (int i = 0; i < kAdapterNeeds; ++i) {
            EXPECT_EQ(j.verdicts[i].need, static_cast<ADAPTER_NEED>(i));
            EXPECT_EQ(j.verdicts[i].verdict, VERDICT::Ok)
                << nMs << " ms: " << j.verdicts[i].strReason;
            EXPECT_TRUE(j.verdicts[i].strSource.starts_with("drivers/usb/serial/ftdi_sio.c"));
        }
        EXPECT_TRUE(Has(j[kLatency].strReason, "latency timer " + std::to_string(nMs) + " ms"));
        EXPECT_EQ(Has(j[kLatency].strReason, "low-latency flag"), nMs > 1);
    }

    // 0x0200 is an FT232A, or an FT232B without a serial number string: only the B has the
    // latency timer, and the A holds received bytes for 16 ms.
    const Judged b = JudgeUsb("ftdi_sio", {"0403", "6001", "0200", "1.10", "", 0, 16});
    EXPECT_EQ(b.strChip, "FT232B");
    EXPECT_EQ(b[kLatency].verdict, VERDICT::Ok);
    const Judged a = JudgeUsb("ftdi_sio", {"0403", "6001", "0200", "1.10", "", 0, -1});
    EXPECT_EQ(a.strChip, "FT232A");
    EXPECT_EQ(a[kLatency].verdict, VERDICT::Problem);
    EXPECT_FALSE(a[kLatency].strFix.empty());
    // ftdi_sio binds no other bcdDevice from 0x0200 up: one that shows is no FT232A.
    EXPECT_EQ(JudgeUsb("ftdi_sio", {"0403", "6001", "0300", "1.10", "", 0, -1}).strChip, "FTDI");
}

TEST(AdapterVerdicts, CdcAcmDevicesAreJudgedByTheCapabilitiesTheyDeclare) {
    const VERDICT kOk = VERDICT::Ok, kProblem = VERDICT::Problem, kUnknown = VERDICT::Unknown;
    const struct {
        int nCaps; // bmCapabilities: D1 line coding and serial state, D2 SEND_BREAK
        VERDICT sends, receives, rate;
    } kCases[] = {{0x06, kOk, kUnknown, kUnknown},
                  {0x02, kProblem, kUnknown, kUnknown},
                  {0x04, kOk, kProblem, kProblem},
                  {0x00, kProblem, kProblem, kProblem},
                  {-1, kUnknown, kUnknown, kUnknown}}; // the attribute cannot be read
    for (const auto& c : kCases) {
        SysTree t;
        t.AcmPort("ttyACM0", c.nCaps);
        const ADAPTER_INFO info = ReadAdapterInfo(t.Node("ttyACM0"), t.Sys(), t.Dev());
        EXPECT_EQ(info.nAcmCapabilities, c.nCaps);
        const Judged j{AdapterChip(info), JudgeAdapter(info)};
        EXPECT_EQ(j.strChip, "CDC-ACM");
        EXPECT_EQ(j[kSends].verdict, c.sends) << c.nCaps << ": " << j[kSends].strReason;
        EXPECT_EQ(j[kReceives].verdict, c.receives) << c.nCaps << ": " << j[kReceives].strReason;
        EXPECT_EQ(j[kRate].verdict, c.rate) << c.nCaps << ": " << j[kRate].strReason;
    }
}

TEST(AdapterVerdicts, Cp210xRateDependsOnThePartItsProductStringNames) {
    const Judged cp2102 = JudgeUsb(
        "cp210x", {"10c4", "ea60", "0100", "1.10", "CP2102 USB to UART Bridge Controller"});
    EXPECT_EQ(cp2102.strChip, "CP2102");
    EXPECT_EQ(cp2102[kRate].verdict, VERDICT::Problem);
    EXPECT_TRUE(Has(cp2102[kRate].strReason, "1200"));
    EXPECT_EQ(cp2102[kSends].verdict, VERDICT::Ok);
    // Event mode, and with it the break report, depends on the chip.
    EXPECT_EQ(cp2102[kReceives].verdict, VERDICT::Unknown);

    // "CP2102N..." starts with "CP2102" too, but computes its divisor.
    const Judged cp2102n = JudgeUsb(
        "cp210x", {"10c4", "ea60", "0100", "1.10", "CP2102N USB to UART Bridge Controller"});
    EXPECT_EQ(cp2102n.strChip, "CP2102N");
    EXPECT_EQ(cp2102n[kRate].verdict, VERDICT::Ok);

    // A maker's own product string does not name the part: no alarm either way.
    const Judged oem = JudgeUsb("cp210x", {"10c4", "ea60", "0100", "1.10", "USB Serial Cable"});
    EXPECT_EQ(oem[kRate].verdict, VERDICT::Unknown);

    // The CP2105's second port has neither a break nor rates below 2400; its first has both.
    const Judged sci = JudgeUsb("cp210x", {"10c4", "ea70", "0100", "1.10", "CP2105", 1});
    EXPECT_EQ(sci[kSends].verdict, VERDICT::Problem);
    EXPECT_EQ(sci[kRate].verdict, VERDICT::Problem);
    const Judged eci = JudgeUsb("cp210x", {"10c4", "ea70", "0100", "1.10", "CP2105", 0});
    EXPECT_EQ(eci[kSends].verdict, VERDICT::Ok);
    EXPECT_EQ(eci[kRate].verdict, VERDICT::Ok);
}

TEST(AdapterVerdicts, Ch340NeverShowsTheUnitsBreak) {
    const Judged j = JudgeUsb("ch341-uart", {"1a86", "7523", "0264", "1.10", "USB Serial"});
    EXPECT_EQ(j.strChip, "CH340");
    EXPECT_EQ(j[kReceives].verdict, VERDICT::Problem);
    EXPECT_TRUE(Has(j[kReceives].strFix, "FTDI"));
    // Whether this chip fakes its breaks shows only in the kernel log.
    EXPECT_EQ(j[kSends].verdict, VERDICT::Unknown);
    EXPECT_EQ(j[kRate].verdict, VERDICT::Ok);
}

TEST(AdapterVerdicts, Pl2303TypesFollowBcdDeviceAndBcdUsb) {
    const Judged hx = JudgeUsb("pl2303", {"067b", "2303", "0300", "1.10", "USB-Serial Controller"});
    EXPECT_EQ(hx.strChip, "PL2303HX");
    EXPECT_EQ(hx[kSends].verdict, VERDICT::Ok);
    // Every byte of the read that brings a break is marked a break: the answer with it is lost.
    EXPECT_EQ(hx[kReceives].verdict, VERDICT::Problem);
    EXPECT_TRUE(Has(hx[kReceives].strFix, "morfw doctor --loopback"));
    EXPECT_EQ(hx[kRate].verdict, VERDICT::Ok);
    EXPECT_EQ(hx[kLatency].verdict, VERDICT::Unknown);

    // Copies of the HXD refuse breaks; the driver finds out only when it binds.
    const Judged hxd = JudgeUsb("pl2303", {"067b", "2303", "0400", "1.10", ""});
    EXPECT_EQ(hxd.strChip, "PL2303HXD");
    EXPECT_EQ(hxd[kSends].verdict, VERDICT::Unknown);

    // On USB 2.0 chips 0x0400 is a PL2303GL, which gets 738 passed on undivided.
    const Judged g = JudgeUsb("pl2303", {"067b", "23a3", "0400", "2.00", ""});
    EXPECT_EQ(g.strChip, "PL2303G");
    EXPECT_EQ(g[kSends].verdict, VERDICT::Ok);
    EXPECT_EQ(g[kRate].verdict, VERDICT::Unknown);
}

TEST(AdapterVerdicts, BuiltInUartRunsSlowModeWhenItsClockDividesTo738) {
    SysTree t;
    t.Uart("ttyS0", 4, 1843200);
    t.Uart("ttyS1", 4, 0);
    t.Uart("ttyS2", 4, 100000);
    const Judged s0 = Judge(t, "ttyS0");
    EXPECT_EQ(s0.strChip, "16550A");
    for (const auto& v : s0.verdicts)
        EXPECT_EQ(v.verdict, VERDICT::Ok) << v.strReason;
    EXPECT_TRUE(Has(s0[kRate].strReason, "divisor 156")) << s0[kRate].strReason;
    EXPECT_TRUE(Has(s0[kRate].strReason, "738.5")) << s0[kRate].strReason;

    EXPECT_EQ(Judge(t, "ttyS1")[kRate].verdict, VERDICT::Unknown);
    const Judged s2 = Judge(t, "ttyS2"); // divisor 8: 781 baud, 6 % off
    EXPECT_EQ(s2[kRate].verdict, VERDICT::Problem) << s2[kRate].strReason;
}

TEST(AdapterVerdicts, UnknownAdaptersAreNeverAProblem) {
    SysTree t;
    t.UsbPort("ttyUSB0", "xr_serial", {"04e2", "1410", "0002", "2.00", "XR21V1410"});
    t.Uart("ttyAMA0", 32, 48000000); // a PL011, not of the 8250 family
    for (const char* tty : {"ttyUSB0", "ttyAMA0", "ttyUSB9"}) {
        const Judged j = Judge(t, tty);
        EXPECT_EQ(j.strChip, "") << tty;
        ASSERT_EQ(j.verdicts.size(), static_cast<size_t>(kAdapterNeeds));
        for (const auto& v : j.verdicts)
            EXPECT_EQ(v.verdict, VERDICT::Unknown) << tty << ": " << v.strReason;
    }
    EXPECT_TRUE(Has(Judge(t, "ttyUSB0")[kSends].strReason, "xr_serial"));
}
