#include "wait.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <span>

#include "control.hpp"
#include "fade.hpp"
#include "monotonic.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

// How long a wait lasts at most while playback starts.
constexpr int64_t start_step_ns = 5 * ns_per_ms;
// How long before capture's next period is due the wait for it ends, to wait again awake.
constexpr int64_t pre_wake_ns = 5 * ns_per_ms;

// The most descriptors one wait watches: the stop request, standard input, and the streams'.
constexpr size_t most_wait_fds = 16;

}  // namespace

int64_t wait_limit_ns(const transfer_state& t, bool on_playback, bool only_sleep) {
    // Until the delay is judged after playback starts, the streams are read every few ms: the
    // judgment takes its readings as the program wakes, and a server is at its least steady
    // right after a start (it may take back part of what was queued, and run dry).
    if (t.phase != playback_phase::running || (holds_delay(t) && !t.latency.refined)) {
        return start_step_ns;
    }
    const int64_t period_ns = t.timing.period_frames * ns_per_second / t.timing.rate;
    if (only_sleep) {
        return std::max<int64_t>(ns_per_ms, period_ns / 4);
    }
    // A processor woken from idle answers a tenth of a millisecond or more late, and by a
    // different amount each time: the readings the drift is measured on would scatter by as
    // much. So the wait for capture's next period ends 5 ms before it is due, and
    // the wait after that one (still awake) sees the period end as it comes. A sound server
    // hands capture over on its own cycle, not at our periods: there it would only add a wake.
    const int64_t early_ns = t.last_capture_ns + period_ns - pre_wake_ns - now_ns(t.clock);
    if (!on_playback && !t.timing.on_sound_server && early_ns > pre_wake_ns) {
        return early_ns;
    }
    return std::max<int64_t>(ns_per_ms, period_ns * 3 / 2);
}

bool wait_for_work(transfer_state& t, bool on_playback, bool only_sleep, int64_t limit_ns) {
    std::array<pollfd, most_wait_fds> fds{};
    size_t count = 0;
    for (const int fd : {stop_request_fd(), joining(t.fade) ? -1 : control_wait_fd(t.control)}) {
        if (fd >= 0) {
            fds[count++] = {fd, POLLIN, 0};
        }
    }
    const stream& s = on_playback ? t.playback : t.capture;
    const size_t own_from = count;
    count += only_sleep ? 0 : add_poll_descriptors(s, std::span(fds).subspan(count));
    const size_t own = count - own_from;
    // Playback is also watched once after each write, so that a card whose pointer moves a
    // period at a time is read as its period ends: where it stands is then known to the frame.
    const bool watch_playback =
        !only_sleep && !on_playback && running_held(t) && !t.playback_period_seen;
    const size_t period_from = count;
    if (watch_playback) {
        count += add_poll_descriptors(t.playback, std::span(fds).subspan(count));
    }
    if (poll_for(t.clock, fds.data(), count, limit_ns) <= 0 || own == 0) {
        return false;
    }
    const bool woke = std::any_of(fds.begin() + own_from, fds.begin() + period_from,
                                  [](const pollfd& p) { return p.revents != 0; });
    // A plugin learns here that its descriptors were seen (a timer read, an event taken); what
    // it makes of them is not needed: the wake looks at the stream itself.
    poll_ready(s, std::span(fds).subspan(own_from, own));
    if (count > period_from) {
        t.playback_period_seen =
            poll_ready(t.playback, std::span(fds).subspan(period_from, count - period_from));
    }
    return woke;
}

}  // namespace livedelay
