#include "sim_card.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

using livedelay::stream_state;

namespace {

constexpr __int128 ns_squared = __int128{1000000000} * 1000000000;
constexpr int sample_bytes = 3;
// The poll descriptors of the two streams: no real descriptor has such a number.
constexpr int capture_fd = -1001;
constexpr int playback_fd = -1002;

int64_t frame_bytes(const sim_stream& s) {
    return int64_t{s.channels} * sample_bytes;
}

// The stream's clock frame at `ns`: floor(ns * rate * (1 + ppb / 1e9) / 1e9), from an origin
// at 0, in integers so that both streams agree to the frame.
int64_t clock_frame(const sim_stream& s, int64_t ns) {
    return static_cast<int64_t>(static_cast<__int128>(ns) * s.rate * (1000000000 + s.ppb) /
                                ns_squared);
}

// The first time at which the clock shows `frame`.
int64_t time_of_frame(const sim_stream& s, int64_t frame) {
    const __int128 per_second = static_cast<__int128>(s.rate) * (1000000000 + s.ppb);
    return static_cast<int64_t>((static_cast<__int128>(frame) * ns_squared + per_second - 1) /
                                per_second);
}

int64_t round_up(int64_t frames, int64_t step) {
    return (frames + step - 1) / step * step;
}

int64_t frame_of_position(const sim_stream& s, int64_t position) {
    return s.start_frame + (position - s.start_position);
}

int64_t exact_position(const sim_stream& s, int64_t frame) {
    return s.start_position + std::max<int64_t>(frame - s.start_frame, 0);
}

// Where the application sees the stream: a card's at the last end of a period of its grid, a
// server's capture at the last block it handed over, a server's playback to the frame.
int64_t pointer_position(const sim_stream& s, int64_t frame) {
    if (s.server.on && s.playback) {
        const int64_t step = s.server.playback_step_frames;
        const int64_t played = exact_position(s, frame) - s.start_position;
        return s.start_position + played / step * step;
    }
    if (s.server.on) {
        return exact_position(s, frame / s.server.block_frames * s.server.block_frames);
    }
    return exact_position(s, frame / s.period_frames * s.period_frames);
}

// Where the running stream stops by itself: playback once it has played all it was given,
// capture once its buffer is full, each noticed by a card at the end of a period of its grid.
int64_t stop_position(const sim_stream& s) {
    const int64_t edge = s.playback ? s.appl : s.appl + s.buffer_frames;
    if (s.server.on) {
        return edge;
    }
    return exact_position(s, round_up(frame_of_position(s, edge), s.period_frames));
}

void put_marker(uint8_t* at, int channel, int64_t clock_frame) {
    const auto v = static_cast<uint32_t>(((channel + 1) << 20) | (clock_frame & 0xfffff));
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
}

// The card plays (or captures) the running stream's positions up to `position`.
void advance(sim_stream& s, int64_t position) {
    if (position <= s.done) {
        return;
    }
    const int64_t bytes = frame_bytes(s);
    if (s.playback) {
        std::string& played = s.world->played;
        const int64_t from = s.world->played_from_frame;
        const int64_t end = std::min(position, s.appl);
        const int64_t last = (frame_of_position(s, end) + s.server.graph_frames - from) * bytes;
        if (end > s.done && static_cast<int64_t>(played.size()) < last) {
            played.resize(static_cast<size_t>(last), '\0');
        }
        // In pieces that the card's buffer holds in one run.
        for (int64_t p = s.done; p < end;) {
            const int64_t slot = p % s.buffer_frames;
            const int64_t n = std::min(end - p, s.buffer_frames - slot);
            const int64_t at = (frame_of_position(s, p) + s.server.graph_frames - from) * bytes;
            std::memcpy(played.data() + at, s.ring.data() + slot * bytes,
                        static_cast<size_t>(n * bytes));
            p += n;
        }
        // Frames before the next one to play are final.
        const int64_t final_frames =
            std::min(frame_of_position(s, end) + s.server.graph_frames - from,
                     static_cast<int64_t>(played.size()) / bytes);
        constexpr int64_t hand_over_frames = int64_t{1} << 18;
        if (s.world->take_played && final_frames >= hand_over_frames) {
            const auto final_bytes = static_cast<size_t>(final_frames * bytes);
            s.world->take_played(played.substr(0, final_bytes), from);
            played.erase(0, final_bytes);
            s.world->played_from_frame += final_frames;
        }
    } else {
        for (int64_t p = std::max(s.done, position - s.buffer_frames); p < position; ++p) {
            uint8_t* slot = s.ring.data() + (p % s.buffer_frames) * bytes;
            for (int c = 0; c < s.channels; ++c) {
                put_marker(slot + c * sample_bytes, c, frame_of_position(s, p));
            }
        }
    }
    s.done = position;
}

// Brings the running stream up to its clock: false when it ran dry (playback) or full
// (capture) since it was last looked at, and is now in an xrun.
bool follow_clock(sim_stream& s) {
    if (!s.clock_running) {
        return s.state != stream_state::xrun;
    }
    const int64_t frame = clock_frame(s, s.world->now_ns);
    const int64_t stop = stop_position(s);
    const int64_t seen = pointer_position(s, frame);
    // A card's pointer shows that playback ran dry at a period's end; a server's plugin says
    // so the moment its queue runs out.
    if (s.server.on && s.playback ? exact_position(s, frame) >= stop : seen >= stop) {
        advance(s, stop);
        s.last_position = stop;
        s.clock_running = false;
        s.state = stream_state::xrun;
        s.first_xrun_ns = s.xruns++ == 0 ? s.world->now_ns : s.first_xrun_ns;
        return false;
    }
    advance(s, std::min(exact_position(s, frame), stop));
    s.last_position = std::min(seen, stop);
    return true;
}

void halt_clock(sim_stream& s) {
    if (!follow_clock(s) || !s.clock_running) {
        return;
    }
    const int64_t position =
        std::min(exact_position(s, clock_frame(s, s.world->now_ns)), stop_position(s));
    advance(s, position);
    s.last_position = position;
    s.clock_running = false;
}

// When the stream's descriptor next turns ready after `ns`: a card's at the next end of a
// period of its grid, a server's plugin at its next wake.
int64_t next_tick(const sim_stream& s, int64_t ns) {
    if (s.server.on) {
        return (ns / s.server.wake_ns + 1) * s.server.wake_ns;
    }
    return time_of_frame(s, (clock_frame(s, ns) / s.period_frames + 1) * s.period_frames);
}

void start_clock(sim_stream& s) {
    s.start_frame = clock_frame(s, s.world->now_ns);
    s.start_position = s.last_position;
    s.done = s.last_position;
    s.clock_running = true;
    s.state = stream_state::running;
    s.next_tick_ns = next_tick(s, s.world->now_ns);
}

sim_stream& of(void* handle) {
    return *static_cast<sim_stream*>(handle);
}

int transfer(void* handle, void** table, int64_t frames, int64_t& moved) {
    sim_stream& s = of(handle);
    moved = 0;
    if (s.state == stream_state::gone) {
        return -ENODEV;
    }
    if (s.state == stream_state::suspended) {
        return -ESTRPIPE;
    }
    if (!follow_clock(s)) {
        return -EPIPE;
    }
    const int64_t room =
        s.playback ? s.buffer_frames - (s.appl - s.last_position) : s.last_position - s.appl;
    const int64_t n = std::clamp<int64_t>(std::min(frames, room), 0, frames);
    const int64_t bytes = frame_bytes(s);
    // In pieces that the card's buffer holds in one run.
    for (int64_t f = 0; f < n;) {
        const int64_t first_slot = (s.appl + f) % s.buffer_frames;
        const int64_t piece = std::min(n - f, s.buffer_frames - first_slot);
        for (int c = 0; c < s.channels; ++c) {
            uint8_t* slot = s.ring.data() + first_slot * bytes + c * sample_bytes;
            uint8_t* at = static_cast<uint8_t*>(table[c]) + f * sample_bytes;
            for (int64_t k = 0; k < piece; ++k, slot += bytes, at += sample_bytes) {
                std::memcpy(s.playback ? slot : at, s.playback ? at : slot, sample_bytes);
            }
        }
        f += piece;
    }
    s.appl += n;
    moved = n;
    // Playback starts with its first frame written, as ALSA's default start threshold has it.
    if (s.playback && s.state == stream_state::prepared && s.appl > 0) {
        start_clock(s);
    }
    return 0;
}

int fault_code(const sim_stream& s) {
    switch (s.state) {
        case stream_state::gone:
            return -ENODEV;
        case stream_state::suspended:
            return -ESTRPIPE;
        case stream_state::xrun:
            return -EPIPE;
        default:
            return 0;
    }
}

int captured_waiting(void* handle, int64_t& frames) {
    sim_stream& s = of(handle);
    frames = 0;
    if (!follow_clock(s) || fault_code(s) < 0) {
        return fault_code(s);
    }
    frames = s.last_position - s.appl;
    return 0;
}

// A server's report: late by up to its lag, with its graph, and where set, late or wandering.
int64_t reported_queue(sim_stream& s) {
    const sim_server& v = s.server;
    const int64_t now = s.world->now_ns;
    const double t = static_cast<double>(now) / 1e9;
    const double swing = t < 2.0 || t > 8.0 ? 0.0 : std::pow(std::sin(M_PI * (t - 2.0) / 6.0), 2);
    std::uniform_int_distribution<int64_t> lag(0, std::max<int64_t>(0, v.report_lag_frames - 1));
    std::uniform_int_distribution<int64_t> late(0, v.late_frames);
    const int64_t bent_ns = now >= v.bend_from_ns && now < v.bend_to_ns ? now - v.bend_from_ns : 0;
    const int64_t queued =
        s.appl - s.done + v.graph_frames - lag(s.world->rng) +
        (now >= v.late_from_ns ? late(s.world->rng) : 0) +
        std::llround(1e-15 * static_cast<double>(bent_ns * v.bend_ppm) * s.rate) +
        (t < 0.5 ? -v.early_low_frames : 0) +
        std::llround(swing * static_cast<double>(v.wander_frames));
    return std::max<int64_t>(0, queued);
}

// Playback: what is queued; capture: what was captured and not read, to the frame on a card,
// as much as was handed over on a server.
int delay(void* handle, int64_t& frames) {
    sim_stream& s = of(handle);
    frames = 0;
    if (!follow_clock(s) || fault_code(s) < 0) {
        return fault_code(s);
    }
    if (!s.playback) {
        frames = s.server.on ? s.last_position - s.appl : s.done - s.appl;
        return 0;
    }
    frames = s.server.on ? reported_queue(s) : s.appl - s.done;
    return 0;
}

int room_to_play(void* handle, int64_t& frames) {
    sim_stream& s = of(handle);
    frames = 0;
    if (!follow_clock(s) || fault_code(s) < 0) {
        return fault_code(s);
    }
    frames = s.buffer_frames - (s.appl - s.last_position);
    return 0;
}

int buffered_to_play(void* handle, int64_t& frames) {
    const int err = room_to_play(handle, frames);
    frames = err < 0 ? 0 : of(handle).buffer_frames - frames;
    return err;
}

int prepare(void* handle) {
    sim_stream& s = of(handle);
    if (s.state == stream_state::gone) {
        return -ENODEV;
    }
    halt_clock(s);
    s.state = stream_state::prepared;
    s.done = 0;
    s.appl = 0;
    s.last_position = 0;
    return 0;
}

int start(void* handle) {
    sim_stream& s = of(handle);
    if (s.state != stream_state::prepared) {
        return s.state == stream_state::gone ? -ENODEV : -EBADFD;
    }
    start_clock(s);
    return 0;
}

int prepare_after(void* handle, int err) {
    sim_stream& s = of(handle);
    switch (err) {
        case -EINTR:
        case -EAGAIN:
            return 0;
        case -EPIPE:
            return prepare(handle);
        case -ESTRPIPE:
            if (s.resumes && s.state == stream_state::suspended) {
                start_clock(s);
                return 0;
            }
            return prepare(handle);
        default:
            return err;
    }
}

int drop(void* handle) {
    sim_stream& s = of(handle);
    if (s.state == stream_state::running) {
        halt_clock(s);
    }
    s.clock_running = false;
    s.state = s.state == stream_state::gone ? stream_state::gone : stream_state::open;
    return 0;
}

stream_state state(void* handle) {
    sim_stream& s = of(handle);
    follow_clock(s);
    return s.state;
}

size_t poll_descriptors(void* handle, std::span<pollfd> free_slots) {
    const sim_stream& s = of(handle);
    if (free_slots.empty()) {
        return 0;
    }
    free_slots[0] = {s.playback ? playback_fd : capture_fd,
                     static_cast<short>(s.playback ? POLLOUT : POLLIN), 0};
    return 1;
}

// Ready once a period of the grid has ended since it was last seen (a card's interrupt), or
// in a state a transfer reports.
bool ready_now(const sim_stream& s) {
    return (s.clock_running && s.world->now_ns >= s.next_tick_ns) ||
           s.state == stream_state::xrun || s.state == stream_state::suspended ||
           s.state == stream_state::gone;
}

bool poll_ready(void* handle, std::span<pollfd> fds) {
    sim_stream& s = of(handle);
    const bool ready =
        std::any_of(fds.begin(), fds.end(), [](const pollfd& p) { return p.revents != 0; });
    if (s.clock_running && s.world->now_ns >= s.next_tick_ns) {
        s.next_tick_ns = next_tick(s, s.world->now_ns);
    }
    return ready;
}

constexpr livedelay::stream_ops sim_ops{transfer,  transfer,      captured_waiting,
                                        delay,     room_to_play,  buffered_to_play,
                                        prepare,   prepare_after, start,
                                        drop,      state,         poll_descriptors,
                                        poll_ready};

int64_t sim_now(void* context) {
    return static_cast<sim_world*>(context)->now_ns;
}

void run_events_until(sim_world& w, int64_t until_ns) {
    while (!w.events.empty() && w.events.front().at_ns <= until_ns) {
        const sim_world::event e = w.events.front();
        w.events.erase(w.events.begin());
        w.now_ns = std::max(w.now_ns, e.at_ns);
        e.act();
    }
}

// Marks what is ready now in `fds`; gives how many are.
int mark_ready(sim_world& w, pollfd* fds, size_t count) {
    int ready = 0;
    for (size_t i = 0; i < count; ++i) {
        pollfd& p = fds[i];
        p.revents = 0;
        if (p.fd == capture_fd || p.fd == playback_fd) {
            const sim_stream& s = p.fd == capture_fd ? w.capture : w.playback;
            p.revents = ready_now(s) ? p.events : 0;
        } else if (p.fd >= 0) {
            pollfd real{p.fd, p.events, 0};
            if (poll(&real, 1, 0) > 0) {
                p.revents = real.revents;
            }
        }
        ready += p.revents != 0 ? 1 : 0;
    }
    return ready;
}

// Where the program does not run, time jumps to the end of the span. A server's client that
// stops with it hands over what it gathered before, loses the rest, and captures on from the
// end of the span.
void skip_frozen(sim_world& w) {
    for (const sim_world::frozen_span& f : w.frozen) {
        if (w.now_ns < f.from_ns || w.now_ns >= f.to_ns) {
            continue;
        }
        sim_stream& c = w.capture;
        const bool losing = f.capture_lost && c.clock_running;
        if (losing) {
            follow_clock(c);
            c.done = c.last_position;
        }
        run_events_until(w, f.to_ns);
        w.now_ns = f.to_ns;
        if (losing && c.clock_running) {
            c.start_position = c.done;
            c.start_frame = clock_frame(c, w.now_ns);
        }
    }
}

int sim_poll(void* context, pollfd* fds, size_t count, int64_t timeout_ns) {
    sim_world& w = *static_cast<sim_world*>(context);
    ++w.waits;
    const int64_t deadline = w.now_ns + std::max<int64_t>(timeout_ns, 0);
    for (;;) {
        skip_frozen(w);
        run_events_until(w, w.now_ns);
        if (const int ready = mark_ready(w, fds, count); ready > 0 || w.now_ns >= deadline) {
            if (ready > 0) {
                w.now_ns += w.wake_late_ns;
            }
            if (ready > 0 && w.wake_jitter_ns > 0) {
                w.now_ns += std::uniform_int_distribution<int64_t>(0, w.wake_jitter_ns)(w.rng);
            }
            return ready;
        }
        int64_t next = deadline;
        for (size_t i = 0; i < count; ++i) {
            if (fds[i].fd == capture_fd || fds[i].fd == playback_fd) {
                const sim_stream& s = fds[i].fd == capture_fd ? w.capture : w.playback;
                next = s.clock_running ? std::min(next, s.next_tick_ns) : next;
            }
        }
        if (!w.events.empty()) {
            next = std::min(next, w.events.front().at_ns);
        }
        for (const sim_world::frozen_span& f : w.frozen) {
            next = f.from_ns > w.now_ns ? std::min(next, f.from_ns) : next;
        }
        w.now_ns = std::max(next, w.now_ns + 1);
    }
}

constexpr livedelay::clock_ops sim_clock_ops{sim_now, sim_poll};

void make_stream(sim_stream& s, sim_world& world, bool playback, const sim_card_setup& setup,
                 double ppm) {
    s = sim_stream{};
    s.world = &world;
    s.playback = playback;
    s.rate = setup.rate;
    s.channels = setup.channels;
    s.period_frames = setup.period_frames;
    s.buffer_frames = setup.buffer_frames;
    s.ppb = static_cast<int64_t>(ppm * 1000);
    s.server = setup.server;
    const auto at_rate = [&](int64_t frames_at_48000) {
        return std::max<int64_t>(1, frames_at_48000 * s.rate / 48000);
    };
    s.server.block_frames = at_rate(s.server.block_frames);
    s.server.playback_step_frames = at_rate(s.server.playback_step_frames);
    s.server.report_lag_frames = at_rate(s.server.report_lag_frames);
    // A server holds seconds of capture for a client that is late to read it.
    if (s.server.on && !playback) {
        s.buffer_frames = std::max<int64_t>(s.buffer_frames, 8 * int64_t{s.rate});
    }
    s.ring.assign(static_cast<size_t>(s.buffer_frames * frame_bytes(s)), 0);
}

}  // namespace

void make_sim_card(sim_world& world, const sim_card_setup& setup) {
    world.now_ns = 0;
    world.rng.seed(setup.seed);
    world.wake_jitter_ns = setup.wake_jitter_ns;
    world.wake_late_ns = setup.wake_late_ns;
    make_stream(world.capture, world, false, setup, setup.capture_ppm);
    make_stream(world.playback, world, true, setup, setup.playback_ppm);
}

void hand_over_played(sim_world& world) {
    if (world.take_played && !world.played.empty()) {
        world.take_played(world.played, world.played_from_frame);
        world.played_from_frame +=
            static_cast<int64_t>(world.played.size()) / frame_bytes(world.playback);
        world.played.clear();
    }
}

void at(sim_world& world, int64_t at_ns, std::function<void()> act) {
    auto where = std::upper_bound(world.events.begin(), world.events.end(), at_ns,
                                  [](int64_t t, const sim_world::event& e) { return t < e.at_ns; });
    world.events.insert(where, {at_ns, std::move(act)});
}

void strike(sim_world& world, sim_stream& s, int64_t at_ns, sim_fault fault) {
    at(world, at_ns, [&s, fault] {
        if (!follow_clock(s)) {
            return;  // in an xrun already
        }
        halt_clock(s);
        if (fault != sim_fault::freeze) {
            s.state = fault == sim_fault::xrun      ? stream_state::xrun
                      : fault == sim_fault::suspend ? stream_state::suspended
                                                    : stream_state::gone;
        }
    });
}

livedelay::stream sim_capture(sim_world& world) {
    return {&sim_ops, &world.capture};
}

livedelay::stream sim_playback(sim_world& world) {
    return {&sim_ops, &world.playback};
}

livedelay::loop_clock sim_clock(sim_world& world) {
    return {&sim_clock_ops, &world};
}
