// pcm_probe: what one ALSA device does with the streams livedelay opens on it.
//
// usage: pcm_probe [--rate R] [--channels N] [--seconds S] [--trace] DEVICE
//
// Opens DEVICE for playback and capture as livedelay does (non-interleaved S24_3LE, periods
// of 4096 frames, a buffer of 16384), starts capture alone and times its first frames, then
// keeps playback filled to 8192 frames with silence while reading everything captured, for
// S seconds (default 3), and watches how snd_pcm_avail and snd_pcm_delay move; then lets
// playback run dry and queues silence 256 frames at a time until it plays again.  Prints:
//
//   capture noninterleaved=yes|no s24_3le=yes|no period=N buffer=N rate=N
//   playback noninterleaved=yes|no s24_3le=yes|no period=N buffer=N rate=N
//   open_ms=T first_capture_ms=T  opening and configuring both streams; then from
//                                 snd_pcm_start to the first readable frame
//   capture step_frames=N delay_minus_avail_min=N delay_minus_avail_max=N
//   playback step_frames=N delay_min=N delay_max=N
//   refill prebuffer_frames=N ran_dry=xrun|quietly|no
//                                 frames queued when playback that ran dry moved again (0: it
//                                 did not in 1.5 s); xrun: it said so in its state or avail
//                                 and was prepared (PulseAudio's plugin: state XRUN, through
//                                 plug avail stays put, writes fail with EPIPE, and it plays
//                                 again from the first piece); quietly: its queue read 0 for
//                                 100 ms without a word
//   summary open_ms=T first_capture_ms=T capture_step=N playback_step=N xruns=N
//
// step_frames: the most common amount by which avail grows (capture) or room appears
// (playback) between two looks 2 ms apart, i.e. the granularity the device moves audio in.
// With --trace every change is printed ("t_ms=.. cap_avail=.. cap_delay=.. play_avail=..
// play_delay=..", and in the refill "refill queued=.. play_avail=.. play_delay=.. state=..").
// The access and format checks need no stream to run; when the device does not take the
// samples directly the streams are still opened interleaved S16 so the timing is measured.
// Exit status: 0, 1 when the device does not open or never delivers capture, 2 on bad usage.
#include <alsa/asoundlib.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct options {
    std::string device;
    unsigned rate = 48000;
    unsigned channels = 2;
    double seconds = 3.0;
    bool trace = false;
};

struct stream {
    snd_pcm_t* pcm = nullptr;
    bool noninterleaved = false;
    bool s24_3le = false;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
    unsigned rate = 0;
    int frame_bytes = 0;
};

constexpr snd_pcm_uframes_t period_frames = 4096;
constexpr snd_pcm_uframes_t buffer_frames = 16384;
constexpr snd_pcm_sframes_t playback_level_frames = 8192;

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

const char* yes_no(bool b) {
    return b ? "yes" : "no";
}

int open_stream(const options& o, snd_pcm_stream_t direction, stream& s) {
    int err = snd_pcm_open(&s.pcm, o.device.c_str(), direction, 0);
    if (err < 0) {
        std::fprintf(stderr, "pcm_probe: cannot open %s: %s\n", o.device.c_str(),
                     snd_strerror(err));
        return err;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(s.pcm, params);
    s.noninterleaved =
        snd_pcm_hw_params_test_access(s.pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0;
    s.s24_3le = snd_pcm_hw_params_test_format(s.pcm, params, SND_PCM_FORMAT_S24_3LE) == 0;
    const bool direct = s.noninterleaved && s.s24_3le;
    snd_pcm_hw_params_set_access(
        s.pcm, params, direct ? SND_PCM_ACCESS_RW_NONINTERLEAVED : SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(s.pcm, params,
                                 direct ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(s.pcm, params, o.channels);
    s.rate = o.rate;
    snd_pcm_hw_params_set_rate_near(s.pcm, params, &s.rate, nullptr);
    s.period = period_frames;
    snd_pcm_hw_params_set_period_size_near(s.pcm, params, &s.period, nullptr);
    s.buffer = buffer_frames;
    snd_pcm_hw_params_set_buffer_size_near(s.pcm, params, &s.buffer);
    err = snd_pcm_hw_params(s.pcm, params);
    if (err < 0) {
        std::fprintf(stderr, "pcm_probe: %s refuses the configuration: %s\n", o.device.c_str(),
                     snd_strerror(err));
        return err;
    }
    snd_pcm_hw_params_get_period_size(params, &s.period, nullptr);
    snd_pcm_hw_params_get_buffer_size(params, &s.buffer);
    s.frame_bytes = static_cast<int>(o.channels) * (direct ? 3 : 2);
    return snd_pcm_prepare(s.pcm);
}

void print_stream(const char* name, const stream& s) {
    std::printf("%s noninterleaved=%s s24_3le=%s period=%lu buffer=%lu rate=%u\n", name,
                yes_no(s.noninterleaved), yes_no(s.s24_3le), s.period, s.buffer, s.rate);
}

// One transfer of `frames` from or to a zeroed block, in whichever access the stream has.
snd_pcm_sframes_t transfer(const options& o, const stream& s, std::vector<char>& block,
                           snd_pcm_sframes_t frames, bool capture) {
    block.assign(static_cast<size_t>(frames * s.frame_bytes), 0);
    if (s.noninterleaved && s.s24_3le) {
        std::vector<void*> planes(o.channels);
        for (unsigned c = 0; c < o.channels; ++c) {
            planes[c] = block.data() + static_cast<size_t>(c) * static_cast<size_t>(frames) * 3;
        }
        return capture
                   ? snd_pcm_readn(s.pcm, planes.data(), static_cast<snd_pcm_uframes_t>(frames))
                   : snd_pcm_writen(s.pcm, planes.data(), static_cast<snd_pcm_uframes_t>(frames));
    }
    return capture ? snd_pcm_readi(s.pcm, block.data(), static_cast<snd_pcm_uframes_t>(frames))
                   : snd_pcm_writei(s.pcm, block.data(), static_cast<snd_pcm_uframes_t>(frames));
}

long most_common(const std::map<long, int>& counts) {
    long best = 0;
    int best_count = 0;
    for (const auto& [value, count] : counts) {
        if (count > best_count) {
            best = value;
            best_count = count;
        }
    }
    return best;
}

snd_pcm_sframes_t delay_of(snd_pcm_t* pcm) {
    snd_pcm_sframes_t d = 0;
    return snd_pcm_delay(pcm, &d) < 0 ? -1 : d;
}

void pause_2ms() {
    struct timespec pause = {0, 2000000};
    nanosleep(&pause, nullptr);
}

// Stops feeding playback until it has run dry (within 500 ms), prepares it if it says so,
// then queues silence 256 frames at a time, looking 5 times 2 ms apart after each piece for
// the queue to shrink or room to appear, for at most 1.5 s. Gives the frames queued when it
// moved (0 if it never did); `ran_dry` is how running dry showed.
long refill_prebuffer(const options& o, const stream& play, const stream& cap,
                      std::vector<char>& block, const char*& ran_dry) {
    constexpr snd_pcm_sframes_t piece_frames = 256;
    const auto buffer = static_cast<snd_pcm_sframes_t>(play.buffer);
    const auto read_capture = [&] {
        const snd_pcm_sframes_t ca = snd_pcm_avail(cap.pcm);
        if (ca > 0) {
            transfer(o, cap, block, ca, true);
        }
    };
    ran_dry = "no";
    double empty_since_ms = -1;
    for (const double t0 = now_ms(); now_ms() - t0 < 500; pause_2ms()) {
        read_capture();
        // Through plug, avail stays where it was when the stream stopped; the state tells.
        if (snd_pcm_state(play.pcm) == SND_PCM_STATE_XRUN || snd_pcm_avail(play.pcm) < 0) {
            ran_dry = "xrun";
            snd_pcm_prepare(play.pcm);
            break;
        }
        // The queue reads empty a little before the server says it ran dry.
        if (delay_of(play.pcm) != 0) {
            empty_since_ms = -1;
        } else if (empty_since_ms < 0) {
            empty_since_ms = now_ms();
        } else if (now_ms() - empty_since_ms > 100) {
            ran_dry = "quietly";
            break;
        }
    }
    snd_pcm_sframes_t queued = 0;
    for (const double t0 = now_ms(); queued + piece_frames <= buffer && now_ms() - t0 < 1500;) {
        if (transfer(o, play, block, piece_frames, false) != piece_frames) {
            return 0;
        }
        queued += piece_frames;
        if (snd_pcm_state(play.pcm) == SND_PCM_STATE_PREPARED) {
            snd_pcm_start(play.pcm);
        }
        for (int look = 0; look < 5; ++look) {
            pause_2ms();
            read_capture();
            const snd_pcm_sframes_t pa = snd_pcm_avail(play.pcm);
            const snd_pcm_sframes_t pd = delay_of(play.pcm);
            if (o.trace) {
                std::printf("refill queued=%ld play_avail=%ld play_delay=%ld state=%s\n", queued,
                            pa, pd, snd_pcm_state_name(snd_pcm_state(play.pcm)));
            }
            if ((pd >= 0 && pd < queued - piece_frames / 4) ||
                pa > buffer - queued + piece_frames / 4) {
                return queued;
            }
        }
    }
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: pcm_probe [--rate R] [--channels N] [--seconds S] [--trace] DEVICE\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--trace") {
            o.trace = true;
        } else if ((a == "--rate" || a == "--channels" || a == "--seconds") && i + 1 < argc) {
            const double v = std::strtod(argv[++i], nullptr);
            if (v <= 0) {
                return usage();
            }
            if (a == "--rate") {
                o.rate = static_cast<unsigned>(v);
            } else if (a == "--channels") {
                o.channels = static_cast<unsigned>(v);
            } else {
                o.seconds = v;
            }
        } else if (a[0] != '-' && o.device.empty()) {
            o.device = a;
        } else {
            return usage();
        }
    }
    if (o.device.empty()) {
        return usage();
    }
    const double opening = now_ms();
    stream play, cap;
    if (open_stream(o, SND_PCM_STREAM_PLAYBACK, play) < 0 ||
        open_stream(o, SND_PCM_STREAM_CAPTURE, cap) < 0) {
        return 1;
    }
    print_stream("capture", cap);
    print_stream("playback", play);
    std::fflush(stdout);

    std::vector<char> block;
    const double started = now_ms();
    const double open_ms = started - opening;
    snd_pcm_start(cap.pcm);
    snd_pcm_sframes_t avail = 0;
    while ((avail = snd_pcm_avail(cap.pcm)) == 0 && now_ms() - started < 10000) {
        snd_pcm_wait(cap.pcm, 2);
    }
    if (avail <= 0) {
        std::fprintf(stderr, "pcm_probe: capture delivered nothing in 10 s (%s)\n",
                     avail < 0 ? snd_strerror(static_cast<int>(avail)) : "no frames");
        return 1;
    }
    const double first_ms = now_ms() - started;
    std::printf("open_ms=%.1f first_capture_ms=%.1f\n", open_ms, first_ms);

    std::map<long, int> cap_steps, play_steps;
    long dma_min = 1L << 30, dma_max = -(1L << 30), pdelay_min = 1L << 30, pdelay_max = 0;
    int xruns = 0;
    snd_pcm_sframes_t last_cap = -1, last_play = -1, last_cd = -1, last_pd = -1;
    const double t0 = now_ms();
    while (now_ms() - t0 < o.seconds * 1000.0) {
        snd_pcm_sframes_t ca = snd_pcm_avail(cap.pcm);
        const snd_pcm_sframes_t cd = delay_of(cap.pcm);
        snd_pcm_sframes_t pa = snd_pcm_avail(play.pcm);
        const snd_pcm_sframes_t pd = delay_of(play.pcm);
        if (o.trace && (ca != last_cap || pa != last_play || cd != last_cd || pd != last_pd)) {
            std::printf("t_ms=%.1f cap_avail=%ld cap_delay=%ld play_avail=%ld play_delay=%ld\n",
                        now_ms() - t0, ca, cd, pa, pd);
        }
        if (ca < 0 || pa < 0) {
            ++xruns;
            snd_pcm_prepare(ca < 0 ? cap.pcm : play.pcm);
            if (ca < 0) {
                snd_pcm_start(cap.pcm);
            }
            last_cap = last_play = -1;
            continue;
        }
        if (last_cap >= 0 && ca > last_cap) {
            ++cap_steps[ca - last_cap];
        }
        if (last_play >= 0 && pa > last_play) {
            ++play_steps[pa - last_play];
        }
        if (cd >= 0) {
            dma_min = std::min<long>(dma_min, cd - ca);
            dma_max = std::max<long>(dma_max, cd - ca);
        }
        last_cd = cd;
        last_pd = pd;
        // Read all that is there, and top playback up to its level; both leave avail at a
        // known value for the next look.
        if (ca > 0 && transfer(o, cap, block, ca, true) < 0) {
            continue;
        }
        last_cap = snd_pcm_avail(cap.pcm);
        const snd_pcm_sframes_t queued = delay_of(play.pcm);
        if (queued >= 0 && queued < playback_level_frames) {
            const snd_pcm_sframes_t put =
                transfer(o, play, block, playback_level_frames - queued, false);
            if (put < 0) {
                continue;
            }
            if (snd_pcm_state(play.pcm) == SND_PCM_STATE_PREPARED) {
                snd_pcm_start(play.pcm);
            }
        }
        if (snd_pcm_state(play.pcm) == SND_PCM_STATE_RUNNING && pd >= 0) {
            pdelay_min = std::min<long>(pdelay_min, pd);
            pdelay_max = std::max<long>(pdelay_max, pd);
        }
        last_play = snd_pcm_avail(play.pcm);
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    std::printf("capture step_frames=%ld delay_minus_avail_min=%ld delay_minus_avail_max=%ld\n",
                most_common(cap_steps), dma_min, dma_max);
    std::printf("playback step_frames=%ld delay_min=%ld delay_max=%ld\n", most_common(play_steps),
                pdelay_min, pdelay_max);
    const char* ran_dry = "no";
    const long prebuffer = refill_prebuffer(o, play, cap, block, ran_dry);
    std::printf("refill prebuffer_frames=%ld ran_dry=%s\n", prebuffer, ran_dry);
    std::printf(
        "summary open_ms=%.1f first_capture_ms=%.1f capture_step=%ld playback_step=%ld xruns=%d\n",
        open_ms, first_ms, most_common(cap_steps), most_common(play_steps), xruns);
    snd_pcm_drop(play.pcm);
    snd_pcm_drop(cap.pcm);
    snd_pcm_close(play.pcm);
    snd_pcm_close(cap.pcm);
    return 0;
}
