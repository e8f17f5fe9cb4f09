#pragma once
// The texts of the main dialog and the about box, shared by the Qt window and the native
// Windows dialog (whose resource script spells them out again; its tests compare the two).
// The release number in the version line comes from the project's version (MorFWVersion.h).

#include "MorFWVersion.h"

inline constexpr const char* DLG_TITLE = "Morvane 2000  Firmware Upload";
inline constexpr const char* DLG_REVISION_PREFIX = "FW Revision: ";
inline constexpr const char* DLG_VERSION_LINE =
    "Morvane® 2000 Firmware Upload Utility   Ver." MORFW_RELEASE_VERSION;
inline constexpr const char* DLG_ABOUT_ITEM = "&About MorFWUpload...";
inline constexpr const char* ABOUT_TITLE = "About MorFWUpload";
// The about box's text is kept exactly as the dialog has always shown it (one release behind the
// version line), so it is not taken from the project's version.
inline constexpr const char* ABOUT_VERSION = "MorFWUpload Version 1.0.3";
inline constexpr const char* ABOUT_NOTICE = "Morvane® 2000 firmware upload";

// The help page beside the program.
inline constexpr const char* HELP_PAGE_NAME = "MorFWUpload.html";
inline constexpr const char* MSG_HELP_NOT_FOUND =
    "The help page %1 was not found beside the program.";
inline constexpr const char* MSG_NO_HELP_VIEWER =
    "No program to show the help page was found.\n\nIt can be read in any web browser:\n%1";
