#include "fleet/Rehearsal.h"

#include "fleet/ReadyFlags.h"
#include "platform/PrintableText.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>

namespace fleet {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Remove(const std::string& strPath) {
    std::error_code ec;
    fs::remove(strPath, ec);
}

bool ParseWhole(const std::string& s, unsigned long& n) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9)
        return false;
    n = std::strtoul(s.c_str(), nullptr, 10);
    return true;
}

class Rehearsal final : public ArrivalSource {
public:
    explicit Rehearsal(const RehearsalPlan& plan)
        : m_plan(plan), m_fixtures(static_cast<std::size_t>(plan.nFixtures)) {}

    ~Rehearsal() override {
        // Its own units go with it; a directory it made, too.
        for (std::size_t k = 0; k < m_fixtures.size() && !m_strDir.empty(); ++k)
            Remove(FixturePath(k));
        if (m_bMadeDir)
            Remove(m_strDir);
    }

    bool Start(std::string& strError) override {
        if (!MakeDir(strError))
            return false;
        if (!m_timer.Create(strError))
            return false;
        // A fixture's file left by a rehearsal that was killed is no unit of this one.
        for (std::size_t k = 0; k < m_fixtures.size(); ++k)
            Remove(FixturePath(k));
        m_watch = MakeDeviceArrivals(m_strDir, m_strDir + "/*", true, {});
        if (!m_watch->Start(strError))
            return false;
        for (std::size_t k = 0; k < m_fixtures.size(); ++k)
            PutIn(k);
        return true;
    }

    std::vector<int> Fds() const override { return {m_watch->Fds().front(), m_timer.Fd()}; }

    void Read(std::vector<Arrival>& arrivals) override {
        m_timer.Clear();
        const auto now = Clock::now();
        for (std::size_t k = 0; k < m_fixtures.size() && !m_bStopped; ++k) {
            Fixture& f = m_fixtures[k];
            if (f.step == Step::None || f.due > now)
                continue;
            if (f.step == Step::TakeOut) {
                Remove(FixturePath(k));
                Schedule(k, Step::PutIn);
            } else {
                f.step = Step::None;
                PutIn(k);
            }
        }
        Arm();
        m_watch->Read(arrivals);
    }

    void SessionEnded(const std::string& strLabel) override {
        for (std::size_t k = 0; k < m_fixtures.size(); ++k) {
            if (strLabel == FixtureName(k) && !m_bStopped) {
                Schedule(k, Step::TakeOut);
                Arm();
            }
        }
    }
    void Stop() override { m_bStopped = true; }
    // A fixture's row stays, waiting for its next unit.
    std::vector<std::string> FixedPorts() const override {
        std::vector<std::string> names;
        for (std::size_t k = 0; k < m_fixtures.size(); ++k)
            names.push_back(FixtureName(k));
        return names;
    }

    std::string Describe() const override {
        std::string s = "a rehearsal: " + std::to_string(m_plan.nFixtures) + " simulated " +
                        (m_plan.nFixtures == 1 ? "fixture" : "fixtures") + " in " +
                        EscapeControlChars(m_strDir);
        if (m_plan.nFailFixture > 0)
            s += ", fixture-" + std::to_string(m_plan.nFailFixture) + "'s units fail";
        return s + "; each unit is taken out " + Seconds() + " after its session, the next " +
               "comes " + Seconds() + " later";
    }
    nlohmann::ordered_json DescribeJson() const override {
        return {{"kind", "rehearsal"},       {"fixtures", m_plan.nFixtures},
                {"seed", m_plan.nSeed},      {"fail", m_plan.nFailFixture},
                {"gap", m_plan.dGapSeconds}, {"dir", m_strDir}};
    }

private:
    enum class Step { None, TakeOut, PutIn };
    struct Fixture {
        int nUnits = 0;
        Step step = Step::None;
        Clock::time_point due;
    };

    std::string Seconds() const {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g s", m_plan.dGapSeconds);
        return buf;
    }
    static std::string FixtureName(std::size_t k) { return "fixture-" + std::to_string(k + 1); }
    std::string FixturePath(std::size_t k) const { return m_strDir + "/" + FixtureName(k); }

    bool MakeDir(std::string& strError) {
        if (!m_plan.strDir.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(m_plan.strDir, ec);
            if (ec || !std::filesystem::is_directory(m_plan.strDir, ec)) {
                strError = "cannot use the rehearsal's directory " +
                           EscapeControlChars(m_plan.strDir) + ": " +
                           (ec ? ec.message() : std::string("not a directory"));
                return false;
            }
            m_strDir = std::filesystem::absolute(m_plan.strDir).lexically_normal().string();
            while (m_strDir.size() > 1 && m_strDir.back() == '/')
                m_strDir.pop_back();
            return true;
        }
        // A directory of its own under the system's temporary one ($TMPDIR, else /tmp; %TEMP%).
        std::error_code ec;
        const fs::path base = fs::temp_directory_path(ec);
        std::random_device random;
        constexpr std::string_view kLetters =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        for (int i = 0; i < 100 && !ec; ++i) {
            std::string name = "morfw-rehearsal-";
            for (int n = 0; n < 6; ++n)
                name += kLetters[random() % kLetters.size()];
            if (fs::create_directory(base / name, ec)) {
                m_strDir = (base / name).string();
                m_bMadeDir = true;
                return true;
            }
        }
        strError = "cannot make the rehearsal's directory in " + EscapeControlChars(base.string()) +
                   ": " + (ec ? ec.message() : std::string("every name taken"));
        return false;
    }

    // A new unit on fixture k, as udev makes a link: written aside, renamed into place.
    void PutIn(std::size_t k) {
        Fixture& f = m_fixtures[k];
        const unsigned long seed = m_plan.nSeed + k + 1000UL * static_cast<unsigned long>(f.nUnits);
        ++f.nUnits;
        const bool bFail = static_cast<int>(k) + 1 == m_plan.nFailFixture;
        const std::string port =
            std::string("sim:") + (bFail ? "ok=0," : "") + "seed=" + std::to_string(seed) + "\n";
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", ++m_nTempNames);
        const std::string aside = m_strDir + "/.#" + FixtureName(k) + suffix;
        bool bOk;
        {
            std::ofstream out(aside, std::ios::binary | std::ios::trunc);
            bOk = static_cast<bool>(out << port);
            out.close();
            bOk = bOk && !out.fail();
        }
        std::error_code ec;
        if (bOk)
            fs::rename(aside, FixturePath(k), ec);
        if (!bOk || ec)
            Remove(aside); // the fixture stays empty; its unit never comes
    }

    void Schedule(std::size_t k, Step step) {
        m_fixtures[k].step = step;
        m_fixtures[k].due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(m_plan.dGapSeconds));
    }

    // The timer for the earliest step due, or off when none is.
    void Arm() {
        const auto now = Clock::now();
        Clock::duration next = Clock::duration::max();
        for (const auto& f : m_fixtures) {
            if (f.step != Step::None && !m_bStopped)
                next = std::min(next, std::max(f.due - now, Clock::duration(1)));
        }
        if (next != Clock::duration::max())
            m_timer.Set(next);
        else
            m_timer.Clear();
    }

    RehearsalPlan m_plan;
    std::vector<Fixture> m_fixtures;
    std::string m_strDir;
    bool m_bMadeDir = false;
    bool m_bStopped = false;
    ReadyTimer m_timer;
    unsigned long long m_nTempNames = 0;
    std::unique_ptr<ArrivalSource> m_watch;
};

} // namespace

bool ParseRehearsal(const std::string& strText, RehearsalPlan& plan, std::string& strError) {
    RehearsalPlan p;
    const std::string syntax = "expected N[,seed=S][,fail=K][,gap=SECONDS][,dir=DIR]";
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const auto comma = strText.find(',', from);
        parts.push_back(strText.substr(from, comma - from));
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    unsigned long n = 0;
    if (!ParseWhole(parts[0], n) || n > kMaxRehearsalFixtures) {
        strError = syntax + " with N from 0 to " + std::to_string(kMaxRehearsalFixtures) +
                   ", not " + EscapeControlChars(strText);
        return false;
    }
    p.nFixtures = static_cast<int>(n);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
        unsigned long v = 0;
        char* end = nullptr;
        if (key == "seed" && ParseWhole(value, v)) {
            p.nSeed = v;
        } else if (key == "fail" && ParseWhole(value, v) && v >= 1 &&
                   v <= static_cast<unsigned long>(p.nFixtures)) {
            p.nFailFixture = static_cast<int>(v);
        } else if (key == "gap" && !value.empty() &&
                   (p.dGapSeconds = std::strtod(value.c_str(), &end), *end == '\0') &&
                   std::isfinite(p.dGapSeconds) && p.dGapSeconds >= 0 && p.dGapSeconds <= 3600) {
        } else if (key == "dir" && !value.empty()) {
            p.strDir = value;
        } else {
            const bool bKnown = key == "seed" || key == "fail" || key == "gap" || key == "dir";
            strError = syntax + "; " + EscapeControlChars(parts[i]) +
                       (key == "fail" ? " names no fixture"
                        : bKnown      ? " has no valid value"
                                      : " is no sub-option");
            return false;
        }
    }
    if (p.nFixtures == 0 && p.strDir.empty()) {
        strError = "0 fixtures needs dir=DIR, whose files are then the units";
        return false;
    }
    plan = p;
    return true;
}

std::unique_ptr<ArrivalSource> MakeRehearsal(const RehearsalPlan& plan) {
    return std::make_unique<Rehearsal>(plan);
}

} // namespace fleet
