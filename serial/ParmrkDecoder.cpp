#include "serial/ParmrkDecoder.h"

int CParmrkDecoder::Decode(const char* pSrc, int nCount, char* pDest, RxInfo& info) {
    int nOut = 0;
    for (int i = 0; i < nCount; ++i) {
        const auto c = static_cast<unsigned char>(pSrc[i]);
        switch (m_state) {
        case State::Data:
            if (c == 0xFF)
                m_state = State::Mark;
            else
                pDest[nOut++] = static_cast<char>(c);
            break;
        case State::Mark:
            if (c == 0x00) {
                m_state = State::MarkZero;
            } else if (c == 0xFF) {
                pDest[nOut++] = static_cast<char>(0xFF);
                m_state = State::Data;
            } else {
                // Not a marker the kernel sends. Keep the byte and count the damage; emitting
                // the lone \377 as well could run the output ahead of the input when the
                // marker began in an earlier read.
                pDest[nOut++] = static_cast<char>(c);
                ++info.nLineErrors;
                m_state = State::Data;
            }
            break;
        case State::MarkZero:
            pDest[nOut++] = static_cast<char>(c);
            if (c == 0x00)
                ++info.nBreaks;
            else
                ++info.nLineErrors;
            m_state = State::Data;
            break;
        }
    }
    return nOut;
}
