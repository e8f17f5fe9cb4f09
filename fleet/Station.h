#pragma once
// A production station: units arrive one after another at a set of ports (a device appears,
// or a fixture raises a modem line), and each is flashed as it arrives. The station decides
// when a port's session starts: never a second one while one runs there; a unit that came
// again meanwhile is flashed once the running session has ended. It keeps the day's count of
// successes and failures per port. Where arrivals come from is the caller's (DeviceWatch,
// ModemWatch); what is shown is the observer's.

#include "fleet/Runner.h"

#include <map>
#include <string>
#include <vector>

namespace fleet {

class StationObserver : public RunnerObserver {
public:
    // A unit arrived at the port or left it.
    virtual void OnDevice(const std::string& /*strLabel*/, bool /*bArrived*/) {}
    // No unit is at the port and no session runs there (its row can go, or wait again).
    virtual void OnPortIdle(const std::string& /*strLabel*/) {}
    // The port's session has ended: the port is free again.
    virtual void OnPortFree(const std::string& /*strLabel*/) {}
};

class Station : public RunnerObserver {
public:
    struct Tally {
        std::string strLabel;
        int nSucceeded = 0;
        int nFailed = 0;
    };

    explicit Station(StationObserver& observer) : m_observer(observer) {}
    // The runner whose observer this station is (set before the first arrival).
    void SetRunner(Runner* pRunner) { m_pRunner = pRunner; }

    // A unit at strLabel, whose session opens strPort; strSerial is its serial number, if the
    // site asks for one.
    void Arrive(const std::string& strLabel, const std::string& strPort,
                const std::string& strSerial = {});
    void Depart(const std::string& strLabel);
    // From now on no session starts (the station is ending).
    void StopTaking() { m_bStopping = true; }

    // The ports in the order their first unit came, with the day's counts.
    std::vector<Tally> Tallies() const;

    void OnStarted(const UnitState& unit) override { m_observer.OnStarted(unit); }
    void OnLog(const UnitState& unit, std::string_view text) override {
        m_observer.OnLog(unit, text);
    }
    void OnProgress(const UnitState& unit) override { m_observer.OnProgress(unit); }
    void OnMessage(const UnitState& unit, const UnitMessage& box) override {
        m_observer.OnMessage(unit, box);
    }
    void OnNotice(const UnitState& unit, std::string_view text) override {
        m_observer.OnNotice(unit, text);
    }
    void OnStderr(const UnitState& unit, std::string_view line) override {
        m_observer.OnStderr(unit, line);
    }
    void OnJson(const UnitState& unit, const nlohmann::ordered_json& object) override {
        m_observer.OnJson(unit, object);
    }
    void OnFinished(const UnitState& unit) override;

private:
    struct Port {
        std::string strPort;
        std::string strSerial;
        bool bPresent = false;
        bool bRunning = false;
        bool bAgain = false; // the unit came again while its session ran
        Tally tally;
    };
    Port& Get(const std::string& strLabel);
    void StartSession(Port& p);

    StationObserver& m_observer;
    Runner* m_pRunner = nullptr;
    bool m_bStopping = false;
    std::map<std::string, Port> m_ports;
    std::vector<std::string> m_order;
};

} // namespace fleet
