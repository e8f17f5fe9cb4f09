#pragma once
// What Windows tells of a COM port's device, as plain strings, and the adapter details read from
// them. AdapterInfo_win32.cpp collects the strings through SetupAPI; reading them is shared, so
// that every system's tests cover it.
//
// A hardware id names the bus and the device: "USB\VID_1A86&PID_7523&REV_0254" (a USB device:
// vendor, product, bcdDevice), "USB\VID_10C4&PID_EA70&MI_01" (one interface of a composite
// device), "FTDIBUS\COMPORT&VID_0403&PID_6001" (a port of FTDI's driver), "ACPI\PNP0501" (a
// built-in 16550A-compatible UART). An instance id names one device: "USB\VID_10C4&PID_EA60\0001"
// ends in the USB serial number; FTDI's "FTDIBUS\VID_0403+PID_6001+A12345BCA\0000" holds it with
// the port's letter (A, B, ...) appended.

#include "serial/AdapterInfo.h"

#include <string>
#include <string_view>
#include <vector>

struct HARDWARE_ID {
    std::string strBus;      // the enumerator, upper-case: "USB", "FTDIBUS", "ACPI"
    std::string strVendorId; // four lower-case hex digits, as sysfs spells idVendor; "" if none
    std::string strProductId;
    int nRevision = -1;  // REV_xxxx: the device's bcdDevice
    int nInterface = -1; // MI_xx: the interface of a composite device
    int nUartType = -1;  // a built-in UART, in serial core's type numbers (PNP0501: 16550A, 4)
};

// Reads a hardware or instance id; false when it names neither a USB device (both VID_ and PID_
// with four hex digits each) nor a built-in UART.
bool ParseHardwareId(std::string_view id, HARDWARE_ID& out);

// The USB serial number an instance id holds, or "". Windows makes up the instance of a device
// without a serial number (or of an interface) from its place on the bus, with '&' in it.
std::string SerialFromInstanceId(std::string_view id);

// One device node: the port's own, then the nodes above it (the USB device of an FTDI port or of
// an interface), as SetupAPI and the configuration manager give them.
struct WIN_DEVICE_NODE {
    std::string strInstanceId;
    std::vector<std::string> hardwareIds; // SPDRP_HARDWAREID, most specific first
    std::string strBusProduct; // the USB product string (DEVPKEY_Device_BusReportedDeviceDesc)
};

struct WIN_PORT_DEVICE {
    std::string strDescription;         // SPDRP_FRIENDLYNAME, else SPDRP_DEVICEDESC
    std::string strService;             // SPDRP_SERVICE: FTDIBUS, silabser, CH341SER_A64, Serial
    std::vector<WIN_DEVICE_NODE> nodes; // the port's node first
    int nLatencyTimerMs = -1;           // the device key's "LatencyTimer" (FTDI's driver)
};

// The adapter details for the table: vendor, product, bcdDevice and interface from the first
// node whose hardware ids name a USB device, the serial number from the instance ids, the chip's
// product string, a built-in UART's type from its PNP id.
ADAPTER_INFO AdapterInfoFromWindows(const std::string& strDevice, const WIN_PORT_DEVICE& dev);

// "COM3" for "COM3", "com3" and "\\.\COM3": the name a port's PortName value holds.
std::string ComPortName(std::string_view strDevice);
