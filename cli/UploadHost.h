#pragma once
// The command line's side of the dialog seam: the session, its texts and its behaviour are the
// window's own; only the window operations differ. The log and the progress bar go to the
// Reporter, the port box holds the --port name, message boxes are printed and answered OK.

#include "cli/Reporter.h"
#include "platform/Thread.h"
#include "serial/SerialPort.h"
#include "upload/UploadDlgBase.h"

#include <string>

namespace cli {

class UploadHost final : public CUploadDlgBase {
public:
    UploadHost(Reporter& reporter, std::string strPort);
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
    void FocusPortBox() override;
    void RestoreStartCaption() override;
    // Keeps the worker's thread, so that the program can wait for it and read its result.
    bool StartSessionThread(CThreadThunk* pThunk) override;

private:
    Reporter& m_reporter;
    const std::string m_strPort;
    CSerialPort m_port; // the port the session opens; outlives the worker
    CThread m_worker;
};

} // namespace cli
