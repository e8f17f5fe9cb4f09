#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Terminal.h"

#include "serial/AdapterInfo.h"
#include "serial/DeviceHolders.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialPort.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string Describe(const SerialPortInfo& port, const std::vector<DeviceHolder>& holders,
                     const ADAPTER_INFO& adapter) {
    std::string line = port.strDevice;
    const auto add = [&line](const std::string& strLabel, const std::string& strValue) {
        if (!strValue.empty())
            line += "  " + strLabel + strValue;
    };
    if (port.bUsb) {
        add("usb ", port.strVendorId + ":" + port.strProductId);
        std::string name = port.strManufacturer;
        if (!port.strProduct.empty())
            name += (name.empty() ? "" : " ") + port.strProduct;
        add("", name);
        add("serial ", port.strSerialNumber);
    }
    add("driver ", port.strDriver);
    // Windows: the device's name in Device Manager and its hardware id.
    add("", adapter.strDescription);
    add("id ", adapter.strHardwareId);
    add("chip ", AdapterChip(adapter));
    add("", port.strByIdLink);
    add("", port.bConsole ? "the kernel console: never used for an upload" : "");
    add("in use by ", DescribeHolders(holders));
    // What stands in the unit's way, one indented line each; the rest is in --json.
    for (const auto& v : JudgeAdapter(adapter)) {
        if (v.verdict != VERDICT::Problem)
            continue;
        line += "\n  problem: " + std::string(AdapterNeedText(v.need)) + ": " + v.strReason;
        if (!v.strFix.empty())
            line += "; fix: " + v.strFix;
    }
    return line;
}

Json AdapterJson(const ADAPTER_INFO& adapter) {
    Json verdicts = Json::array();
    for (const auto& v : JudgeAdapter(adapter))
        verdicts.push_back(Json{{"need", AdapterNeedName(v.need)},
                                {"verdict", VerdictName(v.verdict)},
                                {"reason", v.strReason},
                                {"fix", v.strFix},
                                {"source", v.strSource}});
    Json latency = nullptr;
    if (adapter.nLatencyTimerMs >= 0)
        latency = adapter.nLatencyTimerMs;
    return Json{{"chip", AdapterChip(adapter)},
                {"description", adapter.strDescription},
                {"hardware_id", adapter.strHardwareId},
                {"latency_timer_ms", std::move(latency)},
                {"verdicts", std::move(verdicts)}};
}

Json ToJson(const SerialPortInfo& port, const std::vector<DeviceHolder>& holders,
            const ADAPTER_INFO& adapter) {
    Json users = Json::array();
    for (const auto& h : holders)
        users.push_back(Json{{"pid", h.nPid}, {"name", h.strName}});
    Json j{{"device", port.strDevice},
           {"driver", port.strDriver},
           {"by_id", port.strByIdLink},
           {"usb", port.bUsb},
           {"console", port.bConsole},
           {"held_by", std::move(users)}};
    if (port.bUsb) {
        j["vendor_id"] = port.strVendorId;
        j["product_id"] = port.strProductId;
        j["manufacturer"] = port.strManufacturer;
        j["product"] = port.strProduct;
        j["serial_number"] = port.strSerialNumber;
    }
    j["adapter"] = AdapterJson(adapter);
    return j;
}

} // namespace

std::vector<SerialPortInfo> ListPorts(const CSerialPort& port) {
    std::vector<SerialPortInfo> ports;
    for (int i = 0; const SerialPortInfo* pInfo = port.GetPortInfo(i); ++i)
        ports.push_back(*pInfo);
    return ports;
}

int RunPorts(const PortsOptions& options) {
    const CSerialPort serialPort; // reads the list as the dialog's port object does
    const auto ports = ListPorts(serialPort);
    std::string out;
    if (options.bJson) {
        Json list = Json::array();
        for (const auto& port : ports)
            list.push_back(
                ToJson(port, FindPortHolders(port.strDevice), ReadAdapterInfo(port.strDevice)));
        out = Json{{"type", "ports"}, {"ports", std::move(list)}}.dump(
                  -1, ' ', false, Json::error_handler_t::replace) +
              "\n";
    } else if (ports.empty()) {
        out = "No serial ports found.\n";
    } else {
        for (const auto& port : ports)
            out +=
                Describe(port, FindPortHolders(port.strDevice), ReadAdapterInfo(port.strDevice)) +
                "\n";
    }
    WriteAll(STDOUT_FILENO, out);
    return ToInt(ExitCode::Success);
}

} // namespace cli
