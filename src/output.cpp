#include "output.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "monotonic.hpp"

namespace livedelay {

namespace {

// A descriptor of our own on the file behind `fd`, with O_NONBLOCK: set on `fd` itself, the
// flag would change the file for the shell and every other process that shares it.
int own_nonblocking(int fd) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

void open_output_queue(output_queue& q, int fd) {
    q.bytes.resize(output_queue_bytes);
    q.queued = 0;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        q.fd = fd;
        q.way = write_way::discarded;
        return;
    }
    if (S_ISREG(st.st_mode)) {
        q.fd = fd;
        q.way = write_way::plain;
    } else if (S_ISSOCK(st.st_mode)) {
        q.fd = fd;
        q.way = write_way::socket;
    } else if (const int own = own_nonblocking(fd); own >= 0) {
        q.fd = own;
        q.way = write_way::own;
    } else {
        q.fd = fd;
        q.way = write_way::polled;
    }
}

namespace {

bool same_file(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino && sa.st_rdev == sb.st_rdev;
}

// One write that does not wait: the bytes the descriptor took, 0 when it takes none now, or
// -1 when its reader is gone. Async-signal-safe.
ssize_t write_some(int fd, write_way way, const char* bytes, size_t n) {
    ssize_t wrote = 0;
    switch (way) {
        case write_way::discarded:
            return -1;
        case write_way::plain:
        case write_way::own:
            wrote = write(fd, bytes, n);
            break;
        case write_way::socket:
            wrote = send(fd, bytes, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case write_way::polled: {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
                return (p.revents & (POLLERR | POLLHUP)) != 0 ? -1 : 0;
            }
            wrote = write(fd, bytes, std::min<size_t>(n, PIPE_BUF));
            break;
        }
    }
    if (wrote >= 0) {
        return wrote;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// Writes the front of the queue as far as the descriptor takes it; gives whether it is empty.
bool write_queued(output_queue& q) {
    size_t done = 0;
    while (done < q.queued) {
        const ssize_t wrote = write_some(q.fd, q.way, q.bytes.data() + done, q.queued - done);
        if (wrote < 0) {
            q.way = write_way::discarded;
            done = q.queued;
        } else if (wrote == 0) {
            break;
        } else {
            done += static_cast<size_t>(wrote);
        }
    }
    std::memmove(q.bytes.data(), q.bytes.data() + done, q.queued - done);
    q.queued -= done;
    return q.queued == 0;
}

// Queues what the descriptor did not take; a write that does not fit is dropped whole.
void queue_bytes(output_queue& q, const char* bytes, size_t n) {
    if (q.way == write_way::discarded) {
        return;
    }
    if (n > q.bytes.size() - q.queued) {
        ++q.dropped_writes;
        return;
    }
    std::memcpy(q.bytes.data() + q.queued, bytes, n);
    q.queued += n;
}

// Says how many writes were dropped, once the queue has room and nothing else waits.
void say_dropped(output_queue& q) {
    if (q.dropped_writes == 0 || q.queued > 0 || q.way == write_way::discarded) {
        return;
    }
    char line[96];
    const int n = std::snprintf(line, sizeof line,
                                "\n%lld lines of output dropped: nothing was reading them\n",
                                static_cast<long long>(q.dropped_writes));
    q.dropped_writes = 0;
    put_output(q, line, static_cast<size_t>(n));
}

ssize_t cookie_write(void* c, const char* bytes, size_t n) {
    auto* k = static_cast<stream_cookie*>(c);
    output_streams& s = *k->streams;
    const std::lock_guard<std::mutex> hold(s.lock);
    if (k->errors && s.same_target && !write_queued(s.out)) {
        queue_bytes(s.err, bytes, n);  // behind what standard output holds, as it was said
    } else {
        put_output(k->errors ? s.err : s.out, bytes, n);
    }
    // Taken, whether written, queued or dropped: stdio never sees a failure or a wait.
    return static_cast<ssize_t>(n);
}

FILE* open_stream(output_streams& streams, bool errors) {
    stream_cookie& c = errors ? streams.err_cookie : streams.out_cookie;
    c = {&streams, errors};
    cookie_io_functions_t functions{};
    functions.write = cookie_write;
    FILE* f = fopencookie(&c, "w", functions);
    if (f != nullptr) {
        setvbuf(f, nullptr, _IONBF, 0);  // each printf reaches the queue as one write
    }
    return f;
}

}  // namespace

void put_output(output_queue& q, const char* bytes, size_t n) {
    size_t done = 0;
    if (write_queued(q)) {
        while (done < n) {
            const ssize_t wrote = write_some(q.fd, q.way, bytes + done, n - done);
            if (wrote <= 0) {
                q.way = wrote < 0 ? write_way::discarded : q.way.load();
                break;
            }
            done += static_cast<size_t>(wrote);
        }
    }
    queue_bytes(q, bytes + done, n - done);
}

void start_output(output_streams& streams) {
    std::fflush(stdout);
    std::fflush(stderr);
    open_output_queue(streams.out, STDOUT_FILENO);
    open_output_queue(streams.err, STDERR_FILENO);
    streams.same_target = same_file(STDOUT_FILENO, STDERR_FILENO);
    FILE* out = open_stream(streams, false);
    FILE* err = open_stream(streams, true);
    // Where a stream cannot be made, the plain one stays: output then may wait, as before.
    if (out != nullptr) {
        stdout = out;
    }
    if (err != nullptr) {
        stderr = err;
    }
}

void flush_queue(output_queue& q) {
    if (write_queued(q)) {
        say_dropped(q);
    }
}

void flush_output(output_streams& streams) {
    const std::lock_guard<std::mutex> hold(streams.lock);
    flush_queue(streams.out);
    flush_queue(streams.err);
}

bool output_waiting(output_streams& streams) {
    const std::lock_guard<std::mutex> hold(streams.lock);
    return streams.out.queued > 0;
}

bool finish_output(output_streams& streams, int limit_ms) {
    const int64_t deadline = monotonic_ns() + limit_ms * ns_per_ms;
    for (;;) {
        pollfd p[2] = {{-1, POLLOUT, 0}, {-1, POLLOUT, 0}};
        {
            const std::lock_guard<std::mutex> hold(streams.lock);
            flush_queue(streams.out);
            flush_queue(streams.err);
            p[0].fd = streams.out.queued > 0 ? streams.out.fd : -1;
            p[1].fd = streams.err.queued > 0 ? streams.err.fd : -1;
        }
        const int64_t left_ms = (deadline - monotonic_ns()) / ns_per_ms;
        if ((p[0].fd < 0 && p[1].fd < 0) || left_ms <= 0) {
            return p[0].fd < 0 && p[1].fd < 0;
        }
        poll(p, 2, static_cast<int>(std::min<int64_t>(left_ms, 10)));
    }
}

void say_now(const output_queue& q, const char* text) {
    write_some(q.fd, q.way, text, std::strlen(text));
}

}  // namespace livedelay
