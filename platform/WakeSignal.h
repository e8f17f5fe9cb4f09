#pragma once
// Interrupting a thread that sleeps in a blocking system call, such as the wait for a change of
// the modem-status lines (TIOCMIWAIT), which no descriptor can end: a signal whose handler does
// nothing, installed without SA_RESTART so that the call returns with EINTR. Linux only
// (WakeSignal.cpp).

#include <pthread.h>

// Installs the handler, once per process; later calls do nothing.
void InstallWakeSignal();

// Interrupts what the thread waits in (the handler must be installed). A signal that lands just
// before the thread begins its wait is lost: callers repeat it until the thread has ended.
// Returns pthread_kill's result.
int SendWakeSignal(pthread_t thread);
