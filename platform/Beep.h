#pragma once
// The beep sink: a tone of a given frequency and length, returning when it has ended.
// By default the terminal bell on stderr (when stderr is a terminal) followed by the tone's
// length of silence, so that beep codes keep their rhythm. Front ends install their own sink
// (the desktop's bell); tests record each call with its time.

#include "platform/Types.h"

#include <functional>

void Beep(DWORD dwFreq, DWORD dwDuration);

// An empty function restores the default. Returns the previous sink.
using BeepSink = std::function<void(DWORD dwFreq, DWORD dwDuration)>;
BeepSink SetBeepSink(BeepSink sink);
