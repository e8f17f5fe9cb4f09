#include "platform/Sleep.h"

#include <chrono>
#include <thread>

void Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
