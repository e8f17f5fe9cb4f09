#include "cli/FleetSupport.h"

#include "cli/CancelSignals.h"
#include "fleet/PortIdentity.h"
#include "fleet/LogDir.h"
#include "platform/HostName.h"
#include "platform/PrintableText.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

namespace cli {

std::string DuplicatePortError(const std::vector<std::string>& ports) {
    const std::string why = "; a port takes one session at a time";
    std::set<std::string> seen;
    for (const auto& p : ports) {
        if (!seen.insert(p).second)
            return "the port " + EscapeControlChars(p) + " is named twice" + why;
    }
    std::map<fleet::DeviceKey, std::string> devices;
    for (const auto& p : ports) {
        fleet::DeviceKey key;
        if (p.starts_with("sim:") || !fleet::GetDeviceKey(p, key))
            continue; // no device (yet): its session says why
        const auto [it, bNew] = devices.emplace(key, p);
        if (!bNew)
            return "the ports " + EscapeControlChars(it->second) + " and " + EscapeControlChars(p) +
                   " are one device" + why;
    }
    return {};
}

bool PrepareLogDir(const std::string& strDir, std::string& strResolved, std::string& strError) {
    return fleet::PrepareLogDir(strDir, strResolved, strError);
}

fleet::RunnerSettings MakeRunnerSettings(const UploadOptions& o, const std::string& strImageDir,
                                         const std::string& strLogDir) {
    fleet::RunnerSettings s;
    if (!o.strImages.empty())
        s.sessionArgs.insert(s.sessionArgs.end(), {"--images", o.strImages});
    if (o.bSlow)
        s.sessionArgs.push_back("--slow");
    if (o.bRelaxed)
        s.sessionArgs.push_back("--relaxed");
    if (o.bTrace)
        s.sessionArgs.push_back("--trace");
    s.strLogDir = strLogDir;
    s.record.strHost = HostName();
    s.record.strVersion = VersionText();
    s.record.strImageDir = strImageDir;
    s.record.strOptions = DescribeOptions(o);
    s.record.trace = o.trace;
    if (s.record.trace.strStation.empty())
        s.record.trace.strStation = s.record.strHost;
    return s;
}

std::string HostName() {
    return GetHostName();
}

void CancelForwarder::OnSignal(int nSignal) {
    std::vector<std::string> running;
    for (const auto& u : m_runner.Units()) {
        if (!u.bFinished)
            running.push_back(u.strLabel);
    }
    const std::string name = SignalName(nSignal);
    if (m_nSignals++ > 0) {
        m_display.Notice("cancel already under way (" + name + "); waiting for " +
                             std::to_string(running.size()) +
                             (running.size() == 1 ? " session to close its port"
                                                  : " sessions to close their ports"),
                         running);
        return;
    }
    // In JSON each session says this itself, as its own notice.
    m_display.Notice("cancel requested (" + name +
                     "); every running upload stops at its next "
                     "check and closes its port");
    m_runner.Signal(SIGINT);
}

} // namespace cli
