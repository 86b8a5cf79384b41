// Standard output and standard error that never wait on their reader. A terminal stopped with
// Ctrl-S, a pipe nobody reads (a paused `| less`, a service manager that is behind) or a full
// socket must cost a dropped line, never a second of sound or a stop request not heeded.
//
// Once start_output has run, `stdout` and `stderr` are streams of this module (the C library's
// fopencookie): printf and the like still write to them, but what they are given goes into a
// bounded queue and on to the descriptor as far as it takes it without waiting. What is left
// is written by later calls (flush_output, at each wake of the loop), and what does not fit in
// the queue is dropped whole and counted, and the count is said once there is room again.
// The descriptors' own flags are left alone: they may be shared with the shell.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace livedelay {

// How the descriptor of a stream is written without waiting.
enum class write_way {
    plain,     // a regular file: a write never waits for a reader
    own,       // a description of our own with O_NONBLOCK, opened on the same file
    socket,    // send() with MSG_DONTWAIT
    polled,    // poll first, then at most PIPE_BUF bytes, which a pipe then takes whole
    discarded  // the reader is gone: nothing more is written
};

struct output_queue {
    int fd = -1;                                   // the descriptor written, set once
    std::atomic<write_way> way{write_way::plain};  // read by handlers too
    std::vector<char> bytes;  // queued, oldest first; its capacity is the bound
    size_t queued = 0;
    int64_t dropped_writes = 0;  // writes dropped since the count was last said
};

struct output_streams;

// What the C library hands each write of a stream back with.
struct stream_cookie {
    output_streams* streams = nullptr;
    bool errors = false;
};

struct output_streams {
    // A library's thread may write to standard error too (a sound server's plugin logging).
    std::mutex lock;
    output_queue out;
    output_queue err;
    bool same_target = false;  // both go to one file: errors wait behind what output holds
    stream_cookie out_cookie;
    stream_cookie err_cookie;
};

// Bytes each stream may hold queued.
constexpr size_t output_queue_bytes = 64 * 1024;
// How long the end of the run may wait for the last lines to be written.
constexpr int output_grace_ms = 100;

// Puts `streams` behind stdout and stderr, after writing what stdio holds for them. The
// streams must live as long as the process writes anything.
void start_output(output_streams& streams);

// Writes what is queued as far as the descriptors take it now, then says how many writes were
// dropped, if any were.
void flush_queue(output_queue& q);
void flush_output(output_streams& streams);
// Whether standard output holds text it could not write yet.
bool output_waiting(output_streams& streams);
// Writes what is queued, waiting at most `limit_ms` in all; gives whether everything went.
bool finish_output(output_streams& streams, int limit_ms);

// Sets `q` up to write `fd` without waiting, the descriptor itself left as it is.
void open_output_queue(output_queue& q, int fd);
// Takes `n` bytes for `q`: written now as far as they go, the rest queued, or all of them
// dropped when the queue has no room for the rest.
void put_output(output_queue& q, const char* bytes, size_t n);

// For signal handlers and the watchdog, which cannot use the queue: writes `text` past it, as
// far as the descriptor takes it at once. Async-signal-safe.
void say_now(const output_queue& q, const char* text);

}  // namespace livedelay
