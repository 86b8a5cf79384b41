// The device list: every PCM that ALSA knows and the hw: and plughw: names of each card, and
// what each one offers this program.
#pragma once

#include <cstdio>

namespace livedelay {

// Prints one line per name: which directions open, whether the samples this program uses are
// taken directly, the channel counts and the rates. Gives 0, or a negative code when the list
// could not be written.
int list_devices(FILE* out);

}  // namespace livedelay
