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

} // namespace

void RegisterLineBackend(const std::string& strPrefix, LineOpener opener) {
    std::lock_guard lock(RegistryMutex());
    if (opener)
        Registry()[strPrefix] = std::move(opener);
    else
        Registry().erase(strPrefix);
}

HRESULT OpenSerialLine(const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
                       std::string* pstrReason) {
    if (!ppLine)
        return E_INVALIDARG;
    ppLine->reset();
    LineOpener opener;
    {
        // The longest registered prefix wins, so "sim:" and "sim:fast:" can live side by side.
        std::lock_guard lock(RegistryMutex());
        size_t nBest = 0;
        for (const auto& [strPrefix, fn] : Registry()) {
            if (!strPrefix.empty() && strName.starts_with(strPrefix) && strPrefix.size() > nBest) {
                nBest = strPrefix.size();
                opener = fn;
            }
        }
    }
    // The opener runs outside the lock: it may take its time, and may register others.
    if (opener)
        return opener(strName, ppLine, pstrReason);
    return OpenSystemLine(strName, ppLine, pstrReason);
}
