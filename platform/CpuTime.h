#pragma once
// The processor time the whole process has used so far, user and system, in seconds
// (CpuTime.cpp: getrusage; CpuTime_win32.cpp: GetProcessTimes). For figures, not for timing.
double ProcessCpuSeconds();
