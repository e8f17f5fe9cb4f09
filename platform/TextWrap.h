#pragma once
// Where a message box's text may break into lines. The program's texts have their line breaks
// where the writer put them, and a box is sized so that each of those lines stays whole; only a
// line wider than the box can ever be (the screen's width) is broken further. Names from the
// system (device paths, program names) are never split in the middle: a line breaks at spaces,
// and a single path wider than a whole line only after one of its separators (/ or \).
//
// Widths come from the caller (pixels in the box's font), so the rule is the same for every
// window system. Texts are UTF-8; only ASCII spaces and separators are break points.

#include <functional>
#include <string>
#include <string_view>

// The width of a piece of one line (no line feeds in it).
using TextWidthFn = std::function<int(std::string_view)>;

// The text with line feeds added where a line is wider than nMaxWidth. The line feeds already
// in the text all stay; a line that fits is kept byte for byte (so is the whole text when every
// line fits). A line that does not fit breaks at a run of spaces, which the break takes the
// place of; a word wider than nMaxWidth breaks after its separators; a piece that no break can
// shorten (a name wider than nMaxWidth) keeps a line of its own, wider than nMaxWidth. A line's
// leading spaces (an indented line) stay at its start.
std::string WrapText(std::string_view strText, int nMaxWidth, const TextWidthFn& width);

// The widest line of the text as its line feeds divide it.
int WidestLine(std::string_view strText, const TextWidthFn& width);

// The widest word of the text (a run without spaces or line feeds): the narrowest line width at
// which no word breaks.
int WidestWord(std::string_view strText, const TextWidthFn& width);
