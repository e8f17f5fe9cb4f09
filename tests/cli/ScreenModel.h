#pragma once
// A small model of a terminal screen for the status-line tests: enough of a VT100 to follow
// what the Reporter writes (CR, LF, auto-wrap with the pending-wrap column, cursor up, erase
// to the end of the screen or line).

#include <string>
#include <string_view>
#include <vector>

class ScreenModel {
public:
    explicit ScreenModel(int nColumns) : m_nColumns(nColumns), m_rows(1) {}

    void Feed(std::string_view text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
                std::size_t j = i + 2;
                int n = 0;
                bool bHasN = false;
                while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
                    n = n * 10 + (text[j] - '0');
                    bHasN = true;
                    ++j;
                }
                if (j < text.size())
                    Csi(text[j], bHasN ? n : 0);
                i = j;
            } else if (c == '\r') {
                m_col = 0;
                m_bPendingWrap = false;
            } else if (c == '\n') {
                // A terminal's output processing turns LF into CR LF.
                m_col = 0;
                m_bPendingWrap = false;
                Down();
            } else {
                Put(c);
            }
        }
    }

    // The screen's rows with trailing blanks removed, and trailing empty rows dropped.
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows = m_rows;
        for (auto& r : rows)
            r.erase(r.find_last_not_of(' ') + 1);
        while (!rows.empty() && rows.back().empty())
            rows.pop_back();
        return rows;
    }

    int CursorRow() const { return m_row; }
    int CursorColumn() const { return m_col; }

private:
    void Csi(char cmd, int n) {
        switch (cmd) {
        case 'A':
            m_row = std::max(0, m_row - std::max(n, 1));
            m_bPendingWrap = false;
            break;
        case 'J': // erase from the cursor to the end of the screen
            Row().resize(static_cast<std::size_t>(m_col));
            m_rows.resize(static_cast<std::size_t>(m_row) + 1);
            break;
        case 'K':
            Row().resize(static_cast<std::size_t>(m_col));
            break;
        default:
            break;
        }
    }
    void Put(char c) {
        if (m_bPendingWrap) {
            m_col = 0;
            m_bPendingWrap = false;
            Down();
        }
        std::string& r = Row();
        if (r.size() < static_cast<std::size_t>(m_col) + 1)
            r.resize(static_cast<std::size_t>(m_col) + 1, ' ');
        r[static_cast<std::size_t>(m_col)] = c;
        if (m_col == m_nColumns - 1)
            m_bPendingWrap = true;
        else
            ++m_col;
    }
    void Down() {
        ++m_row;
        if (static_cast<std::size_t>(m_row) >= m_rows.size())
            m_rows.resize(static_cast<std::size_t>(m_row) + 1);
    }
    std::string& Row() { return m_rows[static_cast<std::size_t>(m_row)]; }

    int m_nColumns;
    std::vector<std::string> m_rows;
    int m_row = 0;
    int m_col = 0;
    bool m_bPendingWrap = false;
};
