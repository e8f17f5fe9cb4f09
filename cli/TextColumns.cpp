// How many terminal columns a text takes, for the status line (both systems).
#include "cli/Terminal.h"

namespace cli {

namespace {
bool StartsCharacter(unsigned char c) {
    return (c & 0xC0) != 0x80;
}
bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}
} // namespace

std::size_t DisplayColumns(std::string_view text) {
    std::size_t n = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (StartsCharacter(c) && !IsControl(c))
            ++n;
    }
    return n;
}

std::string_view FitColumns(std::string_view text, std::size_t nColumns) {
    std::size_t cols = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (StartsCharacter(c) && !IsControl(c)) {
            if (cols == nColumns)
                return text.substr(0, i);
            ++cols;
        }
    }
    return text;
}

} // namespace cli
