// The device list: every PCM that ALSA knows and the hw: and plughw: names of each card, and
// what each one offers this program.
#pragma once

#include <cstdio>

namespace livedelay {

// Prints one line per name, `default` first: whether it works as it is (opens both ways and
// takes the samples this program uses), the name to use instead, or that it opens one way
// only or not at all; the channels and the rates both directions take, with the rates the
// device itself runs at when ALSA or a sound server converts others. Probing prints nothing
// else and starts no JACK server. Gives 0, or a negative code when the list could not be
// written.
int list_devices(FILE* out);

}  // namespace livedelay
