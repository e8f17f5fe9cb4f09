#pragma once
#include "platform/Types.h"

// A plain pause of the calling thread.
void Sleep(DWORD dwMilliseconds);
