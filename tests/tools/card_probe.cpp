// card_probe: drives the fake card of tests/fake_card as a plain ALSA program would, so its
// tests can see its clocks from outside.
//
// usage: card_probe play DEVICE PERIOD BUFFER FRAMES GAP_AT GAP_MS drain|drop
//        card_probe capture DEVICE PERIOD BUFFER FRAMES GAP_AT GAP_MS OUT
//        card_probe rates DEVICE PERIOD BUFFER SECONDS
//
// Streams are interleaved S24_3LE, 2 channels, 44100 Hz, started by snd_pcm_start only.
//
// play: writes FRAMES frames, frame k carrying ((c+1) << 20) | (k & 0xfffff) on channel c:
// a full buffer, the start, then a period at a time. After GAP_AT frames (0: never) it
// writes nothing for GAP_MS ms. An underrun is prepared, the buffer filled again and the
// stream started again; at the end the stream is drained, or dropped with a buffer still to
// play.
// capture: reads FRAMES frames into OUT, a period at a time, stopping for GAP_MS ms after
// GAP_AT of them; an overrun is prepared and started again.
// Both print "start BEFORE AFTER" (CLOCK_MONOTONIC ns around each snd_pcm_start) and "xrun"
// for each xrun seen.
//
// rates: runs capture and playback together, reading all that is captured and keeping
// playback filled with silence, and looks at both 0.3 s in and SECONDS later:
//   sample NS CAPTURE_GRID CAPTURE_EXACT PLAYBACK_GRID PLAYBACK_EXACT
// the frames captured (read + avail, read + delay) and played (written - queued by avail,
// written - delay) since the start.
//
// Exit status: 0, 1 when ALSA fails, 2 on bad usage.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned channels = 2;
constexpr unsigned rate = 44100;
constexpr size_t frame_bytes = 3 * channels;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int fail(const char* what, int err) {
    std::fprintf(stderr, "card_probe: %s: %s\n", what, snd_strerror(err));
    return 1;
}

int open_stream(snd_pcm_t** pcm, const char* device, snd_pcm_stream_t direction,
                snd_pcm_uframes_t period, snd_pcm_uframes_t buffer) {
    int err = snd_pcm_open(pcm, device, direction, 0);
    if (err < 0) {
        return err;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(*pcm, hw);
    if ((err = snd_pcm_hw_params_set_access(*pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(*pcm, hw, SND_PCM_FORMAT_S24_3LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(*pcm, hw, channels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(*pcm, hw, rate, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size(*pcm, hw, period, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size(*pcm, hw, buffer)) < 0 ||
        (err = snd_pcm_hw_params(*pcm, hw)) < 0) {
        return err;
    }
    // Nothing starts by itself: the start is timed.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(*pcm, sw);
    snd_pcm_uframes_t boundary = 0;
    snd_pcm_sw_params_get_boundary(sw, &boundary);
    snd_pcm_sw_params_set_start_threshold(*pcm, sw, boundary);
    return snd_pcm_sw_params(*pcm, sw);
}

int timed_start(snd_pcm_t* pcm) {
    const int64_t before = now_ns();
    const int err = snd_pcm_start(pcm);
    std::printf("start %lld %lld\n", static_cast<long long>(before),
                static_cast<long long>(now_ns()));
    return err;
}

void put_markers(std::vector<uint8_t>& bytes, int64_t first, snd_pcm_uframes_t frames) {
    bytes.resize(frames * frame_bytes);
    for (snd_pcm_uframes_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            const uint32_t v = ((c + 1) << 20) | ((first + static_cast<int64_t>(f)) & 0xfffff);
            uint8_t* at = &bytes[(f * channels + c) * 3];
            at[0] = static_cast<uint8_t>(v);
            at[1] = static_cast<uint8_t>(v >> 8);
            at[2] = static_cast<uint8_t>(v >> 16);
        }
    }
}

struct run_options {
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
    int64_t frames = 0;
    int64_t gap_at = 0;
    int gap_ms = 0;
};

// Writes from frame `written` on until the buffer is full, and starts the stream.
int fill_and_start(snd_pcm_t* pcm, const run_options& o, int64_t& written) {
    std::vector<uint8_t> bytes;
    const int64_t frames = std::min<int64_t>(static_cast<int64_t>(o.buffer), o.frames - written);
    put_markers(bytes, written, static_cast<snd_pcm_uframes_t>(frames));
    const snd_pcm_sframes_t put =
        snd_pcm_writei(pcm, bytes.data(), static_cast<snd_pcm_uframes_t>(frames));
    if (put < 0) {
        return static_cast<int>(put);
    }
    written += put;
    return timed_start(pcm);
}

int play(snd_pcm_t* pcm, const run_options& o, bool drain) {
    int64_t written = 0;
    int err = fill_and_start(pcm, o, written);
    std::vector<uint8_t> bytes;
    bool gap_done = o.gap_at <= 0;
    while (err >= 0 && written < o.frames) {
        if (!gap_done && written >= o.gap_at) {
            gap_done = true;
            poll(nullptr, 0, o.gap_ms);
        }
        const int64_t frames =
            std::min<int64_t>(static_cast<int64_t>(o.period), o.frames - written);
        put_markers(bytes, written, static_cast<snd_pcm_uframes_t>(frames));
        const snd_pcm_sframes_t put =
            snd_pcm_writei(pcm, bytes.data(), static_cast<snd_pcm_uframes_t>(frames));
        if (put == -EPIPE) {
            std::printf("xrun\n");
            err = snd_pcm_prepare(pcm);
            err = err < 0 ? err : fill_and_start(pcm, o, written);
            continue;
        }
        err = put < 0 ? static_cast<int>(put) : 0;
        written += put > 0 ? put : 0;
    }
    if (err < 0) {
        return fail("playback", err);
    }
    err = drain ? snd_pcm_drain(pcm) : snd_pcm_drop(pcm);
    return err < 0 ? fail(drain ? "drain" : "drop", err) : 0;
}

int capture(snd_pcm_t* pcm, const run_options& o, const char* out_path) {
    FILE* out = std::fopen(out_path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "card_probe: cannot write %s\n", out_path);
        return 1;
    }
    int err = timed_start(pcm);
    std::vector<uint8_t> bytes(o.period * frame_bytes);
    int64_t read = 0;
    bool gap_done = o.gap_at <= 0;
    while (err >= 0 && read < o.frames) {
        if (!gap_done && read >= o.gap_at) {
            gap_done = true;
            poll(nullptr, 0, o.gap_ms);
        }
        const int64_t frames = std::min<int64_t>(static_cast<int64_t>(o.period), o.frames - read);
        const snd_pcm_sframes_t got =
            snd_pcm_readi(pcm, bytes.data(), static_cast<snd_pcm_uframes_t>(frames));
        if (got == -EPIPE) {
            std::printf("xrun\n");
            err = snd_pcm_prepare(pcm);
            err = err < 0 ? err : timed_start(pcm);
            continue;
        }
        err = got < 0 ? static_cast<int>(got) : 0;
        if (got > 0) {
            std::fwrite(bytes.data(), frame_bytes, static_cast<size_t>(got), out);
            read += got;
        }
    }
    std::fclose(out);
    return err < 0 ? fail("capture", err) : 0;
}

struct both_streams {
    snd_pcm_t* capture = nullptr;
    snd_pcm_t* playback = nullptr;
    snd_pcm_uframes_t buffer = 0;
    int64_t read = 0;
    int64_t written = 0;
    std::vector<uint8_t> bytes;
};

// Reads all that was captured, and fills playback up with silence.
int keep_going(both_streams& s) {
    const snd_pcm_sframes_t readable = snd_pcm_avail(s.capture);
    if (readable < 0) {
        return static_cast<int>(readable);
    }
    s.bytes.assign(std::max<size_t>(static_cast<size_t>(readable), s.buffer) * frame_bytes, 0);
    const snd_pcm_sframes_t got =
        snd_pcm_readi(s.capture, s.bytes.data(), static_cast<snd_pcm_uframes_t>(readable));
    if (got < 0) {
        return static_cast<int>(got);
    }
    s.read += got;
    const snd_pcm_sframes_t room = snd_pcm_avail(s.playback);
    if (room < 0) {
        return static_cast<int>(room);
    }
    std::fill(s.bytes.begin(), s.bytes.end(), 0);
    const snd_pcm_sframes_t put =
        snd_pcm_writei(s.playback, s.bytes.data(), static_cast<snd_pcm_uframes_t>(room));
    if (put < 0) {
        return static_cast<int>(put);
    }
    s.written += put;
    return 0;
}

struct look {
    int64_t ns = 0;
    snd_pcm_sframes_t capture_avail = 0, playback_avail = 0;
    snd_pcm_sframes_t capture_delay = 0, playback_delay = 0;
};

int take_look(both_streams& s, look& l) {
    l.ns = now_ns();
    l.capture_avail = snd_pcm_avail(s.capture);
    l.playback_avail = snd_pcm_avail(s.playback);
    if (l.capture_avail < 0 || l.playback_avail < 0) {
        return static_cast<int>(l.capture_avail < 0 ? l.capture_avail : l.playback_avail);
    }
    const int err = snd_pcm_delay(s.capture, &l.capture_delay);
    return err < 0 ? err : snd_pcm_delay(s.playback, &l.playback_delay);
}

// Looks at both streams at one moment: a look the scheduler cut into (more than 50 us from
// its first clock reading to its last) is taken again.
int sample(both_streams& s) {
    look l;
    for (int tries = 0; tries < 100; ++tries) {
        const int err = take_look(s, l);
        if (err < 0) {
            return err;
        }
        if (now_ns() - l.ns < 50000) {
            break;
        }
    }
    const int64_t queued = static_cast<int64_t>(s.buffer) - l.playback_avail;
    std::printf("sample %lld %lld %lld %lld %lld\n", static_cast<long long>(l.ns),
                static_cast<long long>(s.read + l.capture_avail),
                static_cast<long long>(s.read + l.capture_delay),
                static_cast<long long>(s.written - queued),
                static_cast<long long>(s.written - l.playback_delay));
    return 0;
}

int rates(const char* device, const run_options& o, double seconds) {
    both_streams s;
    s.buffer = o.buffer;
    int err = open_stream(&s.capture, device, SND_PCM_STREAM_CAPTURE, o.period, o.buffer);
    err = err < 0 ? err
                  : open_stream(&s.playback, device, SND_PCM_STREAM_PLAYBACK, o.period, o.buffer);
    if (err < 0) {
        return fail("open", err);
    }
    s.bytes.assign(o.buffer * frame_bytes, 0);
    const snd_pcm_sframes_t put = snd_pcm_writei(s.playback, s.bytes.data(), o.buffer);
    s.written = put > 0 ? put : 0;
    err = put < 0 ? static_cast<int>(put) : timed_start(s.capture);
    err = err < 0 ? err : timed_start(s.playback);
    const int64_t first = now_ns() + 300000000;
    const int64_t last = first + static_cast<int64_t>(seconds * 1e9);
    bool first_taken = false;
    while (err >= 0) {
        poll(nullptr, 0, 10);
        err = keep_going(s);
        if (err >= 0 && !first_taken && now_ns() >= first) {
            first_taken = true;
            err = sample(s);
        } else if (err >= 0 && now_ns() >= last) {
            err = sample(s);
            break;
        }
    }
    snd_pcm_close(s.playback);
    snd_pcm_close(s.capture);
    return err < 0 ? fail("rates", err) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string last = argc > 1 ? argv[argc - 1] : "";
    const bool run = (mode == "play" && argc == 9 && (last == "drain" || last == "drop")) ||
                     (mode == "capture" && argc == 9);
    if (!run && !(mode == "rates" && argc == 6)) {
        std::fprintf(stderr,
                     "usage: card_probe play DEVICE PERIOD BUFFER FRAMES GAP_AT GAP_MS drain|drop\n"
                     "       card_probe capture DEVICE PERIOD BUFFER FRAMES GAP_AT GAP_MS OUT\n"
                     "       card_probe rates DEVICE PERIOD BUFFER SECONDS\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    run_options o;
    o.period = std::strtoul(argv[3], nullptr, 10);
    o.buffer = std::strtoul(argv[4], nullptr, 10);
    if (mode == "rates") {
        return rates(argv[2], o, std::strtod(argv[5], nullptr));
    }
    o.frames = std::strtoll(argv[5], nullptr, 10);
    o.gap_at = std::strtoll(argv[6], nullptr, 10);
    o.gap_ms = std::atoi(argv[7]);
    snd_pcm_t* pcm = nullptr;
    const bool playback = mode == "play";
    const int err =
        open_stream(&pcm, argv[2], playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
                    o.period, o.buffer);
    if (err < 0) {
        return fail("open", err);
    }
    const int status = playback ? play(pcm, o, last == "drain") : capture(pcm, o, argv[8]);
    snd_pcm_close(pcm);
    return status;
}
