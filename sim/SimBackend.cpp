// The "sim:" backend of the port-name registry. Kept apart from the line itself so that programs
// and tests that build a simulated line directly do not need the registry.

#include "platform/Trace.h"
#include "serial/SerialLine.h"
#include "sim/SimLine.h"

void RegisterSimLineBackend() {
    RegisterLineBackend(
        "sim:",
        [](const std::string& strName, std::unique_ptr<ISerialLine>* ppLine,
           std::string* pstrReason) -> HRESULT {
            std::string error;
            const HRESULT hr = CSimLine::Open(strName, ppLine, &error);
            if (hr != S_OK) {
                TraceDebug((error + "\n").c_str());
                if (pstrReason)
                    *pstrReason = error;
            }
            return hr == S_OK ? S_OK : E_FAIL;
        });
}
