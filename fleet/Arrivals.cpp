#include "fleet/Arrivals.h"

#include "fleet/DeviceWatch.h"
#include "platform/PrintableText.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fleet {

namespace {

using Kind = Arrival::Kind;

std::string Resolved(const std::string& strPath) {
    std::error_code ec;
    const auto p = std::filesystem::canonical(strPath, ec);
    return ec ? strPath : p.string();
}


std::string ConsoleText(const std::string& strNode) {
    return EscapeControlChars(strNode) + " is the kernel console; it is never a unit";
}

class DeviceArrivals final : public ArrivalSource {
public:
    DeviceArrivals(const std::string& strDir, const std::string& strPattern, bool bPortFiles,
                   ConsoleCheck isConsole)
        : m_watch(strDir, strPattern), m_strPattern(strPattern), m_bPortFiles(bPortFiles),
          m_isConsole(std::move(isConsole)) {}

    bool Start(std::string& strError) override { return m_watch.Start(strError); }
    std::vector<int> Fds() const override { return {m_watch.Fd()}; }

    void Read(std::vector<Arrival>& arrivals) override {
        std::vector<DeviceChange> changes;
        m_watch.Read(changes);
        for (const auto& c : changes) {
            const std::string label =
                m_bPortFiles ? c.strPath.substr(c.strPath.rfind('/') + 1) : c.strPath;
            if (!c.bAppeared) {
                if (m_refused.erase(label) == 0)
                    arrivals.push_back({Kind::Left, label, {}, m_bPortFiles ? "" : c.strNode, {}});
                continue;
            }
            const std::string port = m_bPortFiles ? PortFromFile(c.strPath) : c.strPath;
            std::string refusal;
            if (port.empty())
                refusal = EscapeControlChars(c.strPath) + ": names no port; skipped";
            else if (m_isConsole && m_isConsole(m_bPortFiles ? Resolved(port) : c.strNode))
                refusal = ConsoleText(m_bPortFiles ? port : c.strNode);
            if (!refusal.empty()) {
                m_refused.insert(label); // its departure is not news either
                arrivals.push_back({Kind::Notice, label, {}, {}, refusal});
                continue;
            }
            arrivals.push_back({Kind::Arrived, label, port, m_bPortFiles ? "" : c.strNode, {}});
        }
    }

    std::string Describe() const override {
        return "every new device " + EscapeControlChars(m_strPattern) + " is a unit";
    }
    nlohmann::ordered_json DescribeJson() const override {
        return {{"kind", "devices"}, {"dir", m_watch.Dir()}, {"pattern", m_strPattern}};
    }

private:
    DeviceWatch m_watch;
    std::string m_strPattern;
    bool m_bPortFiles;
    ConsoleCheck m_isConsole;
    std::set<std::string> m_refused;
};

class ModemArrivals final : public ArrivalSource {
public:
    ModemArrivals(const std::vector<std::string>& ports, const std::string& strLineName,
                  ModemWatch::Factory factory, ConsoleCheck isConsole)
        : m_ports(ports), m_strLineName(strLineName), m_factory(std::move(factory)),
          m_isConsole(std::move(isConsole)) {}
    ~ModemArrivals() override { Stop(); }

    bool Start(std::string& strError) override {
        std::vector<std::string> watched;
        for (const auto& port : m_ports) {
            if (m_isConsole && m_isConsole(Resolved(port)))
                m_early.push_back({Kind::CannotWatch, port, {}, {}, ConsoleText(port)});
            else
                watched.push_back(port);
        }
        if (watched.empty()) {
            strError = "no port can be watched";
            return false;
        }
        m_watch = std::make_unique<ModemWatch>(watched, m_factory);
        return m_watch->Start(strError);
    }
    std::vector<int> Fds() const override { return {m_watch ? m_watch->Fd() : -1}; }

    void Read(std::vector<Arrival>& arrivals) override {
        arrivals.insert(arrivals.end(), m_early.begin(), m_early.end());
        m_early.clear();
        if (!m_watch)
            return;
        std::vector<ModemChange> changes;
        m_watch->Read(changes);
        for (const auto& c : changes) {
            if (!c.strError.empty())
                arrivals.push_back({Kind::CannotWatch, c.strPort, {}, {}, c.strError});
            else if (!c.strNotice.empty())
                arrivals.push_back({Kind::Notice, c.strPort, {}, {}, c.strNotice});
            else
                arrivals.push_back(
                    {c.bUp ? Kind::Arrived : Kind::Left, c.strPort, c.strPort, {}, {}});
        }
    }

    void SessionEnded(const std::string& strLabel) override {
        if (m_watch)
            m_watch->Release(strLabel);
    }
    void Stop() override {
        if (m_watch)
            m_watch->Stop();
    }
    std::vector<std::string> FixedPorts() const override { return m_ports; }
    std::string Describe() const override {
        return "a unit is one whose fixture raises " + m_strLineName + " on its port";
    }
    nlohmann::ordered_json DescribeJson() const override {
        return {{"kind", "modem_line"}, {"line", m_strLineName}, {"ports", m_ports}};
    }

private:
    std::vector<std::string> m_ports;
    std::string m_strLineName;
    ModemWatch::Factory m_factory;
    ConsoleCheck m_isConsole;
    std::unique_ptr<ModemWatch> m_watch;
    std::vector<Arrival> m_early;
};

} // namespace

std::string PortFromFile(const std::string& strPath) {
    std::ifstream in(strPath);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::unique_ptr<ArrivalSource> MakeDeviceArrivals(const std::string& strDir,
                                                  const std::string& strPattern, bool bPortFiles,
                                                  ConsoleCheck isConsole) {
    return std::make_unique<DeviceArrivals>(strDir, strPattern, bPortFiles, std::move(isConsole));
}

std::unique_ptr<ArrivalSource> MakeModemArrivals(const std::vector<std::string>& ports,
                                                 const std::string& strLineName,
                                                 ModemWatch::Factory factory,
                                                 ConsoleCheck isConsole) {
    return std::make_unique<ModemArrivals>(ports, strLineName, std::move(factory),
                                           std::move(isConsole));
}

} // namespace fleet
