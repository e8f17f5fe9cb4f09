#include "image/SRecord.h"

void ForEachSRecordLine(const BYTE*, std::int32_t, const std::function<bool(const SREC_LINE&)>&) {}

HRESULT DecodeS1Line(const SREC_LINE&, S1_RECORD&, std::string&) { return E_NOTIMPL; }

HRESULT ValidateSRecordImage(const BYTE*, std::int32_t, const std::string&, std::string*,
                             std::int32_t* pnS1Lines) {
    if (pnS1Lines)
        *pnS1Lines = 0;
    return E_NOTIMPL;
}
