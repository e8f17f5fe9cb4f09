// A COM port's adapter from SetupAPI: the Ports class's present devices, each found by the
// PortName value of its device key, with its description, its driver's service, its hardware
// and instance ids and those of the nodes above it up to the USB device, and FTDI's LatencyTimer
// from the same key. HardwareId.cpp reads the strings; a port SetupAPI does not list (Wine maps
// its COM ports without devices) keeps only its name, and every verdict on it is Unknown.
#include "serial/AdapterInfo.h"
#include "serial/HardwareId.h"

#include "platform/Win32.h"

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace {

std::string Narrow(const wchar_t* p, size_t n) {
    while (n > 0 && p[n - 1] == L'\0')
        --n;
    if (n == 0)
        return "";
    const int nLen = static_cast<int>(n);
    const int cb = WideCharToMultiByte(CP_UTF8, 0, p, nLen, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(cb > 0 ? cb : 0), '\0');
    if (cb > 0)
        WideCharToMultiByte(CP_UTF8, 0, p, nLen, s.data(), cb, nullptr, nullptr);
    return s;
}

// A device property as UTF-16 characters, empty when the device has none.
std::vector<wchar_t> Property(HDEVINFO hSet, SP_DEVINFO_DATA& dev, DWORD dwProperty) {
    DWORD cb = 0;
    SetupDiGetDeviceRegistryPropertyW(hSet, &dev, dwProperty, nullptr, nullptr, 0, &cb);
    if (cb == 0)
        return {};
    std::vector<wchar_t> buf(cb / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(hSet, &dev, dwProperty, nullptr,
                                           reinterpret_cast<BYTE*>(buf.data()), cb, nullptr))
        return {};
    return buf;
}

std::string StringProperty(HDEVINFO hSet, SP_DEVINFO_DATA& dev, DWORD dwProperty) {
    const std::vector<wchar_t> buf = Property(hSet, dev, dwProperty);
    return buf.empty() ? std::string() : Narrow(buf.data(), wcsnlen(buf.data(), buf.size()));
}

// A REG_MULTI_SZ: strings each ended by a NUL, the list by another.
std::vector<std::string> MultiStringProperty(HDEVINFO hSet, SP_DEVINFO_DATA& dev,
                                             DWORD dwProperty) {
    const std::vector<wchar_t> buf = Property(hSet, dev, dwProperty);
    std::vector<std::string> list;
    for (size_t i = 0; i < buf.size() && buf[i] != L'\0';) {
        const size_t n = wcsnlen(buf.data() + i, buf.size() - i);
        list.push_back(Narrow(buf.data() + i, n));
        i += n + 1;
    }
    return list;
}

// The USB product string Windows keeps from the device's descriptor (Windows 7 and later); it
// names a CP210x part. Looked up at run time: older systems lack the call.
std::string BusProduct(HDEVINFO hSet, SP_DEVINFO_DATA& dev) {
    using GetProperty = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*,
                                      PBYTE, DWORD, PDWORD, DWORD);
    static const GetProperty pfn = [] {
        const HMODULE h = GetModuleHandleW(L"setupapi.dll");
        return h ? reinterpret_cast<GetProperty>(
                       reinterpret_cast<void*>(GetProcAddress(h, "SetupDiGetDevicePropertyW")))
                 : nullptr;
    }();
    if (!pfn)
        return "";
    // DEVPKEY_Device_BusReportedDeviceDesc
    static const DEVPROPKEY kKey = {
        {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    wchar_t buf[256] = {};
    DEVPROPTYPE type = 0;
    if (!pfn(hSet, &dev, &kKey, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - sizeof(wchar_t),
             nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return "";
    return Narrow(buf, wcsnlen(buf, 255));
}

WIN_DEVICE_NODE Node(HDEVINFO hSet, SP_DEVINFO_DATA& dev, const std::string& strInstanceId) {
    WIN_DEVICE_NODE node;
    node.strInstanceId = strInstanceId;
    node.hardwareIds = MultiStringProperty(hSet, dev, SPDRP_HARDWAREID);
    node.strBusProduct = BusProduct(hSet, dev);
    return node;
}

std::string InstanceId(DEVINST dn) {
    wchar_t buf[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(dn, buf, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return "";
    return Narrow(buf, wcsnlen(buf, MAX_DEVICE_ID_LEN));
}

// The nodes above the port, up to the USB device that holds it: an FTDI port's USB device, or
// the device of a composite adapter's interface. Hubs and controllers above it tell nothing.
void AddAncestors(DEVINST dn, WIN_PORT_DEVICE& port) {
    for (int nLevel = 0; nLevel < 3; ++nLevel) {
        HARDWARE_ID hw;
        const std::string strLast = port.nodes.back().strInstanceId;
        if (ParseHardwareId(strLast, hw) && hw.strBus == "USB" && hw.nInterface < 0)
            return;
        DEVINST dnParent = 0;
        if (CM_Get_Parent(&dnParent, dn, 0) != CR_SUCCESS)
            return;
        dn = dnParent;
        const std::string strId = InstanceId(dn);
        if (strId.empty())
            return;
        const HDEVINFO hSet = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (hSet == INVALID_HANDLE_VALUE)
            return;
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        std::wstring wstrId(strId.begin(), strId.end()); // instance ids are ASCII
        const bool bOpened = SetupDiOpenDeviceInfoW(hSet, wstrId.c_str(), nullptr, 0, &dev);
        port.nodes.push_back(bOpened ? Node(hSet, dev, strId) : WIN_DEVICE_NODE{strId, {}, {}});
        SetupDiDestroyDeviceInfoList(hSet);
        if (!bOpened)
            return;
    }
}

// The device key's PortName ("COM3") and, where FTDI's driver keeps it, LatencyTimer.
std::string PortName(HDEVINFO hSet, SP_DEVINFO_DATA& dev, int* pnLatencyMs) {
    const HKEY hKey = SetupDiOpenDevRegKey(hSet, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE)
        return "";
    wchar_t buf[64] = {};
    DWORD dwType = 0;
    DWORD cb = sizeof buf - sizeof(wchar_t);
    std::string strName;
    if (RegQueryValueExW(hKey, L"PortName", nullptr, &dwType, reinterpret_cast<BYTE*>(buf), &cb) ==
            ERROR_SUCCESS &&
        dwType == REG_SZ)
        strName = Narrow(buf, wcsnlen(buf, 63));
    DWORD dwMs = 0;
    cb = sizeof dwMs;
    if (RegQueryValueExW(hKey, L"LatencyTimer", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwMs),
                         &cb) == ERROR_SUCCESS &&
        dwType == REG_DWORD && dwMs <= 255)
        *pnLatencyMs = static_cast<int>(dwMs);
    RegCloseKey(hKey);
    return strName;
}

} // namespace

ADAPTER_INFO ReadAdapterInfo(const std::string& strDevice, const std::string&, const std::string&) {
    const std::string strWanted = ComPortName(strDevice);
    // GUID_DEVCLASS_PORTS: the Ports (COM & LPT) class.
    static const GUID kPorts = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO hSet = SetupDiGetClassDevsW(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
    if (hSet == INVALID_HANDLE_VALUE) {
        ADAPTER_INFO info;
        info.strDevice = strDevice;
        info.source = ADAPTER_SOURCE::SetupApi;
        return info;
    }
    WIN_PORT_DEVICE port;
    bool bFound = false;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; !bFound && SetupDiEnumDeviceInfo(hSet, i, &dev); ++i) {
        int nLatencyMs = -1;
        if (ComPortName(PortName(hSet, dev, &nLatencyMs)) != strWanted)
            continue;
        bFound = true;
        port.nLatencyTimerMs = nLatencyMs;
        port.strDescription = StringProperty(hSet, dev, SPDRP_FRIENDLYNAME);
        if (port.strDescription.empty())
            port.strDescription = StringProperty(hSet, dev, SPDRP_DEVICEDESC);
        port.strService = StringProperty(hSet, dev, SPDRP_SERVICE);
        port.nodes.push_back(Node(hSet, dev, InstanceId(dev.DevInst)));
        AddAncestors(dev.DevInst, port);
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return AdapterInfoFromWindows(strDevice, port);
}
