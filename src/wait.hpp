// The loop's wait: one poll over the stream that has work for it, standard input and a stop
// request, for no longer than the next thing the loop has to do.
#pragma once

#include <cstdint>

#include "transfer.hpp"

namespace livedelay {

// How long a wait lasts at most: while playback starts, a few ms; then the time the next
// period is due and half a period more, so that a wake-up a plugin fails to give costs no more
// than that. On a device of its own, the wait for capture's period ends 5 ms before it is due
// (see wait.cpp). A wait that comes back ready but finds nothing to move (`only_sleep`) is
// followed by a quarter period's sleep instead.
int64_t wait_limit_ns(const transfer_state& t, bool on_playback, bool only_sleep);

// Waits, for at most `limit_ns`, for the stream that has work for the loop: playback when it
// is to take frames (`on_playback`), else capture; and for standard input and a stop request.
// Gives whether the stream's descriptors woke it. After a wake that found them awake but
// nothing to move (a plugin may leave them so until its next transfer), the streams are not
// watched (`only_sleep`).
bool wait_for_work(transfer_state& t, bool on_playback, bool only_sleep, int64_t limit_ns);

}  // namespace livedelay
