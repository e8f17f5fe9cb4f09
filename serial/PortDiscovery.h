#pragma once
// The serial ports the system lists. Linux: the ttys under /sys/class/tty with a device behind
// them, without virtual consoles and without legacy 8250 ports that have no UART present
// (PortDiscovery.cpp). Windows: the values of HKLM "HARDWARE\DEVICEMAP\SERIALCOMM"
// (PortDiscovery_win32.cpp; the roots are not used there). A port that carries the kernel console
// is listed, marked as such.

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string strDevice;   // what Open opens: /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0
    std::string strDriver;   // the device's driver (ftdi_sio, cdc_acm, serial8250, ...), or ""
    std::string strByIdLink; // its /dev/serial/by-id link, or ""
    // The kernel writes its console to the port (console=ttyS0): listed, never used for an
    // upload (serial/KernelConsole.h).
    bool bConsole = false;
    // USB details, empty for other ports.
    bool bUsb = false;
    std::string strVendorId; // four hex digits, as the device reports them
    std::string strProductId;
    std::string strManufacturer;
    std::string strProduct;
    std::string strSerialNumber;
};

// The order of the port list: names compare character by character, runs of digits by value
// (ttyS2 before ttyS10, COM2 before COM10).
bool PortNameLess(const std::string& a, const std::string& b);

// Reads the ports once, sorted by name with numbers in numeric order (ttyS2 before ttyS10).
// The roots are parameters so that a test can hand in a tree of its own.
std::vector<SerialPortInfo>
EnumerateSerialPorts(const std::string& strSysClassTty = "/sys/class/tty",
                     const std::string& strDevDir = "/dev",
                     const std::string& strProcConsoles = "/proc/consoles");

// "the ports listed: /dev/ttyS0, /dev/ttyUSB0" (or "no serial port is listed"), for the reason
// of a port that does not exist. Reads the list anew.
std::string DescribeListedPorts();
