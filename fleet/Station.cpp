#include "fleet/Station.h"

namespace fleet {

Station::Port& Station::Get(const std::string& strLabel) {
    auto it = m_ports.find(strLabel);
    if (it == m_ports.end()) {
        it = m_ports.emplace(strLabel, Port{}).first;
        it->second.tally.strLabel = strLabel;
        m_order.push_back(strLabel);
    }
    return it->second;
}

void Station::StartSession(Port& p) {
    p.bRunning = true;
    p.bAgain = false;
    m_pRunner->Start({p.strPort, p.tally.strLabel, p.strSerial});
}

void Station::Arrive(const std::string& strLabel, const std::string& strPort,
                     const std::string& strSerial) {
    Port& p = Get(strLabel);
    p.bPresent = true;
    p.strPort = strPort;
    p.strSerial = strSerial;
    m_observer.OnDevice(strLabel, true);
    if (m_bStopping || !m_pRunner)
        return;
    if (p.bRunning) {
        p.bAgain = true; // one session per port: this unit's turn comes when that one ends
        return;
    }
    StartSession(p);
}

void Station::Depart(const std::string& strLabel) {
    Port& p = Get(strLabel);
    p.bPresent = false;
    p.bAgain = false;
    m_observer.OnDevice(strLabel, false);
    if (!p.bRunning)
        m_observer.OnPortIdle(strLabel);
}

void Station::OnFinished(const UnitState& unit) {
    m_observer.OnFinished(unit);
    Port& p = Get(unit.strLabel);
    p.bRunning = false;
    if (unit.nExitCode == kCodeSuccess)
        ++p.tally.nSucceeded;
    else
        ++p.tally.nFailed;
    m_observer.OnPortFree(unit.strLabel);
    if (!p.bPresent)
        m_observer.OnPortIdle(unit.strLabel);
    else if (p.bAgain && !m_bStopping)
        StartSession(p);
}

std::vector<Station::Tally> Station::Tallies() const {
    std::vector<Tally> tallies;
    for (const auto& label : m_order)
        tallies.push_back(m_ports.at(label).tally);
    return tallies;
}

} // namespace fleet
