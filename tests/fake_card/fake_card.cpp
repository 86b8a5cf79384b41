// A sound card for the fault tests, as an ALSA I/O plugin: what it offers, whether it runs on
// a clock, and the fault it injects all come from its configuration block (see
// tests/alsa/fake_card.conf.in). Every key is looked up in the stream's own block ("playback
// { ... }" or "capture { ... }") first, then in the card's.
//
// Captured audio names its channel and frame: channel c, frame f is ((c+1) << 20) |
// ((f+1) & 0xfffff), f counting every frame the stream has delivered. Played audio goes to
// the `played` file as raw interleaved samples, exactly as written.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class fault_kind { none, xrun, suspend, gone, short_transfer };

struct card {
    snd_pcm_ioplug_t io{};
    snd_pcm_ioplug_callback_t callbacks{};
    bool paced = false;
    std::vector<unsigned> accept_rates;  // empty: hw_params takes whatever the rules allow
    fault_kind fault = fault_kind::none;
    int64_t fault_at = 0;  // frames this stream has moved when the fault strikes
    bool fault_done = false;
    bool gone = false;
    bool refuse_next = false;  // the rest of a short transfer
    int64_t moved = 0;         // frames moved by transfers since the open
    FILE* played = nullptr;
    std::string log_path;
    // The clock: periods complete on one grid for every stream, as on one card.
    int64_t start_period = 0;
    snd_pcm_uframes_t base_frames = 0;  // position when the clock last (re)started
    snd_pcm_uframes_t last_position = 0;
    int poll_fd = -1;
};

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int64_t period_index(const card& c, int64_t ns) {
    const __int128 frames = static_cast<__int128>(ns) * c.io.rate / 1000000000;
    return static_cast<int64_t>(frames / c.io.period_size);
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

snd_pcm_uframes_t clock_position(const card& c) {
    if (c.io.state != SND_PCM_STATE_RUNNING && c.io.state != SND_PCM_STATE_DRAINING) {
        return c.last_position;
    }
    const int64_t periods = period_index(c, now_ns()) - c.start_period;
    return c.base_frames + static_cast<snd_pcm_uframes_t>(periods) * c.io.period_size;
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
        position = clock_position(c);
        const bool underrun = io->stream == SND_PCM_STREAM_PLAYBACK && position > appl;
        const bool overrun =
            io->stream == SND_PCM_STREAM_CAPTURE && position > appl + io->buffer_size;
        if (underrun || overrun) {
            log_line(c, "xrun from the clock");
            return -EPIPE;
        }
    }
    c.last_position = position;
    return static_cast<snd_pcm_sframes_t>(position);
}

// Unpaced, nothing is ever on its way (as with the null device); paced, what the position
// says is queued or waiting.
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
    *frames = io->stream == SND_PCM_STREAM_PLAYBACK ? appl - position : position - appl;
    return 0;
}

int fake_start(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    c.start_period = period_index(c, now_ns());
    c.base_frames = c.last_position;
    return 0;
}

int fake_stop(snd_pcm_ioplug_t*) {
    return 0;
}

int fake_prepare(snd_pcm_ioplug_t* io) {
    card& c = of(io);
    if (c.gone) {
        return -ENODEV;
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
        fake_start(io);
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
    log_line(c, "fault at frame " + std::to_string(c.moved));
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

snd_pcm_sframes_t fake_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    card& c = of(io);
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
                const uint32_t v = ((ch + 1) << 20) | static_cast<uint32_t>((frame + 1) & 0xfffff);
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
    if (c.paced && c.poll_fd >= 0) {
        const int64_t period_ns = int64_t{1000000000} * io->period_size / io->rate;
        itimerspec timer{};
        timer.it_value.tv_nsec = 1000000;
        timer.it_interval.tv_sec = period_ns / 1000000000;
        timer.it_interval.tv_nsec = period_ns % 1000000000;
        timerfd_settime(c.poll_fd, 0, &timer, nullptr);
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
    if (c->played != nullptr) {
        std::fclose(c->played);
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
    auto* c = new card;
    c->paced = reader.text("pace", "none") == "clock";
    c->accept_rates = reader.numbers("accept_rates");
    c->fault = fault_named(reader.text("fault", "none"));
    c->fault_at = reader.number("fault_at", 0);
    c->log_path = reader.text("log");
    const std::string played = reader.text("played");
    if (stream == SND_PCM_STREAM_PLAYBACK && !played.empty()) {
        c->played = std::fopen(played.c_str(), "ab");
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
