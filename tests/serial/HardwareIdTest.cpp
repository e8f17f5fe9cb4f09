// Windows' hardware and instance ids read into the adapter table's terms, and the verdicts a
// Windows port gets from them: the same chips as on Linux.
#include "serial/HardwareId.h"

#include <gtest/gtest.h>

#include <string>

namespace {

HARDWARE_ID Parsed(const std::string& id) {
    HARDWARE_ID hw;
    EXPECT_TRUE(ParseHardwareId(id, hw)) << id;
    return hw;
}

const ADAPTER_VERDICT& Verdict(const std::vector<ADAPTER_VERDICT>& v, ADAPTER_NEED need) {
    return v.at(static_cast<size_t>(need));
}

// An FTDI port as SetupAPI shows it: the FTDIBUS port node below the USB device.
WIN_PORT_DEVICE FtdiPort(int nLatencyMs) {
    WIN_PORT_DEVICE dev;
    dev.strDescription = "USB Serial Port (COM5)";
    dev.strService = "FTSER2K";
    dev.nLatencyTimerMs = nLatencyMs;
    dev.nodes = {
        {"FTDIBUS\\VID_0403+PID_6001+A12345BCA\\0000", {"FTDIBUS\\COMPORT&VID_0403&PID_6001"}, ""},
        {"USB\\VID_0403&PID_6001\\A12345BC",
         {"USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001"},
         "FT232R USB UART"}};
    return dev;
}

// A port whose driver sits on the USB device itself (CH340, CP210x, PL2303).
WIN_PORT_DEVICE UsbPort(const std::string& strInstance, const std::string& strHardwareId,
                        const std::string& strBusProduct = "") {
    WIN_PORT_DEVICE dev;
    dev.strService = "usbser";
    dev.nodes = {{strInstance, {strHardwareId}, strBusProduct}};
    return dev;
}

} // namespace

TEST(HardwareId, ReadsVendorProductRevisionAndInterfaceOfTheUsualForms) {
    HARDWARE_ID hw = Parsed("FTDIBUS\\COMPORT&VID_0403&PID_6001");
    EXPECT_EQ(hw.strBus, "FTDIBUS");
    EXPECT_EQ(hw.strVendorId, "0403");
    EXPECT_EQ(hw.strProductId, "6001");
    EXPECT_EQ(hw.nRevision, -1);
    EXPECT_EQ(hw.nInterface, -1);

    // FTDI's instance ids join the fields with '+' and end in the serial number and the port.
    hw = Parsed("FTDIBUS\\VID_0403+PID_6001+A12345BCA\\0000");
    EXPECT_EQ(hw.strVendorId, "0403");
    EXPECT_EQ(hw.strProductId, "6001");

    // Hex digits come lower-case, as sysfs gives them and as the table lists them.
    hw = Parsed("USB\\VID_1A86&PID_7523&REV_0254");
    EXPECT_EQ(hw.strBus, "USB");
    EXPECT_EQ(hw.strVendorId, "1a86");
    EXPECT_EQ(hw.strProductId, "7523");
    EXPECT_EQ(hw.nRevision, 0x0254);
    hw = Parsed("usb\\vid_10c4&pid_ea60");
    EXPECT_EQ(hw.strBus, "USB");
    EXPECT_EQ(hw.strProductId, "ea60");
    EXPECT_EQ(Parsed("USB\\VID_067B&PID_2303").strVendorId, "067b");
    EXPECT_EQ(Parsed("USB\\VID_10C4&PID_EA70&MI_01").nInterface, 1);
}

TEST(HardwareId, BuiltInComPortsAreUartsOfThe8250Family) {
    EXPECT_EQ(Parsed("ACPI\\PNP0501").nUartType, 4); // 16550A-compatible
    EXPECT_EQ(Parsed("ACPI\\PNP0501").strVendorId, "");
    EXPECT_EQ(Parsed("*PNP0501").nUartType, 4); // the compatible id
    EXPECT_EQ(Parsed("ACPI\\VEN_PNP&DEV_0501").nUartType, 4);
    EXPECT_EQ(Parsed("ACPI\\PNP0500").nUartType, 1); // a standard PC COM port
    EXPECT_EQ(Parsed("ACPI\\PNP0501\\1").nUartType, 4);
}

TEST(HardwareId, GarbageAndOtherDevicesAreNotReadAndLeaveNothingBehind) {
    for (const char* psz :
         {"", "garbage", "USB\\", "\\VID_0403&PID_6001", "USB\\VID_0403", "USB\\PID_6001",
          "USB\\VID_04031&PID_6001", "USB\\VID_403&PID_6001", "USB\\VID_XYZW&PID_6001",
          "USB\\VID_0403&PID_60G1", "USB\\ROOT_HUB30&VID8086&PID8C31", "PCI\\VEN_8086&DEV_9D3D",
          "ACPI\\PNP0A03", "ACPI\\PNP05011", "VID_0403&PID_6001"}) {
        HARDWARE_ID hw;
        hw.strVendorId = "dead";
        hw.nUartType = 9;
        EXPECT_FALSE(ParseHardwareId(psz, hw)) << psz;
        EXPECT_EQ(hw.strVendorId, "") << psz;
        EXPECT_EQ(hw.nUartType, -1) << psz;
        EXPECT_EQ(hw.strBus, "") << psz;
    }
}

TEST(HardwareId, SerialNumbersComeFromInstanceIdsThatHoldOne) {
    // FTDI appends the port's letter to the serial number.
    EXPECT_EQ(SerialFromInstanceId("FTDIBUS\\VID_0403+PID_6001+A12345BCA\\0000"), "A12345BC");
    EXPECT_EQ(SerialFromInstanceId("FTDIBUS\\VID_0403+PID_6010+FT9XYZB\\0000"), "FT9XYZ");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_10C4&PID_EA60\\0001"), "0001");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001\\A12345BC"), "A12345BC");
    // Made up by Windows: a device without a serial number, an interface, an FTDI chip without.
    for (const char* psz :
         {"USB\\VID_1A86&PID_7523\\5&2B2F8A4B&0&1", "USB\\VID_10C4&PID_EA70&MI_01\\6&1D2&0&0001",
          "FTDIBUS\\VID_0403+PID_6001+5&2B2F8A4B&0&1\\0000", "ACPI\\PNP0501\\1",
          "USB\\VID_0403&PID_6001", "USB\\ROOT_HUB30\\4&1C2&0&0", "FTDIBUS\\COMPORT\\0000", ""})
        EXPECT_EQ(SerialFromInstanceId(psz), "") << psz;
}

TEST(HardwareId, ComPortNamesAreCompared) {
    EXPECT_EQ(ComPortName("COM3"), "COM3");
    EXPECT_EQ(ComPortName("com3"), "COM3");
    EXPECT_EQ(ComPortName("\\\\.\\COM10"), "COM10");
}

TEST(WindowsAdapter, FtdiPortIsItsChipWithTheLatencyTimerOfItsSettings) {
    ADAPTER_INFO info = AdapterInfoFromWindows("COM5", FtdiPort(16));
    EXPECT_EQ(info.source, ADAPTER_SOURCE::SetupApi);
    EXPECT_EQ(info.strDriver, "FTSER2K");
    EXPECT_EQ(info.strDescription, "USB Serial Port (COM5)");
    EXPECT_EQ(info.strHardwareId, "FTDIBUS\\COMPORT&VID_0403&PID_6001");
    EXPECT_TRUE(info.bUsb);
    EXPECT_EQ(info.nBcdDevice, 0x0600); // from the USB device above the port
    EXPECT_EQ(info.nInterface, 0);
    EXPECT_EQ(info.strSerialNumber, "A12345BC");
    EXPECT_EQ(info.strProduct, "FT232R USB UART");
    EXPECT_EQ(AdapterChip(info), "FT232R");
    EXPECT_TRUE(IsFtdiAdapter(info));

    // morfw cannot lower the timer on Windows: 16 ms is a problem, with the setting to change,
    // but only a slow one, never an upload warning.
    auto v = JudgeAdapter(info);
    const ADAPTER_VERDICT& latency = Verdict(v, ADAPTER_NEED::ReceiveLatency);
    EXPECT_EQ(latency.verdict, VERDICT::Problem);
    EXPECT_NE(latency.strReason.find("latency timer 16 ms"), std::string::npos);
    EXPECT_NE(latency.strFix.find("Latency Timer"), std::string::npos);
    EXPECT_NE(latency.strFix.find("1 ms"), std::string::npos);
    EXPECT_EQ(Verdict(v, ADAPTER_NEED::ReceivesBreak).verdict, VERDICT::Ok);
    EXPECT_EQ(Verdict(v, ADAPTER_NEED::Rate738).verdict, VERDICT::Ok);
    EXPECT_TRUE(AdapterUploadWarnings(info, true).empty());

    info = AdapterInfoFromWindows("COM5", FtdiPort(1));
    EXPECT_EQ(Verdict(JudgeAdapter(info), ADAPTER_NEED::ReceiveLatency).verdict, VERDICT::Ok);
    // Without the value, the timer is not known.
    info = AdapterInfoFromWindows("COM5", FtdiPort(-1));
    EXPECT_EQ(Verdict(JudgeAdapter(info), ADAPTER_NEED::ReceiveLatency).verdict, VERDICT::Unknown);
}

TEST(WindowsAdapter, TheSameChipsGetTheSameWarningsAsOnLinux) {
    const ADAPTER_INFO ch340 =
        AdapterInfoFromWindows("COM4", UsbPort("USB\\VID_1A86&PID_7523\\5&2B2F8A4B&0&1",
                                               "USB\\VID_1A86&PID_7523&REV_0254"));
    EXPECT_EQ(AdapterChip(ch340), "CH340");
    EXPECT_EQ(ch340.strSerialNumber, "");
    EXPECT_EQ(ch340.nLatencyTimerMs, -1);
    ASSERT_EQ(AdapterUploadWarnings(ch340, false).size(), 1u);
    EXPECT_NE(AdapterUploadWarnings(ch340, false)[0].find("CH340"), std::string::npos);
    EXPECT_FALSE(AdapterBreakVerdict(ch340).empty());

    // The USB product string names a CP210x part: a CP2102 fails Slow Mode, a CP2102N does not.
    const ADAPTER_INFO cp2102 = AdapterInfoFromWindows(
        "COM6", UsbPort("USB\\VID_10C4&PID_EA60\\0001", "USB\\VID_10C4&PID_EA60&REV_0100",
                        "CP2102 USB to UART Bridge Controller"));
    EXPECT_EQ(AdapterChip(cp2102), "CP2102");
    EXPECT_EQ(cp2102.strSerialNumber, "0001");
    EXPECT_TRUE(AdapterUploadWarnings(cp2102, false).empty());
    EXPECT_EQ(AdapterUploadWarnings(cp2102, true).size(), 1u);
    const ADAPTER_INFO cp2102n = AdapterInfoFromWindows(
        "COM6", UsbPort("USB\\VID_10C4&PID_EA60\\0001", "USB\\VID_10C4&PID_EA60&REV_0100",
                        "CP2102N USB to UART Bridge Controller"));
    EXPECT_EQ(AdapterChip(cp2102n), "CP2102N");
    EXPECT_TRUE(AdapterUploadWarnings(cp2102n, true).empty());
    // Without the string (Windows before 7) the part is not named.
    EXPECT_EQ(AdapterChip(AdapterInfoFromWindows(
                  "COM6", UsbPort("USB\\VID_10C4&PID_EA60\\0001", "USB\\VID_10C4&PID_EA60"))),
              "CP210x");

    // The CP2105's second port is its interface 1, which has no break.
    WIN_PORT_DEVICE cp2105 = UsbPort("USB\\VID_10C4&PID_EA70&MI_01\\6&1D2&0&0001",
                                     "USB\\VID_10C4&PID_EA70&REV_0100&MI_01");
    cp2105.nodes.push_back({"USB\\VID_10C4&PID_EA70\\00A1B2C3", {"USB\\VID_10C4&PID_EA70"}, ""});
    const ADAPTER_INFO sci = AdapterInfoFromWindows("COM8", cp2105);
    EXPECT_EQ(sci.nInterface, 1);
    EXPECT_EQ(sci.strSerialNumber, "00A1B2C3");
    EXPECT_EQ(AdapterChip(sci), "CP2105 (second port)");

    EXPECT_EQ(AdapterChip(AdapterInfoFromWindows(
                  "COM9", UsbPort("USB\\VID_067B&PID_2303\\5&1&0&2", "USB\\VID_067B&PID_2303"))),
              "PL2303");
}

TEST(WindowsAdapter, WchsCdcAcmChipsAreNoCh34x) {
    // 1a86 is WCH's vendor id for the CH34x and for its CDC-ACM chips (cdc_acm on Linux).
    const struct {
        const char* pszId;
        const char* pszChip;
    } kCases[] = {{"USB\\VID_1A86&PID_7523&REV_0254", "CH340"},
                  {"USB\\VID_1A86&PID_5523&REV_0304", "CH341"},
                  {"USB\\VID_1A86&PID_55D3&REV_0443", ""},  // CH343
                  {"USB\\VID_1A86&PID_55D4&REV_0443", ""}}; // CH9102
    for (const auto& c : kCases) {
        const ADAPTER_INFO info = AdapterInfoFromWindows("COM4", UsbPort("USB\\X\\1", c.pszId));
        EXPECT_EQ(AdapterChip(info), c.pszChip) << c.pszId;
        EXPECT_EQ(AdapterBreakVerdict(info).empty(), *c.pszChip == 0) << c.pszId;
    }
}

TEST(WindowsAdapter, AHubAboveTheAdapterChangesNothing) {
    WIN_PORT_DEVICE dev = FtdiPort(1);
    dev.nodes.push_back(
        {"USB\\VID_05E3&PID_0608\\5&3A&0&4", {"USB\\VID_05E3&PID_0608&REV_6070"}, ""});
    const ADAPTER_INFO info = AdapterInfoFromWindows("COM5", dev);
    EXPECT_EQ(info.strVendorId, "0403");
    EXPECT_EQ(info.nBcdDevice, 0x0600);
    EXPECT_EQ(AdapterChip(info), "FT232R");
}

TEST(WindowsAdapter, ABuiltInPortIsAUartAndAnUnlistedOneIsUnknown) {
    WIN_PORT_DEVICE com1;
    com1.strDescription = "Communications Port (COM1)";
    com1.strService = "Serial";
    com1.nodes = {{"ACPI\\PNP0501\\1", {"ACPI\\PNP0501", "*PNP0501"}, ""}};
    const ADAPTER_INFO uart = AdapterInfoFromWindows("COM1", com1);
    EXPECT_FALSE(uart.bUsb);
    EXPECT_EQ(uart.nUartType, 4);
    EXPECT_EQ(AdapterChip(uart), "16550A");
    const auto v = JudgeAdapter(uart);
    EXPECT_EQ(Verdict(v, ADAPTER_NEED::SendsBreak).verdict, VERDICT::Ok);
    EXPECT_EQ(Verdict(v, ADAPTER_NEED::ReceivesBreak).verdict, VERDICT::Ok);
    EXPECT_EQ(Verdict(v, ADAPTER_NEED::Rate738).verdict, VERDICT::Unknown); // no clock known
    EXPECT_FALSE(IsFtdiAdapter(uart));

    // SetupAPI lists no device for the port (Wine's mapped ports): nothing but its name.
    const ADAPTER_INFO none = AdapterInfoFromWindows("COM7", WIN_PORT_DEVICE{});
    EXPECT_EQ(none.strDevice, "COM7");
    EXPECT_EQ(AdapterChip(none), "");
    for (const ADAPTER_VERDICT& verdict : JudgeAdapter(none)) {
        EXPECT_EQ(verdict.verdict, VERDICT::Unknown);
        EXPECT_EQ(verdict.strReason, "SetupAPI lists no device for this port");
    }
    EXPECT_TRUE(AdapterUploadWarnings(none, true).empty());
    EXPECT_EQ(AdapterBreakVerdict(none), "");

    // An unknown USB vendor: unknown, never a problem, also if its service is a known name.
    WIN_PORT_DEVICE other = UsbPort("USB\\VID_2341&PID_0043\\7573", "USB\\VID_2341&PID_0043");
    other.strService = "FTSER2K";
    for (const ADAPTER_VERDICT& verdict : JudgeAdapter(AdapterInfoFromWindows("COM3", other))) {
        EXPECT_EQ(verdict.verdict, VERDICT::Unknown);
        EXPECT_EQ(verdict.strReason, "the table has nothing on USB device 2341:0043");
    }
    // A PCI card's port: named by its hardware id.
    const auto pci = JudgeAdapter(
        AdapterInfoFromWindows("COM3", UsbPort("PCI\\VEN_1415&DEV_C158\\4&1&0&00E4",
                                               "PCI\\VEN_1415&DEV_C158&SUBSYS_00001415")));
    EXPECT_EQ(pci.at(0).verdict, VERDICT::Unknown);
    EXPECT_EQ(pci.at(0).strReason,
              "the table has nothing on PCI\\VEN_1415&DEV_C158&SUBSYS_00001415");
}

TEST(WindowsAdapter, LinuxPortsStillMatchByTheirDriverNotTheirVendor) {
    ADAPTER_INFO info;
    info.bUsb = true;
    info.strVendorId = "0403";
    info.strProductId = "6001";
    info.nBcdDevice = 0x0600;
    info.strDriver = "xr_serial";
    EXPECT_EQ(AdapterChip(info), "");
    EXPECT_FALSE(IsFtdiAdapter(info));
    info.strDriver = "ftdi_sio";
    EXPECT_EQ(AdapterChip(info), "FT232R");
    info.strTty = "ttyUSB2";
    EXPECT_EQ(FtdiLatencyFix(info),
              "echo 1 > /sys/bus/usb-serial/devices/ttyUSB2/latency_timer (as root)");
}
