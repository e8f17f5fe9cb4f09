#include "sim/SimOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

bool Fail(std::string* pstrError, const std::string& strText) {
    if (pstrError)
        *pstrError = strText;
    return false;
}

bool ParseDouble(const std::string& s, double dMin, double dMax, double& d) {
    if (s.empty())
        return false;
    char* pEnd = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &pEnd);
    if (errno != 0 || pEnd != s.c_str() + s.size() || !std::isfinite(v) || v < dMin || v > dMax)
        return false;
    d = v;
    return true;
}

bool ParseUnsigned(const std::string& s, std::uint64_t nMax, std::uint64_t& n) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    char* pEnd = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &pEnd, 10);
    if (errno != 0 || v > nMax)
        return false;
    n = v;
    return true;
}

bool ParseFlag(const std::string& s, bool& b) {
    if (s == "0" || s == "1") {
        b = s == "1";
        return true;
    }
    return false;
}

} // namespace

bool ParseSimOptions(const std::string& strText, SimOptions& opts, std::string* pstrError) {
    std::string text = strText;
    if (text.rfind("sim:", 0) == 0)
        text.erase(0, 4);

    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            return Fail(pstrError, "sim: option \"" + item + "\" has no value (key=value)");
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        const auto bad = [&](const char* pszWhat) {
            return Fail(pstrError, "sim: " + key + "=" + value + ": " + pszWhat);
        };

        std::uint64_t n = 0;
        double d = 0;
        if (key == "seed") {
            if (!ParseUnsigned(value, UINT64_MAX, n))
                return bad("expected an unsigned integer");
            opts.nSeed = n;
        } else if (key == "noise" || key == "drop" || key == "badack") {
            if (!ParseDouble(value, 0.0, 1.0, d))
                return bad("expected a probability from 0 to 1");
            (key == "noise" ? opts.dNoise : key == "drop" ? opts.dDrop : opts.dBadAck) = d;
        } else if (key == "rates") {
            // Several rates need commas of their own: "rates=4800,738" takes every following
            // item that is a bare number.
            std::vector<DWORD> rates;
            std::string list = value;
            while (pos < text.size()) {
                std::size_t next = text.find(',', pos);
                if (next == std::string::npos)
                    next = text.size();
                const std::string more = text.substr(pos, next - pos);
                if (more.empty() || more.find_first_not_of("0123456789") != std::string::npos)
                    break;
                list += "," + more;
                pos = next + 1;
            }
            std::size_t p = 0;
            while (p <= list.size()) {
                std::size_t q = list.find(',', p);
                if (q == std::string::npos)
                    q = list.size();
                if (!ParseUnsigned(list.substr(p, q - p), 4000000, n) || n < 50)
                    return Fail(pstrError,
                                "sim: rates=" + list + ": expected baud rates from 50 to 4000000");
                rates.push_back(static_cast<DWORD>(n));
                p = q + 1;
            }
            opts.rates = rates;
        } else if (key == "echo") {
            if (!ParseFlag(value, opts.bEcho))
                return bad("expected 0 or 1");
        } else if (key == "ok") {
            if (!ParseFlag(value, opts.bOk))
                return bad("expected 0 or 1");
        } else if (key == "trace") {
            if (!ParseFlag(value, opts.bTrace))
                return bad("expected 0 or 1");
        } else if (key == "loopback") {
            if (!ParseFlag(value, opts.bLoopback))
                return bad("expected 0 or 1");
        } else if (key == "unplug") {
            // 0 would read as "at once" to one operator and "never" to another: refused.
            if (!ParseUnsigned(value, 1000000000, n) || n == 0)
                return bad("expected a record count from 1 (leave unplug= out for a line that "
                           "stays)");
            opts.nUnplug = static_cast<int>(n);
        } else if (key == "latency" || key == "restart" || key == "breakdelay") {
            if (!ParseDouble(value, 0.0, 600000.0, d))
                return bad("expected milliseconds from 0 to 600000");
            (key == "latency"   ? opts.dLatencyMs
             : key == "restart" ? opts.dRestartMs
                                : opts.dBreakDelayMs) = d;
        } else if (key == "images") {
            if (value.empty())
                return bad("expected a directory");
            opts.strImageDir = value;
        } else if (key == "adapter") {
            if (!ParseSimAdapter(value, opts.adapter))
                return bad("expected uart, ftdi, ftdi16, cp2102, cp2102n, ch340 or pl2303");
        } else if (key == "dump") {
            if (value.empty())
                return bad("expected a file name");
            opts.strDumpFile = value;
        } else {
            return Fail(pstrError, "sim: unknown option \"" + key + "\"");
        }
    }
    return true;
}
