// Stages 1 and 2: the unlock sequence at 300 baud, the boot frame with its echo at the
// bootstrap rate, and the move to 38400 baud with its "OK" exchange.

#include "upload/UploadDlgBase.h"

#include "platform/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD UNLOCK_BAUD = 300;
constexpr DWORD LOADER_BAUD = 38400;
constexpr int BOOT_ATTEMPTS = 15;
constexpr int BOOTI_PASSES = 15;
constexpr DWORD BOOT_MS_PER_BYTE = 90;

} // namespace

int CUploadDlgBase::SendUnlockSequence() {
    ISerialPort& port = *m_pSerialPort;
    IClock& clock = *m_pClock;

    DCB dcb;
    port.GetPortMode(dcb);
    if (dcb.BaudRate != UNLOCK_BAUD) {
        dcb.BaudRate = UNLOCK_BAUD;
        if (port.SetPortMode(dcb) != S_OK) {
            TraceDebug("CMorFWUploadDlg::SendUnlockSequence:  SetPortMode(300) failed\n");
            return E_FAIL;
        }
    }
    if (port.WaitTxEmpty(2000) != 0) {
        TraceDebug("CMorFWUploadDlg::SendUnlockSequence:  WaitTxEmpty (1) failed\n");
        return E_FAIL;
    }
    // The unit takes "Q!X" as its unlock only while DTR and RTS are raised; at 300 baud the
    // three bytes take 100 ms, so both drop about when the last byte leaves.
    port.EscapeFunction(SETDTR);
    port.EscapeFunction(SETRTS);
    port.ClearRxBuffer();
    port.Send("Q!X", 3);
    clock.Sleep(100);
    port.EscapeFunction(CLRDTR);
    port.EscapeFunction(CLRRTS);
    clock.Sleep(50);
    if (port.WaitTxEmpty(2000) != 0) {
        TraceDebug("CMorFWUploadDlg::SendUnlockSequence:  WaitTxEmpty (2) failed\n");
        return E_FAIL;
    }
    return 0;
}

int CUploadDlgBase::UploadBootStrap(int nImage, bool bRelaxed) {
    const CFileImg* pImg = GetFileImgAt(m_listFileImg, nImage);
    if (!pImg || !pImg->pData)
        return E_FAIL;
    ISerialPort& port = *m_pSerialPort;
    IClock& clock = *m_pClock;
    const std::int32_t nLength = pImg->nLength;
    const BYTE* pImage = pImg->pData.get();

    for (int nAttempt = 0; nAttempt < BOOT_ATTEMPTS; ++nAttempt) {
        if (nAttempt > 0) {
            AddToLog("+");
            clock.Sleep(1300);
        }
        if (m_bCancel.load())
            return 1;

        if (SendUnlockSequence() != 0) {
            TraceDebug("CMorFWUploadDlg::UploadBootStrap:  SendUnlockSequence failed\n");
            continue;
        }

        DCB dcb;
        port.GetPortMode(dcb);
        dcb.BaudRate = static_cast<DWORD>(g_nBootstrapBaud.load());
        if (port.SetPortMode(dcb) != S_OK) {
            TraceDebug("CMorFWUploadDlg::SendUnlockSequence:  SetPortMode(738) failed\n");
            return E_FAIL;
        }
        // The unit answers the unlock with a break.
        if (port.WaitRxBreak(100) != 0)
            TraceDebug("CMorFWUploadDlg::SendUnlockSequence:  WaitRxBreak timed out\n");
        port.ClearRxBuffer();

        if (pImg->nType == FILEIMG_BIN) {
            // A frame longer than the transmit ring would lose its first bytes while queuing.
            if (nLength > MAX_BOOT_IMAGE_LENGTH) {
                TraceDebug("CMorFWUploadDlg::UploadBootStrap:  Send failed\n");
                continue;
            }
            std::vector<char> frame(static_cast<std::size_t>(nLength) + 1);
            frame[0] = static_cast<char>(0xFF);
            std::memcpy(frame.data() + 1, pImage, static_cast<std::size_t>(nLength));
            if (port.Send(frame.data(), nLength + 1) != 0) {
                TraceDebug("CMorFWUploadDlg::UploadBootStrap:  Send failed\n");
                continue;
            }
        }
        const auto nTxTime = std::min<std::uint64_t>(
            static_cast<std::uint64_t>(nLength) * BOOT_MS_PER_BYTE, INFINITE - 1);
        if (port.WaitTxEmpty(static_cast<DWORD>(nTxTime)) != 0) {
            TraceDebug("CMorFWUploadDlg::UploadBootStrap:  Send timed out\n");
            continue;
        }
        port.WaitRxBreak(500); // the unit's break after its echo; only waited for

        if (port.GetRxCount() == 0)
            continue;
        // A break from the unit shows as a 0x00 in the stream. An empty image has no first
        // byte to tell it from an echo, so nothing is dropped then.
        if (nLength > 0 && port.PeekRx(0) == 0 && pImage[0] != 0) {
            char cDropped;
            int nCount = 1;
            port.ReadRx(&cDropped, nCount);
        }
        const int nReceived = port.GetRxCount();
        char szTrace[96];
        std::snprintf(szTrace, sizeof szTrace, "Bytes sent: %d;   Bytes received: %d\n",
                      static_cast<int>(nLength), nReceived);
        TraceDebug(szTrace);

        if (!bRelaxed) {
            const long long nExtra = static_cast<long long>(nReceived) - nLength;
            if (nExtra != 0 && nExtra != 1) {
                TraceDebug("Length check failed\n");
                continue;
            }
            bool bEchoed = true;
            const int nCompare = std::min<int>(nLength, nReceived);
            for (int j = 0; j < nCompare; ++j) {
                if (static_cast<BYTE>(port.PeekRx(j)) != pImage[j]) {
                    std::snprintf(szTrace, sizeof szTrace, "Char comp. failed: %d indx.\n", j);
                    TraceDebug(szTrace);
                    bEchoed = false;
                    break;
                }
            }
            if (!bEchoed)
                continue;
        }
        port.ClearRxBuffer();
        return 0;
    }
    return E_FAIL;
}

int CUploadDlgBase::UploadShutup() {
    AddToLog("# ");
    return UploadBootStrap(FILEIMG_POS_SHUTUP, m_bRelaxedErrorChecking.load());
}

int CUploadDlgBase::UploadBootI() {
    ISerialPort& port = *m_pSerialPort;
    IClock& clock = *m_pClock;
    AddToLog("# ");
    for (int nPass = 0; nPass < BOOTI_PASSES; ++nPass) {
        // The option is read afresh at each pass: a change during the upload counts at once.
        const int r = UploadBootStrap(FILEIMG_POS_BOOTI, m_bRelaxedErrorChecking.load());
        if (r == 1)
            return 1;
        if (r != 0)
            continue;

        PORTMODE mode;
        std::memset(&mode, 0, sizeof mode);
        mode.cbSize = 32;
        mode.dwBaudRate = LOADER_BAUD;
        mode.byParity = NOPARITY;
        mode.byByteSize = 8;
        mode.byStopBits = ONESTOPBIT;
        mode.byRtsControl = RTS_CONTROL_DISABLE;
        mode.dwReserved = 0xFFFFFFFFu;
        if (port.SetPortMode(mode) != S_OK) {
            TraceDebug("CMorFWUploadDlg::UploadBootI:  SetPortMode failed\n");
            return E_FAIL;
        }
        clock.Sleep(100);
        port.ClearRxBuffer();
        if (port.WaitTxEmpty(2000) != 0)
            TraceDebug("CMorFWUploadDlg::UploadBootI:  TxBuffer empty timeout\n");
        SendHostBreak();
        port.Send("OK", 2);
        if (port.WaitTxEmpty(2000) != 0)
            TraceDebug("CMorFWUploadDlg::UploadBootI:  Send \"OK\" timed out\n");
        if (port.WaitRxBreak(100) == 0)
            return 0;
        clock.Sleep(200);
        TraceDebug("CMorFWUploadDlg::UploadBootI:  WaitRxBreak timed out\n");
        AddToLog("*");
    }
    return E_FAIL;
}
