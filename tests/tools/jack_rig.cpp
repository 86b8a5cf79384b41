// jack_rig: the JACK side of the real-time tests.  A JACK client that plays a test signal and
// records, on the server's one clock, what it played next to what came back.
//
// usage: jack_rig [--server NAME] [--name NAME] [--lead S] SIGNAL.wav OUT.raw
//   --server NAME  JACK server to join (default: JACK_DEFAULT_SERVER, else "default");
//                  a server is never started
//   --name NAME    client name (default rig); taken exactly, or the rig fails
//   --lead S       seconds of silence before the signal starts (default 1.5)
//
// Ports: outputs NAME:sig_1, NAME:sig_2 play SIGNAL.wav (16-bit PCM at the server's rate;
// stereo, or mono on both), starting --lead seconds after the first process cycle; inputs
// NAME:ret_1, NAME:ret_2 take what comes back.  OUT.raw gets 4 channels of s16le at the
// server's rate from the first cycle on: per frame, channels 1-2 are what sig_1/2 played
// and channels 3-4 what reached ret_1/2 in the same cycle.  The rig waits in each cycle for
// the clients that feed ret_N, so a stopped client stops the rig too; the cycles it misses
// are silence in OUT.raw (on all four channels, and that part of the signal never plays).
//
// It follows clients of ALSA's jack PCM plugin: once the plugin has made its own connections
// for a port, the rig connects sig_N to the plugin's capture port in_00(N-1) and the plugin's
// playback port out_00(N-1) to ret_N, unless that port is already connected to the rig.  So
// a PCM whose ports point elsewhere (the stock "jack" PCM goes to system:*) is measured as
// well.  The plugin names its clients "<program>.<P|C>.<pid>.<n>" (alsa-plugins 1.2.7; older
// ones "alsa-jack.<pcm><P|C>.<pid>.<n>"); a PCM with its own "name" is not recognised.
//
// Lines on stdout, for a script to wait on:
//   rig: ready client=NAME rate=R period=P
//   rig: signal_start frame=F      rig: signal_end frame=F
//   rig: follows PORT
//   rig: stopped frames=N missed=M xruns=X dropped=D
//     (frames written; missed: frames of cycles the server ran without the rig, written as
//     silence; dropped: frames lost to a full ring)
//
// It runs until SIGINT or SIGTERM, then writes out what it holds and ends.  Exit status: 0 all
// recorded, 1 a frame was lost or the file could not be written, 2 bad usage or signal file,
// 3 the JACK server went away (what was recorded until then is in OUT.raw).

#include <jack/jack.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool_io.hpp"

namespace {

using tool_io::get_u16;
using tool_io::get_u32;
using tool_io::parse_double;
using tool_io::parse_long;

constexpr int kRecordedChannels = 4;
constexpr int kFollowedChannels = 2;
constexpr char kPluginPorts[] =
    "^(alsa-jack\\.[^:]*|[^:]*\\.[PC]\\.[0-9]+\\.[0-9]+):(in|out)_[0-9]+$";

struct Options {
    std::string server;
    std::string name = "rig";
    double lead_s = 1.5;
    std::string signal_path;
    std::string out_path;
};

struct Signal {
    int rate = 0;
    std::vector<float> left;
    std::vector<float> right;
};

// Single producer (the process callback), single consumer (the main thread).  Positions count
// frames and only grow; a slot is (position & mask).
struct FrameRing {
    std::vector<int16_t> samples;
    uint64_t mask = 0;
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> read{0};
};

struct Rig {
    jack_client_t* client = nullptr;
    jack_port_t* sig[kFollowedChannels] = {};
    jack_port_t* ret[kFollowedChannels] = {};
    const Signal* signal = nullptr;
    uint64_t lead_frames = 0;
    FrameRing ring;
    bool running = false;  // this and the next two: the process thread's own
    jack_nframes_t last_cycle_start = 0;
    jack_nframes_t last_cycle_frames = 0;
    std::atomic<uint64_t> frames{0};  // server frames since the first cycle
    std::atomic<uint64_t> missed{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint32_t> xruns{0};
    std::atomic<bool> graph_changed{true};
    std::atomic<bool> server_gone{false};
};

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
    stop_requested = 1;
}

void usage() {
    std::fprintf(stderr,
                 "usage: jack_rig [--server NAME] [--name NAME] [--lead S] SIGNAL.wav OUT.raw\n");
}

bool parse_args(int argc, char** argv, Options* opt) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            files.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--server") {
            opt->server = value;
        } else if (arg == "--name") {
            opt->name = value;
        } else if (arg == "--lead") {
            if (!parse_double(value, &opt->lead_s) || opt->lead_s < 0 || opt->lead_s > 3600) {
                return false;
            }
        } else {
            return false;
        }
    }
    if (files.size() != 2 || opt->name.empty()) {
        return false;
    }
    opt->signal_path = files[0];
    opt->out_path = files[1];
    return true;
}

bool read_whole(const std::string& path, std::vector<unsigned char>* bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char block[65536];
    size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        bytes->insert(bytes->end(), block, block + n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// 16-bit PCM WAV, one or two channels; a mono file plays on both outputs.
bool load_signal(const std::string& path, Signal* signal, std::string* error) {
    std::vector<unsigned char> bytes;
    if (!read_whole(path, &bytes)) {
        *error = "cannot read " + path;
        return false;
    }
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        *error = path + " is not a WAV file";
        return false;
    }
    int channels = 0;
    int bits = 0;
    const unsigned char* data = nullptr;
    size_t data_bytes = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const unsigned char* chunk = bytes.data() + at;
        const size_t size = std::min<size_t>(get_u32(chunk + 4), bytes.size() - at - 8);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            const uint32_t tag = get_u16(chunk + 8);
            if (tag != 1 && tag != 0xFFFE) {
                *error = path + " does not hold integer PCM";
                return false;
            }
            channels = static_cast<int>(get_u16(chunk + 10));
            signal->rate = static_cast<int>(get_u32(chunk + 12));
            bits = static_cast<int>(get_u16(chunk + 22));
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            data_bytes = size;
        }
        at += 8 + size + (size & 1);
    }
    if (data == nullptr || (channels != 1 && channels != 2) || bits != 16) {
        *error = path + " is not 16-bit PCM with one or two channels";
        return false;
    }
    const size_t frames = data_bytes / (2 * static_cast<size_t>(channels));
    signal->left.resize(frames);
    signal->right.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        const unsigned char* frame = data + i * 2 * channels;
        const auto left = static_cast<int16_t>(get_u16(frame));
        const auto right = channels == 2 ? static_cast<int16_t>(get_u16(frame + 2)) : left;
        signal->left[i] = static_cast<float>(left) / 32768.0f;
        signal->right[i] = static_cast<float>(right) / 32768.0f;
    }
    return true;
}

int16_t to_s16(float value) {
    const long scaled = std::lrintf(value * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768L, 32767L));
}

// Writes `count` frames to the ring, silent when `played` is null; false when they do not fit.
bool record(FrameRing* ring, uint64_t count, float* const* played, const float* const* returned) {
    const uint64_t written = ring->written.load(std::memory_order_relaxed);
    if (written - ring->read.load(std::memory_order_acquire) + count > ring->mask + 1) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        int16_t* frame = &ring->samples[((written + i) & ring->mask) * kRecordedChannels];
        for (int c = 0; c < kFollowedChannels; ++c) {
            frame[c] = played == nullptr ? 0 : to_s16(played[c][i]);
            frame[kFollowedChannels + c] = played == nullptr ? 0 : to_s16(returned[c][i]);
        }
    }
    ring->written.store(written + count, std::memory_order_release);
    return true;
}

// The process callback: no allocation, no lock, no I/O.  Positions follow the server's frame
// time: a cycle the rig misses (the server ran on without it, as when a client it waits for
// is stalled) is recorded as silence and its part of the signal is skipped, so the file stays
// on the server's clock.  What does not fit into the ring is dropped and counted.
int process(jack_nframes_t nframes, void* arg) {
    Rig* rig = static_cast<Rig*>(arg);
    float* out[kFollowedChannels];
    const float* in[kFollowedChannels];
    for (int c = 0; c < kFollowedChannels; ++c) {
        out[c] = static_cast<float*>(jack_port_get_buffer(rig->sig[c], nframes));
        in[c] = static_cast<const float*>(jack_port_get_buffer(rig->ret[c], nframes));
    }
    const jack_nframes_t cycle_start = jack_last_frame_time(rig->client);
    uint64_t missed = 0;
    if (rig->running) {
        // Frame times wrap around; their difference does not mind.
        const jack_nframes_t step = cycle_start - rig->last_cycle_start;
        missed = step > rig->last_cycle_frames ? step - rig->last_cycle_frames : 0;
    }
    rig->running = true;
    rig->last_cycle_start = cycle_start;
    rig->last_cycle_frames = nframes;

    const uint64_t first = rig->frames.load(std::memory_order_relaxed) + missed;
    const Signal& signal = *rig->signal;
    const uint64_t length = signal.left.size();
    for (jack_nframes_t i = 0; i < nframes; ++i) {
        const uint64_t at = first + i;
        const bool playing = at >= rig->lead_frames && at - rig->lead_frames < length;
        out[0][i] = playing ? signal.left[at - rig->lead_frames] : 0.0f;
        out[1][i] = playing ? signal.right[at - rig->lead_frames] : 0.0f;
    }
    if (missed > 0) {
        rig->missed.fetch_add(missed, std::memory_order_relaxed);
        if (!record(&rig->ring, missed, nullptr, nullptr)) {
            rig->dropped.fetch_add(missed, std::memory_order_relaxed);
        }
    }
    if (!record(&rig->ring, nframes, out, in)) {
        rig->dropped.fetch_add(nframes, std::memory_order_relaxed);
    }
    rig->frames.store(first + nframes, std::memory_order_release);
    return 0;
}

int on_xrun(void* arg) {
    static_cast<Rig*>(arg)->xruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void on_shutdown(jack_status_t, const char*, void* arg) {
    static_cast<Rig*>(arg)->server_gone.store(true);
}

void on_port_registration(jack_port_id_t, int, void* arg) {
    static_cast<Rig*>(arg)->graph_changed.store(true);
}

void on_port_connect(jack_port_id_t, jack_port_id_t, int, void* arg) {
    static_cast<Rig*>(arg)->graph_changed.store(true);
}

// Moves what the ring holds to the file; false on a write error.
bool drain(FrameRing* ring, std::FILE* file) {
    const uint64_t written = ring->written.load(std::memory_order_acquire);
    uint64_t read = ring->read.load(std::memory_order_relaxed);
    bool ok = true;
    while (read < written) {
        const uint64_t slot = read & ring->mask;
        const uint64_t frames = std::min(written - read, ring->mask + 1 - slot);
        const size_t samples = frames * kRecordedChannels;
        ok = std::fwrite(&ring->samples[slot * kRecordedChannels], sizeof(int16_t), samples,
                         file) == samples &&
             ok;
        read += frames;
    }
    ring->read.store(read, std::memory_order_release);
    return ok;
}

// The channel of an ALSA plugin port ("in_000", "out_001"), or -1.
int plugin_channel(const char* short_name, const char* stem) {
    const size_t stem_length = std::strlen(stem);
    if (std::strncmp(short_name, stem, stem_length) != 0) {
        return -1;
    }
    long channel = 0;
    return parse_long(short_name + stem_length, &channel) && channel >= 0
               ? static_cast<int>(channel)
               : -1;
}

// Connects the rig to the plugin's ports as described at the top.  True when some plugin port
// still waits for the plugin's own connections (or ours failed), so the caller looks again.
bool follow_plugin_ports(Rig* rig) {
    const std::string own_prefix = std::string(jack_get_client_name(rig->client)) + ":";
    const char** ports = jack_get_ports(rig->client, kPluginPorts, JACK_DEFAULT_AUDIO_TYPE, 0);
    if (ports == nullptr) {
        return false;
    }
    bool pending = false;
    for (const char** name = ports; *name != nullptr; ++name) {
        jack_port_t* port = jack_port_by_name(rig->client, *name);
        if (port == nullptr) {
            continue;
        }
        const bool capture = (jack_port_flags(port) & JackPortIsInput) != 0;
        const int channel = plugin_channel(jack_port_short_name(port), capture ? "in_" : "out_");
        if (channel < 0 || channel >= kFollowedChannels) {
            continue;
        }
        // JACK refuses a connection that exists, and the plugin's start fails when its own is
        // refused: wait until the plugin has made its connections, then add ours.
        const char** links = jack_port_get_all_connections(rig->client, port);
        if (links == nullptr) {
            pending = true;
            continue;
        }
        bool to_rig = false;
        for (const char** link = links; *link != nullptr; ++link) {
            to_rig = to_rig || std::strncmp(*link, own_prefix.c_str(), own_prefix.size()) == 0;
        }
        jack_free(links);
        if (to_rig) {
            continue;
        }
        const int err = capture
                            ? jack_connect(rig->client, jack_port_name(rig->sig[channel]), *name)
                            : jack_connect(rig->client, *name, jack_port_name(rig->ret[channel]));
        if (err == 0) {
            std::printf("rig: follows %s\n", *name);
        } else {
            pending = true;
        }
    }
    jack_free(ports);
    return pending;
}

bool register_ports(Rig* rig) {
    for (int c = 0; c < kFollowedChannels; ++c) {
        const std::string sig = "sig_" + std::to_string(c + 1);
        const std::string ret = "ret_" + std::to_string(c + 1);
        rig->sig[c] = jack_port_register(rig->client, sig.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                         JackPortIsOutput, 0);
        rig->ret[c] = jack_port_register(rig->client, ret.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                         JackPortIsInput, 0);
        if (rig->sig[c] == nullptr || rig->ret[c] == nullptr) {
            return false;
        }
    }
    return true;
}

// JACK's threads start inside jack_client_open and jack_activate and inherit this mask, so
// the stop signals reach only the main thread.
void block_stop_signals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

jack_client_t* open_client(const Options& opt) {
    jack_status_t status{};
    const int flags = JackNoStartServer | JackUseExactName;
    jack_client_t* client =
        opt.server.empty()
            ? jack_client_open(opt.name.c_str(), static_cast<jack_options_t>(flags), &status)
            : jack_client_open(opt.name.c_str(),
                               static_cast<jack_options_t>(flags | JackServerName), &status,
                               opt.server.c_str());
    if (client == nullptr) {
        std::fprintf(stderr, "jack_rig: cannot join the JACK server%s%s (status 0x%x)\n",
                     opt.server.empty() ? "" : " ", opt.server.c_str(),
                     static_cast<unsigned>(status));
    }
    return client;
}

void sleep_ms(long ms) {
    timespec pause{0, ms * 1000000L};
    nanosleep(&pause, nullptr);
}

// Runs until a stop signal or the server's end, writing as it goes; gives the exit status.
int run(Rig* rig, std::FILE* file) {
    const uint64_t end_frames = rig->lead_frames + rig->signal->left.size();
    bool started = false;
    bool ended = false;
    bool pending = false;
    bool write_ok = true;
    while (stop_requested == 0 && !rig->server_gone.load()) {
        sleep_ms(10);
        write_ok = drain(&rig->ring, file) && write_ok;
        const uint64_t frames = rig->frames.load(std::memory_order_acquire);
        if (!started && frames >= rig->lead_frames) {
            started = true;
            std::printf("rig: signal_start frame=%llu\n",
                        static_cast<unsigned long long>(rig->lead_frames));
        }
        if (!ended && frames >= end_frames) {
            ended = true;
            std::printf("rig: signal_end frame=%llu\n",
                        static_cast<unsigned long long>(end_frames));
        }
        if (rig->graph_changed.exchange(false) || pending) {
            pending = follow_plugin_ports(rig);
        }
    }
    const bool gone = rig->server_gone.load();
    if (!gone) {
        jack_deactivate(rig->client);
    }
    write_ok = drain(&rig->ring, file) && write_ok;
    write_ok = std::fclose(file) == 0 && write_ok;
    const uint64_t dropped = rig->dropped.load();
    std::printf("rig: stopped frames=%llu missed=%llu xruns=%u dropped=%llu\n",
                static_cast<unsigned long long>(rig->ring.written.load()),
                static_cast<unsigned long long>(rig->missed.load()), rig->xruns.load(),
                static_cast<unsigned long long>(dropped));
    if (gone) {
        std::fprintf(stderr, "jack_rig: the JACK server went away\n");
        return 3;
    }
    if (!write_ok) {
        std::fprintf(stderr, "jack_rig: cannot write the recording\n");
        return 1;
    }
    if (dropped > 0) {
        std::fprintf(stderr, "jack_rig: %llu frames did not fit into the ring\n",
                     static_cast<unsigned long long>(dropped));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse_args(argc, argv, &opt)) {
        usage();
        return 2;
    }
    Signal signal;
    std::string error;
    if (!load_signal(opt.signal_path, &signal, &error)) {
        std::fprintf(stderr, "jack_rig: %s\n", error.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    block_stop_signals(true);
    install_stop_handlers();

    Rig rig;
    rig.signal = &signal;
    rig.client = open_client(opt);
    if (rig.client == nullptr) {
        return 1;
    }
    const jack_nframes_t rate = jack_get_sample_rate(rig.client);
    if (static_cast<int>(rate) != signal.rate) {
        std::fprintf(stderr, "jack_rig: %s is at %d Hz, the server at %u Hz\n",
                     opt.signal_path.c_str(), signal.rate, rate);
        jack_client_close(rig.client);
        return 2;
    }
    rig.lead_frames = static_cast<uint64_t>(std::llround(opt.lead_s * rate));
    // About 11 s at 48000 Hz: the writer would have to stall that long to lose a frame.
    constexpr uint64_t ring_frames = uint64_t{1} << 19;
    rig.ring.samples.assign(ring_frames * kRecordedChannels, 0);
    rig.ring.mask = ring_frames - 1;

    std::FILE* file = std::fopen(opt.out_path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "jack_rig: cannot create %s\n", opt.out_path.c_str());
        jack_client_close(rig.client);
        return 1;
    }
    jack_set_process_callback(rig.client, process, &rig);
    jack_set_xrun_callback(rig.client, on_xrun, &rig);
    jack_on_info_shutdown(rig.client, on_shutdown, &rig);
    jack_set_port_registration_callback(rig.client, on_port_registration, &rig);
    jack_set_port_connect_callback(rig.client, on_port_connect, &rig);
    if (!register_ports(&rig) || jack_activate(rig.client) != 0) {
        std::fprintf(stderr, "jack_rig: cannot register the ports or activate the client\n");
        std::fclose(file);
        jack_client_close(rig.client);
        return 1;
    }
    block_stop_signals(false);
    std::printf("rig: ready client=%s rate=%u period=%u\n", jack_get_client_name(rig.client), rate,
                jack_get_buffer_size(rig.client));

    const int status = run(&rig, file);
    jack_client_close(rig.client);
    return status;
}
