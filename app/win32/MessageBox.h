#pragma once
// The dialog's message boxes, sized to their text. The system's MessageBox wraps its text at a
// width of its own choosing, so at 150 % and 200 % the program's own line breaks came out
// re-wrapped and ragged. This box has the same caption, icon, sound, buttons, default button,
// keys and answers, and makes itself as wide as the widest line of its text; only a line wider
// than the screen allows is broken further, at spaces (and a path only after a separator:
// platform/TextWrap.h). A detail (the system's reason for a failure) follows the text after an
// empty line, wrapped at the text's width by the same rule.

#include "platform/Win32.h"

#include <string>

// uType: MB_OK or MB_YESNO, optionally with MB_ICONEXCLAMATION; the first button is the
// default. Returns IDOK, IDYES or IDNO, as MessageBoxW does. Texts are UTF-8.
int ShowFittedMessageBox(HWND hOwner, const std::string& strText, const std::string& strCaption,
                         UINT uType, const std::string& strDetail = {});
