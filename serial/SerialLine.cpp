#include "serial/SerialLine.h"

#include <map>
#include <mutex>

namespace {

std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, LineOpener>& Registry() {
    static std::map<std::string, LineOpener> r;
    return r;
}

// The opener registered for the longest prefix of the name, or none.
LineOpener FindOpener(const std::string& strName) {
    // The longest registered prefix wins, so "sim:" and "sim:fast:" can live side by side.
    std::lock_guard lock(RegistryMutex());
    LineOpener opener;
    size_t nBest = 0;
    for (const auto& [strPrefix, fn] : Registry()) {
        if (!strPrefix.empty() && strName.starts_with(strPrefix) && strPrefix.size() > nBest) {
            nBest = strPrefix.size();
            opener = fn;
        }
    }
    return opener;
}

} // namespace

void RegisterLineBackend(const std::string& strPrefix, LineOpener opener) {
    std::lock_guard lock(RegistryMutex());
    if (opener)
        Registry()[strPrefix] = std::move(opener);
    else
        Registry().erase(strPrefix);
}

std::string RefusePortName(const std::string& strName) {
    return FindOpener(strName) ? std::string() : RefuseSystemPortName(strName);
}

std::string DescribeRefusedFrame(DWORD dwBaud, int nDataBits, DWORD dwRefusedRate) {
    std::string s = "the line refused " + std::to_string(dwBaud) + " baud with " +
                    std::to_string(nDataBits) + " data bits";
    if (dwRefusedRate != 0 && dwRefusedRate != dwBaud)
        s += ": the driver runs " + std::to_string(dwRefusedRate) +
             " baud instead (more than 2 % off)";
    return s;
}

HRESULT OpenSerialLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason) {
    if (!ppLine)
        return E_INVALIDARG;
    ppLine->reset();
    const LineOpener opener = FindOpener(strName);
    // The opener runs outside the lock: it may take its time, and may register others.
    if (opener)
        return opener(strName, ppLine, pstrReason);
    return OpenSystemLine(strName, ppLine, pstrReason);
}
