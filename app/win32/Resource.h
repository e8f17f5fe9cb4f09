#pragma once
// Resource and control ids of the native Windows dialog; the resource script and the code
// share them, and the dialog's tests find the controls by them.

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MORFWUPLOAD_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_PORT 1000
#define IDC_PROGRESS 1001
#define IDC_LOG 1002
#define IDC_SLOW_MODE 1004
#define IDC_RELAXED 1005
#define IDC_REVISION 1006
#define IDC_VERSION_LINE (-1)
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The About item of the system menu (the system keeps the low four bits of its commands).
#define IDM_ABOUTBOX 0x0010
// The Help button sends the help command.
#ifndef ID_HELP
#define ID_HELP 0xE146
#endif
