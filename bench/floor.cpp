// floor: the least a capture-to-playback program can do on an ALSA device with the settings
// livedelay uses (S24_3LE, non-interleaved access, period 4096, buffer 16384): read a chunk
// of 4096 frames, write the same bytes back, until `seconds` of audio are played. No delay,
// no ring, no routing. The benchmark measures livedelay's CPU time against this.
//
// usage: floor DEVICE CHANNELS RATE SECONDS
// Prints "played=N" (frames) at the end; exit status 1 on any failure.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr snd_pcm_uframes_t chunk_frames = 4096;
constexpr snd_pcm_uframes_t buffer_frames = 16384;
constexpr size_t sample_bytes = 3;

snd_pcm_t* open_stream(const char* device, snd_pcm_stream_t direction, unsigned channels,
                       unsigned rate) {
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, device, direction, 0);
    if (err < 0) {
        std::fprintf(stderr, "floor: cannot open %s: %s\n", device, snd_strerror(err));
        return nullptr;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_uframes_t period = chunk_frames;
    snd_pcm_uframes_t buffer = buffer_frames;
    if ((err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, params, channels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer)) < 0 ||
        (err = snd_pcm_hw_params(pcm, params)) < 0) {
        std::fprintf(stderr, "floor: cannot configure %s: %s\n", device, snd_strerror(err));
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

// Gives 0 when the stream can go on after `err`, or the error.
int recover(snd_pcm_t* pcm, snd_pcm_sframes_t err) {
    if (err == -EPIPE || err == -ESTRPIPE) {
        return snd_pcm_prepare(pcm);
    }
    return err == -EAGAIN || err == -EINTR ? 0 : static_cast<int>(err);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: floor DEVICE CHANNELS RATE SECONDS\n");
        return 2;
    }
    const char* device = argv[1];
    const auto channels = static_cast<unsigned>(std::atoi(argv[2]));
    const auto rate = static_cast<unsigned>(std::atoi(argv[3]));
    const int64_t budget = int64_t{rate} * std::atoll(argv[4]);
    if (channels == 0 || rate == 0 || budget <= 0) {
        std::fprintf(stderr, "floor: bad arguments\n");
        return 2;
    }
    snd_pcm_t* playback = open_stream(device, SND_PCM_STREAM_PLAYBACK, channels, rate);
    snd_pcm_t* capture = open_stream(device, SND_PCM_STREAM_CAPTURE, channels, rate);
    if (playback == nullptr || capture == nullptr) {
        return 1;
    }
    std::vector<uint8_t> block(channels * chunk_frames * sample_bytes);
    std::vector<void*> table(channels);
    std::vector<void*> rest(channels);
    for (unsigned c = 0; c < channels; ++c) {
        table[c] = block.data() + c * chunk_frames * sample_bytes;
    }

    int64_t played = 0;
    int status = 0;
    while (played < budget) {
        const snd_pcm_sframes_t got = snd_pcm_readn(capture, table.data(), chunk_frames);
        if (got < 0) {
            if (const int err = recover(capture, got); err < 0) {
                std::fprintf(stderr, "floor: capture: %s\n", snd_strerror(err));
                status = 1;
                break;
            }
            continue;
        }
        // A write may take part of the chunk; the rest goes from where it stopped.
        snd_pcm_uframes_t done = 0;
        while (done < static_cast<snd_pcm_uframes_t>(got)) {
            for (unsigned c = 0; c < channels; ++c) {
                rest[c] = static_cast<uint8_t*>(table[c]) + done * sample_bytes;
            }
            const snd_pcm_sframes_t put =
                snd_pcm_writen(playback, rest.data(), static_cast<snd_pcm_uframes_t>(got) - done);
            if (put < 0) {
                if (const int err = recover(playback, put); err < 0) {
                    std::fprintf(stderr, "floor: playback: %s\n", snd_strerror(err));
                    status = 1;
                    break;
                }
                continue;
            }
            done += static_cast<snd_pcm_uframes_t>(put);
        }
        if (status != 0) {
            break;
        }
        played += got;
    }
    snd_pcm_drain(playback);
    snd_pcm_close(playback);
    snd_pcm_close(capture);
    std::printf("played=%lld\n", static_cast<long long>(played));
    return status;
}
