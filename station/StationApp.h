#pragma once
// The station window program: its options, the job judged, the window, the exit code.

// Runs the program in the QApplication that exists already (argv as it has left them, Qt's
// own options taken out); returns the exit code.
int RunStationApp(int argc, char** argv);
