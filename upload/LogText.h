#pragma once
// The text of the progress log pane, kept apart from any window system. Callers write bare
// "\n" line ends; the pane only ever holds CR LF pairs. Both front ends show the log through
// it: the session appends here and hands the window only the text that was added.

#include <cstddef>
#include <string>
#include <string_view>

class CLogText {
public:
    // Room reserved when the log is still empty, so the first kilobytes need no reallocation.
    static constexpr std::size_t INITIAL_RESERVE = 4096;

    // Appends strText with every bare LF turned into CR LF: an LF gets a CR in front unless the
    // character before it (in the text or, at the join, at the log's end) already is one.
    // Only the appended text is scanned, so an append costs time in proportion to its length.
    // Returns the text as it was added to the log; the view is valid until the next Append.
    std::string_view Append(std::string_view strText);

    const std::string& GetText() const { return m_strText; }
    std::size_t GetLength() const { return m_strText.size(); }

private:
    std::string m_strText;
};
