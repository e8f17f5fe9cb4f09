#include "SimTestHost.h"

#include "image/FileImg.h"
#include "image/LRArray.h"
#include "platform/ProgramDir.h"
#include "sim/SimLine.h"

#include <chrono>
#include <filesystem>

namespace simtest {

CSimTestHost::CSimTestHost(std::string strPort, const std::string& strImageDir)
    : m_strPort(std::move(strPort)) {
    m_strAppDir = GetProgramDir();
    m_strImageDir = strImageDir;
    SetSerialPort(&m_port);
}

CSimTestHost::~CSimTestHost() {
    WaitForSessionEnd(INFINITE);
    m_port.Close();
}

bool CSimTestHost::RunSession(DWORD dwMs) {
    if (!StartUploadSession())
        return false;
    return WaitForSessionEnd(dwMs);
}

std::string CSimTestHost::Log() const {
    std::lock_guard lock(m_mutex);
    return m_log;
}

int CSimTestHost::Boxes() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_boxes.size());
}

std::vector<std::string> CSimTestHost::BoxTexts() const {
    std::lock_guard lock(m_mutex);
    return m_boxes;
}

int CSimTestHost::ProgressPos() const {
    std::lock_guard lock(m_mutex);
    return m_nPos;
}

int CSimTestHost::ProgressUpper() const {
    std::lock_guard lock(m_mutex);
    return m_nUpper;
}

void CSimTestHost::ShowLogText(const std::string& strAppended) {
    std::string log;
    {
        std::lock_guard lock(m_mutex);
        m_log += strAppended;
        log = m_log;
    }
    if (onLog)
        onLog(log);
}

void CSimTestHost::SetProgressRange(int, int nUpper) {
    std::lock_guard lock(m_mutex);
    m_nUpper = nUpper;
}

void CSimTestHost::SetProgressPos(int nPos) {
    std::lock_guard lock(m_mutex);
    m_nPos = nPos;
}

void CSimTestHost::DeltaProgressPos(int nDelta) {
    std::lock_guard lock(m_mutex);
    m_nPos = std::min(m_nPos + nDelta, m_nUpper);
}

MsgBoxResult CSimTestHost::ShowMessageBox(const std::string& strText, const std::string&,
                                          MsgBoxIcon, MsgBoxButtons eButtons) {
    std::lock_guard lock(m_mutex);
    m_boxes.push_back(strText);
    return eButtons == MsgBoxButtons::YesNo ? MsgBoxResult::Yes : MsgBoxResult::Ok;
}

std::vector<SimRecord> ExpectedRecords(const std::string& strImageDir, int nPosition) {
    CFileImgList list;
    std::int32_t n = 0;
    std::vector<SimRecord> out;
    if (LoadImageFilesFromDir(strImageDir, list, &n) != S_OK)
        return out;
    CLRArray arr(GetFileImgAt(list, nPosition));
    for (int i = 0; i < arr.GetSize(); ++i) {
        const CLoadRecord& rec = arr.GetAt(i);
        SimRecord r;
        r.cBank = rec[2];
        r.wAddr =
            static_cast<std::uint16_t>(static_cast<BYTE>(rec[3]) << 8 | static_cast<BYTE>(rec[4]));
        r.data.assign(rec.begin() + 6, rec.end() - 1);
        out.push_back(r);
    }
    return out;
}

CReportCatcher::CReportCatcher() {
    SetSimReportObserver([this](const SimReport& report, const SimOptions&) {
        std::lock_guard lock(m_mutex);
        m_last = report;
        ++m_nCount;
        m_cv.notify_all();
    });
}

CReportCatcher::~CReportCatcher() {
    SetSimReportObserver({});
}

bool CReportCatcher::Wait(DWORD dwMs) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs), [this] { return m_nCount > 0; });
}

SimReport CReportCatcher::Last() const {
    std::lock_guard lock(m_mutex);
    return m_last;
}

int CReportCatcher::Count() const {
    std::lock_guard lock(m_mutex);
    return m_nCount;
}

} // namespace simtest
