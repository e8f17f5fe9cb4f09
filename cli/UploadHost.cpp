#include "cli/UploadHost.h"

#include "cli/Commands.h"

namespace cli {

UploadHost::UploadHost(Reporter& reporter) : m_reporter(reporter) {}

UploadHost::~UploadHost() {
    // The session works on this object: it must have let go before anything here goes away.
    WaitForSessionEnd(INFINITE);
    if (m_worker.IsStarted())
        m_worker.Join();
}

std::vector<SerialPortInfo> UploadHost::GetPortList() const {
    return ListPorts(m_SerialPort);
}

HRESULT UploadHost::JoinSession() {
    WaitForSessionEnd(INFINITE);
    if (!m_worker.IsStarted())
        return E_FAIL;
    m_worker.Join();
    return static_cast<HRESULT>(m_worker.GetExitCode());
}

std::string UploadHost::ToLineFeeds(const std::string& strText) {
    std::string out;
    out.reserve(strText.size());
    for (std::size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] == '\r' && i + 1 < strText.size() && strText[i + 1] == '\n')
            continue;
        out += strText[i];
    }
    return out;
}

void UploadHost::ShowLogText(const std::string& strAppended) {
    if (!strAppended.empty())
        m_reporter.Log(ToLineFeeds(strAppended));
}

void UploadHost::SetProgressRange(int /*nLower: always 0*/, int nUpper) {
    m_reporter.ProgressRange(nUpper);
}

void UploadHost::SetProgressPos(int nPos) {
    m_reporter.ProgressPos(nPos);
}

void UploadHost::DeltaProgressPos(int nDelta) {
    m_reporter.ProgressDelta(nDelta);
}

std::string UploadHost::GetPortText() {
    return m_strPort;
}

MsgBoxResult UploadHost::ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                        MsgBoxIcon eIcon, MsgBoxButtons eButtons) {
    return ShowDetailedMessageBox(strText, strCaption, eIcon, eButtons, {});
}

MsgBoxResult UploadHost::ShowDetailedMessageBox(const std::string& strText,
                                                const std::string& strCaption, MsgBoxIcon eIcon,
                                                MsgBoxButtons eButtons,
                                                const std::string& strDetail) {
    BoxKind kind = BoxKind::Information;
    if (strCaption == CAPTION_ERROR)
        kind = BoxKind::Error;
    else if (eIcon == MsgBoxIcon::Exclamation)
        kind = BoxKind::Warning;
    m_reporter.MessageBox(strText, strCaption, kind, strDetail);
    // Nobody is there to answer: a question is answered No, so nothing is ever confirmed
    // on the operator's behalf.
    return eButtons == MsgBoxButtons::YesNo ? MsgBoxResult::No : MsgBoxResult::Ok;
}

void UploadHost::FocusPortBox() {}

void UploadHost::RestoreStartCaption() {}

bool UploadHost::StartSessionThread(CThreadThunk* pThunk) {
    return m_worker.Start(pThunk, pThunk, THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace cli
