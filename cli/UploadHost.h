#pragma once
// The command line's side of the dialog seam: the session, its texts and its behaviour are the
// window's own; only the window operations differ. The log and the progress bar go to the
// Reporter, the port box holds the --port name, message boxes are printed and answered OK.

#include "cli/Reporter.h"
#include "platform/Thread.h"
#include "serial/PortDiscovery.h"
#include "upload/UploadDlgBase.h"

#include <string>
#include <vector>

namespace cli {

class UploadHost final : public CUploadDlgBase {
public:
    explicit UploadHost(Reporter& reporter);

    // The port box's text: the name the session opens.
    void SetPortText(const std::string& strPort) { m_strPort = strPort; }
    // The ports the dialog's list would receive, in its order, with their details.
    std::vector<SerialPortInfo> GetPortList() const;
    ~UploadHost() override;

    // After the session has ended: waits for its worker to return and gives the session's
    // result (S_OK, 1 for cancelled, E_FAIL, E_INVALIDARG).
    HRESULT JoinSession();

    // The pane's text with its CR LF pairs turned back into the bare LF the session wrote.
    static std::string ToLineFeeds(const std::string& strText);

protected:
    void ShowLogText(const std::string& strAppended) override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void DeltaProgressPos(int nDelta) override;
    std::string GetPortText() override;
    MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                MsgBoxIcon eIcon, MsgBoxButtons eButtons) override;
    MsgBoxResult ShowDetailedMessageBox(const std::string& strText, const std::string& strCaption,
                                        MsgBoxIcon eIcon, MsgBoxButtons eButtons,
                                        const std::string& strDetail) override;
    void FocusPortBox() override;
    void RestoreStartCaption() override;
    // Keeps the worker's thread, so that the program can wait for it and read its result.
    bool StartSessionThread(CThreadThunk* pThunk) override;

private:
    Reporter& m_reporter;
    std::string m_strPort;
    CThread m_worker;
};

} // namespace cli
