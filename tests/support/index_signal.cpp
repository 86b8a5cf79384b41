#include "index_signal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "process.hpp"

index_check make_index_check(int channels, const std::vector<std::pair<int, int>>& routes,
                             int64_t delay_frames, int64_t later_delay_frames) {
    index_check check;
    check.channels = channels;
    check.source.assign(static_cast<size_t>(channels), -1);
    for (const auto& [in, out] : routes) {
        check.source[static_cast<size_t>(out)] = in;
    }
    check.delay_frames = delay_frames;
    check.later_delay_frames = later_delay_frames;
    return check;
}

namespace {

uint32_t sample_of(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
}

uint32_t due_sample(int source, int64_t frame, int64_t delay_frames) {
    return source >= 0 && frame >= delay_frames ? index_sample(source, frame - delay_frames) : 0;
}

void check_frame(index_check& check, const uint8_t* frame) {
    const int64_t f = check.frames++;
    bool wrong = false;
    bool silent = false;
    bool wrong_later = false;
    for (int c = 0; c < check.channels; ++c) {
        const int in = check.source[static_cast<size_t>(c)];
        const uint32_t got = sample_of(frame + 3 * c);
        const uint32_t due = due_sample(in, f, check.delay_frames);
        wrong_later = wrong_later || got != due_sample(in, f, check.later_delay_frames);
        if (got == due) {
            continue;
        }
        wrong = true;
        silent = silent || got == 0;
        if (check.differences.size() < 5) {
            check.differences.push_back("frame " + std::to_string(f) + " channel " +
                                        std::to_string(c + 1) + ": got " + std::to_string(got) +
                                        ", due " + std::to_string(due));
        }
    }
    if (wrong && check.first_wrong < 0) {
        check.first_wrong = f;
    }
    check.last_wrong = wrong_later ? f : check.last_wrong;
    check.wrong_frames += wrong ? 1 : 0;
    check.silent_frames += silent ? 1 : 0;
}

}  // namespace

void check_index_bytes(index_check& check, const char* bytes, size_t n) {
    const auto frame_bytes = static_cast<size_t>(3 * check.channels);
    size_t at = 0;
    if (!check.partial.empty()) {
        at = std::min(n, frame_bytes - check.partial.size());
        check.partial.append(bytes, at);
        if (check.partial.size() < frame_bytes) {
            return;
        }
        check_frame(check, reinterpret_cast<const uint8_t*>(check.partial.data()));
        check.partial.clear();
    }
    for (; at + frame_bytes <= n; at += frame_bytes) {
        check_frame(check, reinterpret_cast<const uint8_t*>(bytes + at));
    }
    check.partial.assign(bytes + at, n - at);
}

bool check_index_fifo(index_check& check, const std::string& path, int pid, int timeout_seconds,
                      const std::function<void(const index_check&)>& progress) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    // Not waiting for a writer: the program may end before it opens the FIFO.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::vector<char> buffer(1 << 20);
    const auto take = [&](ssize_t got) {
        check_index_bytes(check, buffer.data(), static_cast<size_t>(got));
        if (progress) {
            progress(check);
        }
    };
    bool opened = false;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 100);
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            opened = true;
            take(got);
        } else if ((got == 0 && (opened || (p.revents & POLLHUP))) || has_ended(pid)) {
            // The writer closed it, or the program ended: what it wrote is all read.
            for (ssize_t rest; (rest = read(fd, buffer.data(), buffer.size())) > 0;) {
                take(rest);
            }
            close(fd);
            return true;
        }
    }
    close(fd);
    return false;
}

std::string described(const index_check& check) {
    std::string text;
    for (const std::string& d : check.differences) {
        text += "    " + d + "\n";
    }
    return text;
}
