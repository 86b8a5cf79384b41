// What the transfer loop does with its two streams and with time, through one small record of
// operations each: ALSA's streams and the monotonic clock for the program (src/pcm.cpp,
// system_clock), simulated devices on a simulated clock for the tests, which so run the real
// loop at many times real speed, the same every time for a given seed.
#pragma once

#include <poll.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace livedelay {

// Where a stream stands, as far as the loop cares.
enum class stream_state { open, prepared, running, xrun, suspended, gone };

// One stream's operations; `handle` is what the implementation knows the stream by. Each that
// gives an int gives 0 or a negative ALSA (errno) code.
struct stream_ops {
    // Transfers that never wait: they move what the stream can take now, `moved` frames.
    int (*read)(void* handle, void** channel_table, int64_t frames, int64_t& moved);
    int (*write)(void* handle, void** channel_table, int64_t frames, int64_t& moved);
    // What the stream says of itself (`frames` is 0 when it cannot say): captured and ready to
    // read; its delay (playback: queued and not yet heard; capture: captured and not yet read,
    // to the frame where the device can tell, where what is ready moves a period at a time);
    // room in playback's buffer; what that buffer holds.
    int (*captured_waiting)(void* handle, int64_t& frames);
    int (*delay)(void* handle, int64_t& frames);
    int (*room_to_play)(void* handle, int64_t& frames);
    int (*buffered_to_play)(void* handle, int64_t& frames);
    int (*prepare)(void* handle);
    // Back to where the stream can be started after `err`: prepared after an xrun, resumed (or
    // prepared) after a suspend; -EAGAIN while a suspended stream is still waking.
    int (*prepare_after)(void* handle, int err);
    int (*start)(void* handle);
    int (*drop)(void* handle);
    stream_state (*state)(void* handle);
    // Fills the first of `free_slots` with what to poll for the stream; gives how many.
    size_t (*poll_descriptors)(void* handle, std::span<pollfd> free_slots);
    // What a poll left in `fds` (as poll_descriptors filled them) says: the stream has work.
    bool (*poll_ready)(void* handle, std::span<pollfd> fds);
};

struct stream {
    const stream_ops* ops = nullptr;
    void* handle = nullptr;
};

inline int read_frames(const stream& s, void** table, int64_t frames, int64_t& moved) {
    return s.ops->read(s.handle, table, frames, moved);
}
inline int write_frames(const stream& s, void** table, int64_t frames, int64_t& moved) {
    return s.ops->write(s.handle, table, frames, moved);
}
inline int captured_waiting(const stream& s, int64_t& frames) {
    return s.ops->captured_waiting(s.handle, frames);
}
inline int queued_to_play(const stream& s, int64_t& frames) {
    return s.ops->delay(s.handle, frames);
}
inline int captured_delay(const stream& s, int64_t& frames) {
    return s.ops->delay(s.handle, frames);
}
inline int room_to_play(const stream& s, int64_t& frames) {
    return s.ops->room_to_play(s.handle, frames);
}
inline int buffered_to_play(const stream& s, int64_t& frames) {
    return s.ops->buffered_to_play(s.handle, frames);
}
inline int prepare_stream(const stream& s) {
    return s.ops->prepare(s.handle);
}
inline int prepare_after(const stream& s, int err) {
    return s.ops->prepare_after(s.handle, err);
}
inline int start_stream(const stream& s) {
    return s.ops->start(s.handle);
}
inline int drop_stream(const stream& s) {
    return s.ops->drop(s.handle);
}
inline stream_state state_of(const stream& s) {
    return s.ops->state(s.handle);
}
inline size_t add_poll_descriptors(const stream& s, std::span<pollfd> free_slots) {
    return s.ops->poll_descriptors(s.handle, free_slots);
}
inline bool poll_ready(const stream& s, std::span<pollfd> fds) {
    return s.ops->poll_ready(s.handle, fds);
}

// The code a stream's state stands for when no transfer has reported it yet: an xrun, a
// suspend, a device gone; 0 for a stream that can go on.
inline int stopped_by(const stream& s) {
    switch (state_of(s)) {
        case stream_state::xrun:
            return -EPIPE;
        case stream_state::suspended:
            return -ESTRPIPE;
        case stream_state::gone:
            return -ENODEV;
        default:
            return 0;
    }
}

// Time as the loop keeps it: now, and the one wait.
struct clock_ops {
    int64_t (*now_ns)(void* context);
    // poll(2) over `fds`, for at most `timeout_ns`.
    int (*poll)(void* context, pollfd* fds, size_t count, int64_t timeout_ns);
};

struct loop_clock {
    const clock_ops* ops = nullptr;
    void* context = nullptr;
};

// CLOCK_MONOTONIC and poll(2): the program's.
loop_clock system_clock();

inline int64_t now_ns(const loop_clock& clock) {
    return clock.ops->now_ns(clock.context);
}
inline int poll_for(const loop_clock& clock, pollfd* fds, size_t count, int64_t timeout_ns) {
    return clock.ops->poll(clock.context, fds, count, timeout_ns);
}

}  // namespace livedelay
