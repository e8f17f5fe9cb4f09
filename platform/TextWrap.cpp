#include "platform/TextWrap.h"

#include <algorithm>
#include <vector>

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// A word cut after each run of separators that something other than a separator follows:
// "/dev/serial/by-id/usb-X" gives "/", "dev/", "serial/", "by-id/", "usb-X".
std::vector<std::string_view> PathPieces(std::string_view word) {
    std::vector<std::string_view> pieces;
    std::size_t nStart = 0;
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
        if (IsSeparator(word[i]) && !IsSeparator(word[i + 1])) {
            pieces.push_back(word.substr(nStart, i + 1 - nStart));
            nStart = i + 1;
        }
    }
    pieces.push_back(word.substr(nStart));
    return pieces;
}

// One line of the text (without line feeds), broken where it is wider than nMaxWidth.
void WrapLine(std::string_view line, int nMaxWidth, const TextWidthFn& width, std::string& out) {
    if (width(line) <= nMaxWidth) {
        out += line;
        return;
    }
    const std::size_t nIndent = std::min(line.find_first_not_of(' '), line.size());
    std::string strCur(line.substr(0, nIndent)); // the line being filled
    bool bHasWord = false;                       // strCur holds more than the indentation
    const auto flush = [&] {
        out += strCur;
        out += '\n';
        strCur.clear();
        bHasWord = false;
    };
    // Appends a piece that follows strCur after gap (empty within a word); a new line begins
    // when it does not fit and the line already holds something.
    const auto place = [&](std::string_view gap, std::string_view piece) {
        std::string strTry = strCur;
        if (bHasWord)
            strTry += gap;
        strTry += piece;
        if (bHasWord && width(strTry) > nMaxWidth) {
            flush();
            strCur.assign(piece);
        } else {
            strCur = std::move(strTry);
        }
        bHasWord = true;
    };

    std::size_t i = nIndent;
    while (i < line.size()) {
        const std::size_t nWord = std::min(line.find_first_not_of(' ', i), line.size());
        const std::string_view gap = line.substr(i, nWord - i);
        if (nWord == line.size()) { // trailing spaces: they end the line as they are
            if (!bHasWord || width(strCur + std::string(gap)) <= nMaxWidth)
                strCur += gap;
            break;
        }
        const std::size_t nEnd = std::min(line.find(' ', nWord), line.size());
        const std::string_view word = line.substr(nWord, nEnd - nWord);
        i = nEnd;
        if (width(word) <= nMaxWidth) {
            place(gap, word); // a word that fits a line is never split
            continue;
        }
        // Wider than any line: broken after its separators, the first pieces filling what is
        // left of the current line.
        bool bFirst = true;
        for (const std::string_view piece : PathPieces(word)) {
            place(bFirst ? gap : std::string_view(), piece);
            bFirst = false;
        }
    }
    out += strCur;
}

template <typename Fn> void ForEachLine(std::string_view strText, Fn fn) {
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = strText.find('\n', nStart);
        fn(strText.substr(nStart, nEnd == std::string_view::npos ? nEnd : nEnd - nStart));
        if (nEnd == std::string_view::npos)
            return;
        nStart = nEnd + 1;
    }
}

} // namespace

std::string WrapText(std::string_view strText, int nMaxWidth, const TextWidthFn& width) {
    std::string out;
    out.reserve(strText.size() + 16);
    bool bFirst = true;
    ForEachLine(strText, [&](std::string_view line) {
        if (!bFirst)
            out += '\n';
        bFirst = false;
        WrapLine(line, nMaxWidth, width, out);
    });
    return out;
}

int WidestLine(std::string_view strText, const TextWidthFn& width) {
    int nWidest = 0;
    ForEachLine(strText, [&](std::string_view line) { nWidest = std::max(nWidest, width(line)); });
    return nWidest;
}

int WidestWord(std::string_view strText, const TextWidthFn& width) {
    int nWidest = 0;
    std::size_t i = 0;
    while (i < strText.size()) {
        const std::size_t nWord = strText.find_first_not_of(" \n", i);
        if (nWord == std::string_view::npos)
            break;
        const std::size_t nEnd = std::min(strText.find_first_of(" \n", nWord), strText.size());
        nWidest = std::max(nWidest, width(strText.substr(nWord, nEnd - nWord)));
        i = nEnd;
    }
    return nWidest;
}
