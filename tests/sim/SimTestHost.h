#pragma once
// A recording host for end-to-end uploads: the engine's dialog seam with a real CSerialPort, the
// port box holding a "sim:" name, and every window operation written down.

#include "serial/SerialPort.h"
#include "sim/SimUnit.h"
#include "upload/UploadDlgBase.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace simtest {

class CSimTestHost final : public CUploadDlgBase {
public:
    // strImageDir: the images the session loads (empty: MorFWImg/ beside the test program).
    CSimTestHost(std::string strPort, const std::string& strImageDir);
    ~CSimTestHost() override;

    // Starts a session and waits for its end (up to dwMs). False when it did not start or did
    // not end in time.
    bool RunSession(DWORD dwMs = 240000);

    std::string Log() const;
    int Boxes() const;
    std::vector<std::string> BoxTexts() const;
    int ProgressPos() const;
    int ProgressUpper() const;

    // Called on the worker thread with the whole log after each append.
    std::function<void(const std::string& strLog)> onLog;

    CSerialPort m_port;
    std::string m_strPort;

protected:
    void ShowLogText(const std::string& strAppended) override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void DeltaProgressPos(int nDelta) override;
    std::string GetPortText() override { return m_strPort; }
    MsgBoxResult ShowMessageBox(const std::string& strText, const std::string& strCaption,
                                MsgBoxIcon eIcon, MsgBoxButtons eButtons) override;
    void FocusPortBox() override {}
    void RestoreStartCaption() override {}

private:
    mutable std::mutex m_mutex;
    std::string m_log;
    std::vector<std::string> m_boxes;
    int m_nPos = 0;
    int m_nUpper = 0;
};

// The records the unit must hold for each phase, built from the image set by the image module.
std::vector<SimRecord> ExpectedRecords(const std::string& strImageDir, int nPosition);

// Collects the unit's report when a simulated line closes.
class CReportCatcher {
public:
    CReportCatcher();
    ~CReportCatcher();
    // Waits up to dwMs for a report; false when none came.
    bool Wait(DWORD dwMs = 5000);
    SimReport Last() const;
    int Count() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    SimReport m_last;
    int m_nCount = 0;
};

// The number of threads of this process.
int ThreadCount();
// CPU time (user and system) of this process, in seconds.
double ProcessCpuSeconds();

} // namespace simtest
