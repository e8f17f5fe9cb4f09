// Stages 3 to 5: load records, each opened by a host break and acknowledged by the unit, and
// the closing command exchanges.

#include "upload/UploadDlgBase.h"

#include "image/LRArray.h"

namespace {

constexpr int RECORD_TRIES = 15;
constexpr int ACK_LENGTH = 7;
constexpr int ACK_POLLS = 20;
constexpr int KERNEL_POLLS = 50;
constexpr int FIRMWARE_POLLS = 150;
constexpr int PROGRESS_EVERY = 20;

} // namespace

void CUploadDlgBase::SendHostBreak() {
    m_pSerialPort->SetBreak();
    m_pClock->Sleep(1);
    m_pSerialPort->ClearBreak();
}

bool CUploadDlgBase::IsLoadRecordAck(const std::vector<char>& rec) {
    ISerialPort& port = *m_pSerialPort;
    if (rec.size() < static_cast<std::size_t>(LR_OVERHEAD) || port.GetRxCount() < ACK_LENGTH)
        return false;
    // The break's 0x00, 'L', then count, checksum, address high, address low and bank: a unit
    // that merely repeats the record's own first bytes is not acknowledging it.
    const char expected[ACK_LENGTH] = {0, 'L', rec[5], rec.back(), rec[3], rec[4], rec[2]};
    for (int i = 0; i < ACK_LENGTH; ++i) {
        if (static_cast<BYTE>(port.PeekRx(i)) != static_cast<BYTE>(expected[i]))
            return false;
    }
    return true;
}

int CUploadDlgBase::SendLoadRecords(CLRArray* pLRArray) {
    ISerialPort& port = *m_pSerialPort;
    const int nRecords = pLRArray->GetSize();
    for (int i = 0; i < nRecords; ++i) {
        AddToLog(".");
        if ((i + 1) % 100 == 0)
            AddToLog("\n+ ");
        const CLoadRecord& rec = pLRArray->GetAt(i);
        for (int nTriesLeft = RECORD_TRIES;;) {
            port.ClearRxBuffer();
            port.ClearTxBuffer();
            if (m_bCancel.load())
                return 1;
            SendHostBreak();
            port.Send(rec.data(), static_cast<int>(rec.size()));
            port.WaitTxEmpty(1000);
            bool bAcknowledged = false;
            // The answer's bytes follow its break; the wait keeps the poll's bound (ACK_POLLS
            // steps of 1 ms) but ends with the last byte, so no record waits longer than that.
            if (port.WaitRxBreak(500) == 0) {
                port.WaitRxCount(ACK_LENGTH, ACK_POLLS);
                bAcknowledged = IsLoadRecordAck(rec);
            }
            if (bAcknowledged)
                break;
            AddToLog("!");
            if (--nTriesLeft == 0)
                return E_FAIL;
        }
        if (i % PROGRESS_EVERY == 0)
            DeltaProgressPos(PROGRESS_EVERY);
    }
    port.ClearRxBuffer();
    port.ClearTxBuffer();
    return 0;
}

int CUploadDlgBase::SendImageRecords(int nPos) {
    AddToLog("# ");
    CFileImg* pImg = GetFileImgAt(m_listFileImg, nPos);
    if (!pImg)
        return E_FAIL;
    CLRArray lrArray(pImg);
    return SendLoadRecords(&lrArray);
}

void CUploadDlgBase::SendClosingCommand(const char* pszCommand, int nLength, int nPolls) {
    // One try, not cut short by a cancel request: the session sees that afterwards.
    ISerialPort& port = *m_pSerialPort;
    port.ClearRxBuffer();
    port.ClearTxBuffer();
    SendHostBreak();
    port.Send(pszCommand, nLength);
    port.WaitRxBreak(4000);
    port.WaitRxCount(3, static_cast<DWORD>(nPolls));
}

int CUploadDlgBase::UploadSBoot() {
    if (const int r = SendImageRecords(FILEIMG_POS_SBOOT); r != 0)
        return r;

    ISerialPort& port = *m_pSerialPort;
    IClock& clock = *m_pClock;
    for (int nPass = 0; nPass < 3; ++nPass) {
        // "RC" restarts the unit into its second loader.
        for (int nTry = 0; nTry < 3; ++nTry) {
            port.ClearTxBuffer();
            if (m_bCancel.load())
                return 1;
            SendHostBreak();
            port.Send("RC", 2);
            if (port.WaitTxEmpty(300) == 0)
                break;
            AddToLog(":");
            clock.Sleep(500);
        }
        clock.Sleep(4000); // the second loader's start
        for (int nTry = 0; nTry < 3; ++nTry) {
            port.ClearTxBuffer();
            port.ClearRxBuffer();
            if (m_bCancel.load())
                return 1;
            SendHostBreak();
            port.Send("OK", 2);
            if (port.WaitTxEmpty(200) == 0 && port.WaitRxBreak(500) == 0) {
                port.WaitRxCount(3, 10); // the break's 0x00 and "OK"
                if (port.GetRxCount() >= 3 && port.PeekRx(1) == 'O' && port.PeekRx(2) == 'K')
                    return 0;
            }
            AddToLog(";");
        }
        AddToLog(",");
    }
    AddToLog("*");
    return E_FAIL;
}

int CUploadDlgBase::UploadKernel() {
    if (const int r = SendImageRecords(FILEIMG_POS_KERNEL); r != 0)
        return r;

    ISerialPort& port = *m_pSerialPort;
    SendClosingCommand("B0C", 3, KERNEL_POLLS);
    if (port.GetRxCount() >= 3 && port.PeekRx(1) == 'B' && port.PeekRx(2) == '0')
        return 0;
    return E_UNEXPECTED;
}

int CUploadDlgBase::UploadFirmware() {
    if (const int r = SendImageRecords(FILEIMG_POS_FIRMWARE); r != 0)
        return r;

    ISerialPort& port = *m_pSerialPort;
    m_pClock->Sleep(2000);
    SendClosingCommand("RC", 2, FIRMWARE_POLLS);
    // Exactly the break's byte and "RC": anything longer is not the unit's answer.
    if (port.GetRxCount() == 3 && port.PeekRx(1) == 'R' && port.PeekRx(2) == 'C')
        return 0;
    return E_UNEXPECTED;
}
