#pragma once
// A small model of a terminal screen for the status-line tests: enough of a VT100 to follow
// what the Reporter writes (CR, LF, auto-wrap with the pending-wrap column, cursor up, erase
// to the end of the screen or line), and a change of width that rewraps the lines as most
// terminals do (VTE, tmux, kitty).

#include <string>
#include <string_view>
#include <vector>

class ScreenModel {
public:
    explicit ScreenModel(int nColumns) : m_nColumns(nColumns), m_rows(1), m_wrapped(1) {}

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

    // The terminal gets nColumns wide: each line (rows joined where they wrapped) is wrapped
    // anew, and the cursor keeps its place in its line.
    void Resize(int nColumns) {
        std::vector<std::string> lines;
        std::size_t cursorLine = 0, cursorOffset = 0;
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            if (i == 0 || !m_wrapped[i - 1])
                lines.emplace_back();
            if (static_cast<int>(i) == m_row) {
                cursorLine = lines.size() - 1;
                cursorOffset = lines.back().size() + static_cast<std::size_t>(m_col) +
                               (m_bPendingWrap ? 1 : 0);
            }
            std::string row = m_rows[i];
            if (m_wrapped[i])
                row.resize(static_cast<std::size_t>(m_nColumns), ' ');
            lines.back() += row;
        }
        const auto cols = static_cast<std::size_t>(nColumns);
        m_nColumns = nColumns;
        m_rows.clear();
        m_wrapped.clear();
        m_bPendingWrap = false;
        for (std::size_t l = 0; l < lines.size(); ++l) {
            const std::size_t first = m_rows.size();
            for (std::size_t from = 0; from == 0 || from < lines[l].size(); from += cols) {
                m_rows.push_back(lines[l].substr(from, cols));
                m_wrapped.push_back(from + cols < lines[l].size());
            }
            if (l != cursorLine)
                continue;
            std::size_t r = cursorOffset / cols, c = cursorOffset % cols;
            if (c == 0 && r > 0 && cursorOffset >= lines[l].size()) {
                --r; // at the end of a full row: the pending-wrap column
                c = cols - 1;
                m_bPendingWrap = true;
            }
            m_row = static_cast<int>(first + r);
            m_col = static_cast<int>(c);
        }
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
            m_wrapped.resize(m_rows.size());
            m_wrapped.back() = false;
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
            m_wrapped[static_cast<std::size_t>(m_row)] = true;
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
        if (static_cast<std::size_t>(m_row) >= m_rows.size()) {
            m_rows.resize(static_cast<std::size_t>(m_row) + 1);
            m_wrapped.resize(m_rows.size());
        }
    }
    std::string& Row() { return m_rows[static_cast<std::size_t>(m_row)]; }

    int m_nColumns;
    std::vector<std::string> m_rows;
    std::vector<bool> m_wrapped; // the row goes on in the next (auto-wrap)
    int m_row = 0;
    int m_col = 0;
    bool m_bPendingWrap = false;
};
