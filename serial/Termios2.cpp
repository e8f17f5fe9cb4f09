// The one file that speaks termios2. It includes the kernel's definitions and nothing of
// glibc's <termios.h>, whose struct termios and flag values clash with them.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/Termios2.h"

namespace {

bool Get(int fd, termios2* pT) {
    return ioctl(fd, TCGETS2, pT) == 0;
}
bool Set(int fd, const termios2* pT) {
    return ioctl(fd, TCSETS2, pT) == 0;
}

// The raw line with breaks and errors marked, the receiver on and modem status ignored.
void MakeRaw(termios2* pT) {
    pT->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    // A break arrives as \377 \0 \0, a byte X with a framing or parity error as \377 \0 X, and
    // a data byte 0xFF as \377 \377.
    pT->c_iflag |= PARMRK | INPCK;
    pT->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    pT->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN |
                                          NOFLSH | TOSTOP);
    pT->c_cflag |= CREAD | CLOCAL;
    // With VMIN 0 and VTIME 0 an empty read would return 0, which reads as a hang-up; with
    // VMIN 1 on a non-blocking descriptor it fails with EAGAIN instead.
    pT->c_cc[VMIN] = 1;
    pT->c_cc[VTIME] = 0;
}

bool RawMarked(const termios2& t) {
    const tcflag_t iOff = IGNBRK | BRKINT | IGNPAR | ISTRIP | IXON | IXOFF;
    return (t.c_iflag & (PARMRK | INPCK)) == (PARMRK | INPCK) && (t.c_iflag & iOff) == 0 &&
           (t.c_oflag & OPOST) == 0 && (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           (t.c_cflag & CREAD) != 0;
}

unsigned RateOf(const termios2& t) {
    return static_cast<unsigned>(t.c_ospeed);
}

bool Within2Percent(unsigned nWanted, unsigned nActual) {
    const unsigned long long d = nWanted > nActual ? nWanted - nActual : nActual - nWanted;
    return d * 100ULL <= static_cast<unsigned long long>(nWanted) * 2ULL;
}

constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

} // namespace

bool Termios2IsTerminal(int fd) {
    termios2 t{};
    return Get(fd, &t);
}

Termios2Result Termios2MakeRaw(int fd) {
    termios2 t{};
    if (!Get(fd, &t))
        return Termios2Result::Failed;
    MakeRaw(&t);
    if (!Set(fd, &t))
        return Termios2Result::Failed;
    termios2 back{};
    if (!Get(fd, &back))
        return Termios2Result::Failed;
    return RawMarked(back) ? Termios2Result::Ok : Termios2Result::Refused;
}

Termios2Result Termios2ApplyFrame(int fd, const Termios2Frame& frame, unsigned* pnActualBaud) {
    if (pnActualBaud)
        *pnActualBaud = 0;
    tcflag_t cflag = CREAD | CLOCAL;
    switch (frame.nDataBits) {
    case 5:
        cflag |= CS5;
        break;
    case 6:
        cflag |= CS6;
        break;
    case 7:
        cflag |= CS7;
        break;
    case 8:
        cflag |= CS8;
        break;
    default:
        return Termios2Result::Refused;
    }
    switch (frame.nParity) {
    case 0:
        break;
    case 1:
        cflag |= PARENB | PARODD;
        break;
    case 2:
        cflag |= PARENB;
        break;
    case 3:
        cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        cflag |= PARENB | CMSPAR;
        break;
    default:
        return Termios2Result::Refused;
    }
    switch (frame.nStopBits) {
    case 0:
        break;
    case 1: // one and a half: what two stop bits give with five data bits
        if (frame.nDataBits != 5)
            return Termios2Result::Refused;
        cflag |= CSTOPB;
        break;
    case 2:
        cflag |= CSTOPB;
        break;
    default:
        return Termios2Result::Refused;
    }
    if (frame.bRtsCts)
        cflag |= CRTSCTS;
    if (frame.nBaud == 0)
        return Termios2Result::Refused;

    termios2 old{};
    if (!Get(fd, &old))
        return Termios2Result::Failed;
    termios2 t = old;
    MakeRaw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(kFrameBits | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= cflag | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = frame.nBaud;
    t.c_ospeed = frame.nBaud;
    if (!Set(fd, &t))
        return Termios2Result::Failed;

    termios2 back{};
    if (!Get(fd, &back)) {
        Set(fd, &old);
        return Termios2Result::Failed;
    }
    if (pnActualBaud)
        *pnActualBaud = RateOf(back);
    if (!Within2Percent(frame.nBaud, RateOf(back))) {
        Set(fd, &old);
        return Termios2Result::RateMissed;
    }
    if ((back.c_cflag & kFrameBits) != (cflag & kFrameBits)) {
        Set(fd, &old); // the driver quietly dropped part of the framing (mark/space, say)
        return Termios2Result::Refused;
    }
    return Termios2Result::Ok;
}

bool Termios2GetRates(int fd, unsigned* pnOutBaud, unsigned* pnInBaud) {
    termios2 t{};
    if (!Get(fd, &t))
        return false;
    if (pnOutBaud)
        *pnOutBaud = static_cast<unsigned>(t.c_ospeed);
    if (pnInBaud)
        *pnInBaud = static_cast<unsigned>(t.c_ispeed);
    return true;
}

bool Termios2GetFrame(int fd, Termios2Frame* pFrame, bool* pbRawMarked) {
    termios2 t{};
    if (!Get(fd, &t))
        return false;
    if (pFrame) {
        pFrame->nBaud = RateOf(t);
        switch (t.c_cflag & CSIZE) {
        case CS5:
            pFrame->nDataBits = 5;
            break;
        case CS6:
            pFrame->nDataBits = 6;
            break;
        case CS7:
            pFrame->nDataBits = 7;
            break;
        default:
            pFrame->nDataBits = 8;
            break;
        }
        if (!(t.c_cflag & PARENB))
            pFrame->nParity = 0;
        else if (t.c_cflag & CMSPAR)
            pFrame->nParity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            pFrame->nParity = (t.c_cflag & PARODD) ? 1 : 2;
        pFrame->nStopBits = (t.c_cflag & CSTOPB) ? (pFrame->nDataBits == 5 ? 1 : 2) : 0;
        pFrame->bRtsCts = (t.c_cflag & CRTSCTS) != 0;
    }
    if (pbRawMarked)
        *pbRawMarked = RawMarked(t);
    return true;
}

bool Termios2FlushOutput(int fd) {
    return ioctl(fd, TCFLSH, TCOFLUSH) == 0;
}

static_assert(sizeof(termios2) <= sizeof(Termios2Saved::bytes));

bool Termios2Save(int fd, Termios2Saved* pSaved) {
    termios2 t{};
    pSaved->bValid = Get(fd, &t);
    if (pSaved->bValid)
        __builtin_memcpy(pSaved->bytes, &t, sizeof t);
    return pSaved->bValid;
}

bool Termios2Restore(int fd, const Termios2Saved& saved) {
    if (!saved.bValid)
        return false;
    termios2 t{};
    __builtin_memcpy(&t, saved.bytes, sizeof t);
    return Set(fd, &t);
}
