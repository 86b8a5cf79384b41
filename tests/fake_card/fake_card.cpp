// A sound card for the fault tests, as an ALSA I/O plugin: what it offers, whether it runs on
// a clock, and the fault it injects all come from its configuration block (see
// tests/alsa/fake_card.conf.in). Every key is looked up in the stream's own block ("playback
// { ... }" or "capture { ... }") first, then in the card's.
//
// Captured audio names its channel and frame. Unpaced, channel c, frame f is ((c+1) << 20) |
// ((f+1) & 0xfffff), f counting every frame the stream has delivered, or with "signal index"
// index_sample(c, f) (tests/support/index_signal.hpp), and played audio goes to the `played`
// file (which may be a FIFO) as raw interleaved samples, exactly as written.
//
// Paced ("pace clock"), every stream runs on a clock of its own: frames since an origin the
// first stream of the process sets, at the stream's rate and `ppm` faster. A stream plays or
// captures from the clock frame it is started at, and its position moves at the ends of the
// periods of its clock's grid (multiples of the period since the origin), as a card's
// interrupts would. A captured frame names the clock frame F at which it was captured,
// ((c+1) << 20) | (F & 0xfffff); a written frame waits in the card's buffer until the clock
// plays it, and is then written to the `played` file at the clock frame it was played at, so
// the file is indexed by the playback clock and holds zeros wherever nothing was played.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/index_signal.hpp"

namespace {

enum class fault_kind { none, xrun, suspend, gone, short_transfer };

// One time base for all the streams of the process, as on one card: CLOCK_MONOTONIC ns.
int64_t clock_origin_ns = -1;
// The played file is emptied once per process, by its first paced playback stream.
bool played_emptied = false;

// What a paced capture stream delivers: the markers, silence, a full-scale square wave, or the
// markers for the first second of every two and silence for the next.
// Unpaced, markers or the index signal.
enum class capture_signal { markers, silence, full_scale, gated, index };

struct card {
    snd_pcm_ioplug_t io{};
    snd_pcm_ioplug_callback_t callbacks{};
    bool paced = false;
    capture_signal signal = capture_signal::markers;
    std::vector<unsigned> accept_rates;  // empty: hw_params takes whatever the rules allow
    fault_kind fault = fault_kind::none;
    int64_t fault_at = 0;  // frames this stream has moved when the fault strikes
    bool fault_done = false;
    bool gone = false;
    bool refuse_next = false;  // the rest of a short transfer
    int64_t moved = 0;         // frames moved by transfers since the open
    FILE* played = nullptr;    // unpaced: appended to as written
    int played_fd = -1;        // paced: written at the clock frame each frame is played
    std::string log_path;
    snd_pcm_uframes_t last_position = 0;  // what the pointer last gave
    int poll_fd = -1;
    // The clock, when paced: how much faster than its rate it runs, in parts per billion.
    int64_t ppb = 0;
    bool clock_running = false;
    int64_t start_frame = 0;               // the clock frame that plays (captures) position...
    snd_pcm_uframes_t start_position = 0;  // ...this one, since the last start or resume
    snd_pcm_uframes_t done = 0;            // positions played (captured) so far, to the frame
    std::vector<uint8_t> ring;             // the card's buffer, interleaved, one slot a position
};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

constexpr __int128 ns_squared = __int128{1000000000} * 1000000000;

// The stream's clock frame at CLOCK_MONOTONIC time `ns`: floor((ns - origin) * rate * (1 +
// ppm / 1e6) / 1e9), in integers so that both streams agree to the frame.
int64_t clock_frame(const card& c, int64_t ns) {
    const __int128 scaled =
        static_cast<__int128>(ns - clock_origin_ns) * c.io.rate * (1000000000 + c.ppb);
    return static_cast<int64_t>(scaled / ns_squared);
}

// The first CLOCK_MONOTONIC time at which the clock shows `frame`.
int64_t time_of_frame(const card& c, int64_t frame) {
    const __int128 per_second = static_cast<__int128>(c.io.rate) * (1000000000 + c.ppb);
    return clock_origin_ns +
           static_cast<int64_t>((static_cast<__int128>(frame) * ns_squared + per_second - 1) /
                                per_second);
}

int64_t round_up(int64_t frames, int64_t step) {
    return (frames + step - 1) / step * step;
}

void log_line(const card& c, const std::string& line) {
    if (c.log_path.empty()) {
        return;
    }
    if (FILE* f = std::fopen(c.log_path.c_str(), "a")) {
        std::fprintf(f, "%s %s\n", c.io.stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture",
                     line.c_str());
        std::fclose(f);
    }
}

card& of(snd_pcm_ioplug_t* io) {
    return *static_cast<card*>(io->private_data);
}

size_t frame_bytes(const card& c) {
    return c.io.channels * static_cast<size_t>(snd_pcm_format_physical_width(c.io.format) / 8);
}

int64_t frame_of_position(const card& c, snd_pcm_uframes_t position) {
    return c.start_frame +
           (static_cast<int64_t>(position) - static_cast<int64_t>(c.start_position));
}

// Where the running stream is at clock frame `frame`, to the frame.
snd_pcm_uframes_t exact_position(const card& c, int64_t frame) {
    return c.start_position +
           static_cast<snd_pcm_uframes_t>(std::max<int64_t>(frame - c.start_frame, 0));
}

// Where the application sees it: as of the last period end of the clock's grid.
snd_pcm_uframes_t period_position(const card& c, int64_t frame) {
    const auto period = static_cast<int64_t>(c.io.period_size);
    return exact_position(c, frame / period * period);
}

bool draining(const card& c) {
    return c.io.stream == SND_PCM_STREAM_PLAYBACK && c.io.state == SND_PCM_STATE_DRAINING;
}

// Where the running stream stops by itself: playback once it has played all it was given,
// capture once its buffer is full. A card notices either at the end of a period of its grid;
// a draining stream stops at its last frame.
snd_pcm_uframes_t stop_position(const card& c) {
    const snd_pcm_uframes_t appl = c.io.appl_ptr;
    if (draining(c)) {
        return appl;
    }
    const snd_pcm_uframes_t edge =
        c.io.stream == SND_PCM_STREAM_PLAYBACK ? appl : appl + c.io.buffer_size;
    return exact_position(
        c, round_up(frame_of_position(c, edge), static_cast<int64_t>(c.io.period_size)));
}

void put_sample(uint8_t* at, uint32_t value, size_t width) {
    for (size_t b = 0; b < width; ++b) {
        at[b] = static_cast<uint8_t>(b < 4 ? value >> (8 * b) : 0);
    }
}

// The card plays (or captures) the running stream's positions up to `position`. Played
// frames go to the played file at their clock frame, unless the application had not written
// them yet; captured frames land in the card's buffer.
void advance(card& c, snd_pcm_uframes_t position) {
    if (position <= c.done || c.ring.empty()) {
        c.done = std::max(c.done, position);
        return;
    }
    const size_t bytes = frame_bytes(c);
    const snd_pcm_uframes_t buffer = c.io.buffer_size;
    if (c.io.stream == SND_PCM_STREAM_PLAYBACK) {
        const snd_pcm_uframes_t appl = c.io.appl_ptr;
        const snd_pcm_uframes_t end = std::min(position, appl);
        for (snd_pcm_uframes_t p = c.done; p < end;) {
            const snd_pcm_uframes_t slot = p % buffer;
            const snd_pcm_uframes_t n = std::min(end - p, buffer - slot);
            if (c.played_fd >= 0 && pwrite(c.played_fd, c.ring.data() + slot * bytes, n * bytes,
                                           static_cast<off_t>(frame_of_position(c, p)) *
                                               static_cast<off_t>(bytes)) < 0) {
                SNDERR("fake card: cannot write the played file: %s", strerror(errno));
            }
            p += n;
        }
    } else if (c.io.format == SND_PCM_FORMAT_S24_3LE) {
        const size_t width = bytes / c.io.channels;
        const snd_pcm_uframes_t from = std::max(c.done, position > buffer ? position - buffer : 0);
        for (snd_pcm_uframes_t p = from; p < position; ++p) {
            const int64_t clock_frame = frame_of_position(c, p);
            const auto frame = static_cast<uint32_t>(clock_frame & 0xfffff);
            uint8_t* slot = c.ring.data() + (p % buffer) * bytes;
            for (unsigned ch = 0; ch < c.io.channels; ++ch) {
                uint32_t v = ((ch + 1) << 20) | frame;
                if (c.signal == capture_signal::silence ||
                    (c.signal == capture_signal::gated && clock_frame / c.io.rate % 2 == 1)) {
                    v = 0;
                } else if (c.signal == capture_signal::full_scale) {
                    v = clock_frame % 2 == 0 ? 0x7fffff : 0x800000;
                }
                put_sample(slot + ch * width, v, width);
            }
        }
    }
    c.done = position;
}

// Brings the running stream up to its clock. Gives the position the application sees, or
// -EPIPE when the stream ran dry (playback) or full (capture) since it last looked.
snd_pcm_sframes_t follow_clock(card& c) {
    if (!c.clock_running) {
        return static_cast<snd_pcm_sframes_t>(c.last_position);
    }
    const int64_t frame = clock_frame(c, now_ns());
    const snd_pcm_uframes_t stop = stop_position(c);
    const snd_pcm_uframes_t seen = period_position(c, frame);
    if (seen >= stop && !draining(c)) {
        advance(c, stop);
        c.last_position = stop;
        c.clock_running = false;
        log_line(c, "xrun at clock frame " + std::to_string(frame_of_position(c, stop)));
        snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_XRUN);
        return -EPIPE;
    }
    advance(c, std::min(exact_position(c, frame), stop));
    c.last_position = std::min(seen, stop);
    return static_cast<snd_pcm_sframes_t>(c.last_position);
}

// Stops the running clock now, or where the stream ran dry or full before that.
void halt_clock(card& c) {
    if (follow_clock(c) < 0 || !c.clock_running) {
        return;
    }
    const snd_pcm_uframes_t position =
        std::min(exact_position(c, clock_frame(c, now_ns())), stop_position(c));
    advance(c, position);
    c.last_position = position;
    c.clock_running = false;
}

// Starts the clock now, from the position where it stopped. The first period ends where the
// grid's does, so it may be short.
void start_clock(card& c, const char* what) {
    c.start_frame = clock_frame(c, now_ns());
    c.start_position = c.last_position;
    c.done = c.last_position;
    c.clock_running = true;
    log_line(c, std::string(what) + " at clock frame " + std::to_string(c.start_frame));
}

// The poll descriptor turns ready as each period of the stream's grid ends, never before.
void arm_period_timer(const card& c) {
    const auto period = static_cast<int64_t>(c.io.period_size);
    const int64_t next = (clock_frame(c, now_ns()) / period + 1) * period;
    const int64_t first_ns = time_of_frame(c, next);
    const int64_t period_ns = time_of_frame(c, next + period) - first_ns + 1;
    itimerspec timer{};
    timer.it_value.tv_sec = first_ns / 1000000000;
    timer.it_value.tv_nsec = first_ns % 1000000000;
    timer.it_interval.tv_sec = period_ns / 1000000000;
    timer.it_interval.tv_nsec = period_ns % 1000000000;
    timerfd_settime(c.poll_fd, TFD_TIMER_ABSTIME, &timer, nullptr);
}

// The hardware position, counted from the prepare (the plugin says positions run up to the
// boundary, not the buffer size).
snd_pcm_sframes_t fake_pointer(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    const snd_pcm_uframes_t appl = io->appl_ptr;
    if (c.gone || io->state == SND_PCM_STATE_SUSPENDED) {
        return static_cast<snd_pcm_sframes_t>(c.last_position);
    }
    snd_pcm_uframes_t position;
    if (!c.paced) {
        // Plays what it is given at once; always has a buffer of audio waiting.
        const bool started = io->state == SND_PCM_STATE_RUNNING;
        position = io->stream == SND_PCM_STREAM_PLAYBACK ? (started ? appl : c.last_position)
                                                         : appl + io->buffer_size;
    } else {
        return follow_clock(c);
    }
    c.last_position = position;
    return static_cast<snd_pcm_sframes_t>(position);
}

// Unpaced, nothing is ever on its way (as with the null device). Paced, to the frame rather
// than the period: what is written but not yet played, or captured but not yet read.
int fake_delay(snd_pcm_ioplug_t* io, snd_pcm_sframes_t* frames) {
    card& c = of(io);
    if (!c.paced) {
        *frames = 0;
        return 0;
    }
    const snd_pcm_sframes_t position = fake_pointer(io);
    if (position < 0) {
        return static_cast<int>(position);
    }
    const auto appl = static_cast<snd_pcm_sframes_t>(io->appl_ptr);
    const auto done = static_cast<snd_pcm_sframes_t>(c.done);
    *frames = io->stream == SND_PCM_STREAM_PLAYBACK ? appl - done : done - appl;
    return 0;
}

int fake_start(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    if (c.paced) {
        start_clock(c, "start");
    }
    return 0;
}

int fake_stop(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    if (c.paced && io->state != SND_PCM_STATE_SETUP) {  // a drop after a drain stops nothing
        halt_clock(c);
        log_line(c, "stop at clock frame " + std::to_string(clock_frame(c, now_ns())));
    }
    return 0;
}

int fake_prepare(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    if (c.gone) {
        return -ENODEV;
    }
    if (c.paced) {
        halt_clock(c);
        log_line(c, "prepare at clock frame " + std::to_string(clock_frame(c, now_ns())));
        c.done = 0;
    }
    c.last_position = 0;
    c.refuse_next = false;
    return 0;
}

int fake_resume(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    log_line(c, "resume");
    if (!c.gone) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
        if (c.paced) {
            start_clock(c, "resume");
        }
    }
    return 0;
}

uint8_t* sample_address(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame) {
    return static_cast<uint8_t*>(area.addr) + (area.first + frame * area.step) / 8;
}

// Gives the frames to move, or an error that the stream is now in, when a fault strikes.
snd_pcm_sframes_t inject(card& c, snd_pcm_uframes_t size) {
    if (c.gone) {
        return -ENODEV;
    }
    if (c.refuse_next) {
        c.refuse_next = false;
        return -EAGAIN;  // the transfer ends with what it moved so far
    }
    if (c.fault == fault_kind::none || c.fault_done || c.moved < c.fault_at) {
        return static_cast<snd_pcm_sframes_t>(size);
    }
    c.fault_done = true;
    if (!c.paced) {
        log_line(c, "fault at frame " + std::to_string(c.moved));
    } else {
        log_line(c, "fault at frame " + std::to_string(c.moved) + ", clock frame " +
                        std::to_string(clock_frame(c, now_ns())));
        if (c.fault != fault_kind::short_transfer) {
            halt_clock(c);  // the card stops where its clock is
        }
    }
    switch (c.fault) {
        case fault_kind::xrun:
            snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_XRUN);
            return -EPIPE;
        case fault_kind::suspend:
            snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_SUSPENDED);
            return -ESTRPIPE;
        case fault_kind::gone:
            c.gone = true;
            snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_DISCONNECTED);
            return -ENODEV;
        case fault_kind::short_transfer:
            c.refuse_next = size > 1;
            return static_cast<snd_pcm_sframes_t>(size > 1 ? size / 2 : size);
        case fault_kind::none:
            break;
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

// Paced, frames go through the card's buffer: written ones wait there for the clock to play
// them, read ones were put there by the clock.
snd_pcm_sframes_t paced_transfer(card& c, const snd_pcm_channel_area_t* areas,
                                 snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    const snd_pcm_sframes_t position = follow_clock(c);
    if (position < 0) {
        return position;
    }
    const snd_pcm_sframes_t frames = inject(c, size);
    if (frames <= 0 || c.ring.empty()) {
        return frames;
    }
    const size_t bytes = frame_bytes(c);
    const size_t width = bytes / c.io.channels;
    const snd_pcm_uframes_t first = c.io.appl_ptr;
    for (snd_pcm_sframes_t f = 0; f < frames; ++f) {
        uint8_t* slot = c.ring.data() +
                        ((first + static_cast<snd_pcm_uframes_t>(f)) % c.io.buffer_size) * bytes;
        for (unsigned ch = 0; ch < c.io.channels; ++ch) {
            uint8_t* at = sample_address(areas[ch], offset + static_cast<snd_pcm_uframes_t>(f));
            if (c.io.stream == SND_PCM_STREAM_PLAYBACK) {
                std::memcpy(slot + ch * width, at, width);
            } else {
                std::memcpy(at, slot + ch * width, width);
            }
        }
    }
    c.moved += frames;
    return frames;
}

snd_pcm_sframes_t fake_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    card& c = of(io);
    if (c.paced) {
        return paced_transfer(c, areas, offset, size);
    }
    const snd_pcm_sframes_t frames = inject(c, size);
    if (frames <= 0) {
        return frames;
    }
    const auto width = static_cast<size_t>(snd_pcm_format_physical_width(io->format) / 8);
    const bool markers = io->format == SND_PCM_FORMAT_S24_3LE;
    std::vector<uint8_t> interleaved;
    for (snd_pcm_sframes_t f = 0; f < frames; ++f) {
        const int64_t frame = c.moved + f;
        for (unsigned ch = 0; ch < io->channels; ++ch) {
            uint8_t* at = sample_address(areas[ch], offset + static_cast<snd_pcm_uframes_t>(f));
            if (io->stream == SND_PCM_STREAM_PLAYBACK) {
                interleaved.insert(interleaved.end(), at, at + width);
            } else if (markers) {
                const uint32_t v =
                    c.signal == capture_signal::index
                        ? index_sample(static_cast<int>(ch), frame)
                        : ((ch + 1) << 20) | static_cast<uint32_t>((frame + 1) & 0xfffff);
                at[0] = static_cast<uint8_t>(v);
                at[1] = static_cast<uint8_t>(v >> 8);
                at[2] = static_cast<uint8_t>(v >> 16);
            } else {
                std::memset(at, 0, width);
            }
        }
    }
    if (c.played != nullptr && !interleaved.empty()) {
        std::fwrite(interleaved.data(), 1, interleaved.size(), c.played);
        std::fflush(c.played);
    }
    c.moved += frames;
    return frames;
}

int fake_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
    card& c = of(io);
    std::ostringstream line;
    line << "hw_params period " << io->period_size << " buffer " << io->buffer_size << " rate "
         << io->rate << " channels " << io->channels;
    log_line(c, line.str());
    bool accepted = c.accept_rates.empty();
    for (unsigned rate : c.accept_rates) {
        accepted = accepted || rate == io->rate;
    }
    if (c.paced && accepted) {
        c.ring.assign(io->buffer_size * frame_bytes(c), 0);
        if (c.poll_fd >= 0) {
            arm_period_timer(c);
        }
    }
    return accepted ? 0 : -EINVAL;
}

int fake_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                      unsigned short* revents) {
    card& c = of(io);
    *revents = 0;
    if (nfds < 1) {
        return 0;
    }
    if (c.gone || io->state == SND_PCM_STATE_SUSPENDED || io->state == SND_PCM_STATE_XRUN) {
        *revents = POLLERR;
        return 0;
    }
    if (c.paced) {
        uint64_t expirations = 0;
        if (read(c.poll_fd, &expirations, sizeof expirations) < 0) {
            expirations = 0;
        }
    }
    if (pfd[0].revents & POLLIN) {
        *revents = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    }
    return 0;
}

int fake_close(snd_pcm_ioplug_t* io) {
    card* c = &of(io);
    if (c->paced) {
        halt_clock(*c);  // what the clock played up to now reaches the file
    }
    if (c->played != nullptr) {
        std::fclose(c->played);
    }
    if (c->played_fd >= 0) {
        close(c->played_fd);
    }
    if (c->poll_fd >= 0) {
        close(c->poll_fd);
    }
    delete c;
    return 0;
}

// The configuration of one stream: its own block, then the card's.
struct settings_reader {
    snd_config_t* card_block;
    snd_config_t* stream_block;

    snd_config_t* find(const char* key) const {
        snd_config_t* node = nullptr;
        if (stream_block != nullptr && snd_config_search(stream_block, key, &node) == 0) {
            return node;
        }
        return snd_config_search(card_block, key, &node) == 0 ? node : nullptr;
    }
    std::string text(const char* key, const std::string& otherwise = {}) const {
        const char* value = nullptr;
        snd_config_t* node = find(key);
        return node != nullptr && snd_config_get_string(node, &value) == 0 ? value : otherwise;
    }
    long number(const char* key, long otherwise) const {
        long value = 0;
        snd_config_t* node = find(key);
        return node != nullptr && snd_config_get_integer(node, &value) == 0 ? value : otherwise;
    }
    double real(const char* key, double otherwise) const {
        double value = 0;
        snd_config_t* node = find(key);
        if (node != nullptr && snd_config_get_ireal(node, &value) == 0) {
            return value;
        }
        const std::string word = text(key);
        char* end = nullptr;
        value = std::strtod(word.c_str(), &end);
        return !word.empty() && *end == '\0' ? value : otherwise;
    }
    bool flag(const char* key, bool otherwise) const {
        snd_config_t* node = find(key);
        const int value = node != nullptr ? snd_config_get_bool(node) : -1;
        return value < 0 ? otherwise : value != 0;
    }
    std::vector<std::string> words(const char* key, const std::string& otherwise) const {
        std::istringstream in(text(key, otherwise));
        std::vector<std::string> result;
        for (std::string word; in >> word;) {
            result.push_back(word);
        }
        return result;
    }
    std::vector<unsigned> numbers(const char* key) const {
        std::vector<unsigned> result;
        for (const std::string& word : words(key, "")) {
            result.push_back(static_cast<unsigned>(std::stoul(word)));
        }
        return result;
    }
};

int set_list(snd_pcm_ioplug_t* io, int type, const std::vector<unsigned>& values) {
    return values.empty() ? -EINVAL
                          : snd_pcm_ioplug_set_param_list(
                                io, type, static_cast<unsigned>(values.size()), values.data());
}

// What the card offers, as hw_params rules.
int offer(card& c, const settings_reader& r) {
    snd_pcm_ioplug_t* io = &c.io;
    std::vector<unsigned> formats;
    for (const std::string& name : r.words("formats", "S24_3LE S16_LE")) {
        const snd_pcm_format_t format = snd_pcm_format_value(name.c_str());
        if (format == SND_PCM_FORMAT_UNKNOWN) {
            SNDERR("fake card: unknown format %s", name.c_str());
            return -EINVAL;
        }
        formats.push_back(static_cast<unsigned>(format));
    }
    std::vector<unsigned> access;
    for (const std::string& name : r.words("access", "RW_NONINTERLEAVED RW_INTERLEAVED")) {
        access.push_back(name == "RW_INTERLEAVED" ? SND_PCM_ACCESS_RW_INTERLEAVED
                                                  : SND_PCM_ACCESS_RW_NONINTERLEAVED);
    }
    const long channels = r.number("channels", 0);
    const std::vector<unsigned> rates = r.numbers("rates");
    const long period = r.number("period_frames", 0);
    int err = set_list(io, SND_PCM_IOPLUG_HW_FORMAT, formats);
    err = err < 0 ? err : set_list(io, SND_PCM_IOPLUG_HW_ACCESS, access);
    if (err >= 0) {
        err = channels > 0 ? snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                                             channels, channels)
                           : snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 64);
    }
    if (err >= 0) {
        err = rates.empty()
                  ? snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000)
                  : set_list(io, SND_PCM_IOPLUG_HW_RATE, rates);
    }
    if (err >= 0 && period > 0) {
        // A fixed period in frames needs a fixed frame size: the first format, the channels.
        const long bytes =
            period * (channels > 0 ? channels : 2) *
            snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(formats[0])) / 8;
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                              static_cast<unsigned>(bytes),
                                              static_cast<unsigned>(bytes));
    } else if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 22);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    }
    return err;
}

fault_kind fault_named(const std::string& name) {
    if (name == "xrun") {
        return fault_kind::xrun;
    }
    if (name == "suspend") {
        return fault_kind::suspend;
    }
    if (name == "gone") {
        return fault_kind::gone;
    }
    return name == "short" ? fault_kind::short_transfer : fault_kind::none;
}

}  // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(fakecard) {
    (void)root;
    const settings_reader r{conf, nullptr};
    snd_config_t* own = r.find(stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture");
    const settings_reader reader{conf, own};
    if (reader.flag("refuse_open", false)) {
        return -EBUSY;
    }
    const double ppm = reader.real("ppm", 0);
    if (ppm <= -1e6 || ppm >= 1e6) {
        SNDERR("fake card: ppm %g is out of range", ppm);
        return -EINVAL;
    }
    auto* c = new card;
    c->paced = reader.text("pace", "none") == "clock";
    const std::string signal = reader.text("signal", "markers");
    c->signal = signal == "silence"      ? capture_signal::silence
                : signal == "full_scale" ? capture_signal::full_scale
                : signal == "gated"      ? capture_signal::gated
                : signal == "index"      ? capture_signal::index
                                         : capture_signal::markers;
    c->ppb = std::llround(ppm * 1000);
    c->accept_rates = reader.numbers("accept_rates");
    c->fault = fault_named(reader.text("fault", "none"));
    c->fault_at = reader.number("fault_at", 0);
    c->log_path = reader.text("log");
    const bool sets_origin = c->paced && clock_origin_ns < 0;
    if (sets_origin) {
        clock_origin_ns = now_ns();
    }
    const std::string played = reader.text("played");
    if (stream == SND_PCM_STREAM_PLAYBACK && !played.empty() && !c->paced) {
        c->played = std::fopen(played.c_str(), "ab");
    } else if (stream == SND_PCM_STREAM_PLAYBACK && !played.empty()) {
        const int emptied = played_emptied ? 0 : O_TRUNC;
        c->played_fd = open(played.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | emptied, 0644);
        played_emptied = played_emptied || c->played_fd >= 0;
    }
    c->poll_fd = c->paced ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                          : eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);  // always ready

    c->callbacks.start = fake_start;
    c->callbacks.stop = fake_stop;
    c->callbacks.pointer = fake_pointer;
    c->callbacks.transfer = fake_transfer;
    c->callbacks.close = fake_close;
    c->callbacks.hw_params = fake_hw_params;
    c->callbacks.prepare = fake_prepare;
    c->callbacks.poll_revents = fake_poll_revents;
    c->callbacks.delay = fake_delay;
    if (reader.flag("resume", true)) {
        c->callbacks.resume = fake_resume;
    }
    c->io.version = SND_PCM_IOPLUG_VERSION;
    c->io.name = "livedelay fault-injecting card";
    c->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC | SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    c->io.poll_fd = c->poll_fd;
    c->io.poll_events = POLLIN;  // a timer or event fd is ready to read; revents turns it round
    c->io.mmap_rw = 0;
    c->io.callback = &c->callbacks;
    c->io.private_data = c;

    int err = snd_pcm_ioplug_create(&c->io, name, stream, mode);
    if (err < 0) {
        fake_close(&c->io);
        return err;
    }
    if (sets_origin) {
        log_line(*c, "clock origin " + std::to_string(clock_origin_ns) + " ns");
    }
    err = offer(*c, reader);
    if (err < 0) {
        snd_pcm_ioplug_delete(&c->io);
        return err;
    }
    *pcmp = c->io.pcm;
    return 0;
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(fakecard)
}
