#include "devices.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "desktop.hpp"
#include "pcm.hpp"

namespace livedelay {

namespace {

struct direction_probe {
    int open_error = -ENODEV;  // 0 once it opened
    bool direct = false;       // takes non-interleaved 3-byte samples as they are
    unsigned min_channels = 0, max_channels = 0;
    // The rates the device runs at itself, with ALSA's resampling disallowed.
    unsigned min_rate = 0, max_rate = 0;
    bool converts_rates = false;   // ALSA resamples other rates for it
    bool server_converts = false;  // a sound server resamples any rate it takes
};

// PulseAudio's and PipeWire's plugins take any rate from 1 to 384000 Hz and leave it to their
// server to convert to its own rate, which no ALSA call tells. Only the chain of plugins that
// the PCM's dump shows says that one of them is underneath.
bool rate_converted_by_server(snd_pcm_t* pcm) {
    const std::string dump = pcm_description(pcm);
    return dump.find("<-> PulseAudio PCM I/O Plugin") != std::string::npos ||
           dump.find("<-> PipeWire PCM I/O Plugin") != std::string::npos;
}

direction_probe probe(const std::string& name, snd_pcm_stream_t direction) {
    direction_probe result;
    snd_pcm_t* raw = nullptr;
    // Non-blocking, so a busy device answers at once instead of holding the list up.
    result.open_error = snd_pcm_open(&raw, name.c_str(), direction, SND_PCM_NONBLOCK);
    if (result.open_error < 0) {
        return result;
    }
    const pcm_handle pcm(raw);
    snd_pcm_hw_params_t* raw_params = nullptr;
    if (snd_pcm_hw_params_malloc(&raw_params) < 0) {
        result.open_error = -ENOMEM;
        return result;
    }
    const hw_params_handle params(raw_params);
    if (snd_pcm_hw_params_any(raw, raw_params) < 0) {
        result.open_error = -EINVAL;
        return result;
    }
    snd_pcm_hw_params_get_channels_min(raw_params, &result.min_channels);
    snd_pcm_hw_params_get_channels_max(raw_params, &result.max_channels);
    unsigned any_min = 0, any_max = 0;
    snd_pcm_hw_params_get_rate_min(raw_params, &any_min, nullptr);
    snd_pcm_hw_params_get_rate_max(raw_params, &any_max, nullptr);
    snd_pcm_hw_params_set_rate_resample(raw, raw_params, 0);
    snd_pcm_hw_params_get_rate_min(raw_params, &result.min_rate, nullptr);
    snd_pcm_hw_params_get_rate_max(raw_params, &result.max_rate, nullptr);
    result.converts_rates = any_min < result.min_rate || any_max > result.max_rate;
    result.server_converts = rate_converted_by_server(raw);
    result.direct =
        snd_pcm_hw_params_set_access(raw, raw_params, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0 &&
        snd_pcm_hw_params_test_format(raw, raw_params, SND_PCM_FORMAT_S24_3LE) == 0;
    return result;
}

std::string range(unsigned min, unsigned max) {
    return min == max ? std::to_string(min) : std::to_string(min) + "-" + std::to_string(max);
}

// What the name is good for: "works", the name to use instead, one direction, or none.
std::string verdict(const std::string& name, const direction_probe& playback,
                    const direction_probe& capture) {
    const bool plays = playback.open_error == 0;
    const bool captures = capture.open_error == 0;
    if (plays && captures) {
        if (playback.direct && capture.direct) {
            return "works";
        }
        const std::string converting = converting_name(name);
        return converting.empty() ? "takes no 24-bit samples" : "use " + converting;
    }
    if (plays || captures) {
        const direction_probe& shut = plays ? capture : playback;
        return std::string(plays ? "playback only" : "capture only") +
               (shut.open_error == -EBUSY ? (plays ? " (capture busy)" : " (playback busy)") : "");
    }
    return playback.open_error == -EBUSY || capture.open_error == -EBUSY ? "busy" : "does not open";
}

void print_device(FILE* out, const std::string& name) {
    const direction_probe playback = probe(name, SND_PCM_STREAM_PLAYBACK);
    const direction_probe capture = probe(name, SND_PCM_STREAM_CAPTURE);
    // PulseAudio's plugin on pipewire-pulse reports its timing too loosely to hold a delay.
    const std::string pipewire = pipewire_name_for(inspect_pulse_device(name));
    const std::string status =
        pipewire.empty() ? verdict(name, playback, capture) : "use " + pipewire;
    const bool plays = playback.open_error == 0;
    const bool captures = capture.open_error == 0;
    if (!plays && !captures) {
        std::fprintf(out, "%-24s %s\n", name.c_str(), status.c_str());
        return;
    }
    // What both directions take, as one run uses both at one rate.
    direction_probe both = plays ? playback : capture;
    if (plays && captures) {
        both.min_channels = std::max(playback.min_channels, capture.min_channels);
        both.max_channels = std::min(playback.max_channels, capture.max_channels);
        both.min_rate = std::max(playback.min_rate, capture.min_rate);
        both.max_rate = std::min(playback.max_rate, capture.max_rate);
        both.converts_rates = playback.converts_rates && capture.converts_rates;
        both.server_converts = playback.server_converts && capture.server_converts;
    }
    std::string rates = both.min_rate > both.max_rate
                            ? "no rate both ways"
                            : (both.min_rate == both.max_rate ? "rate " : "rates ") +
                                  range(both.min_rate, both.max_rate) + " Hz";
    if (both.server_converts) {
        rates += ", resampled to the sound server's rate";
    } else if (both.converts_rates) {
        rates += ", others resampled";
    }
    const std::string channels = both.min_channels > both.max_channels
                                     ? "no channel count both ways"
                                     : "channels " + range(both.min_channels, both.max_channels);
    std::fprintf(out, "%-24s %-20s %s, %s\n", name.c_str(), status.c_str(), channels.c_str(),
                 rates.c_str());
}

// While the list is probed: JACK's library writes its connection errors to standard error
// itself, and a JACK client may start a server of its own.
struct quiet_probing {
    int saved_stderr = -1;
    std::optional<std::string> no_start_server;  // what the environment had
};

quiet_probing begin_probing() {
    quiet_probing q;
    if (const char* value = std::getenv("JACK_NO_START_SERVER")) {
        q.no_start_server = value;
    }
    setenv("JACK_NO_START_SERVER", "1", 1);
    std::fflush(stderr);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        q.saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (q.saved_stderr >= 0) {
            dup2(null_fd, STDERR_FILENO);
        }
        close(null_fd);
    }
    return q;
}

void end_probing(const quiet_probing& q) {
    if (q.saved_stderr >= 0) {
        std::fflush(stderr);
        dup2(q.saved_stderr, STDERR_FILENO);
        close(q.saved_stderr);
    }
    if (q.no_start_server) {
        setenv("JACK_NO_START_SERVER", q.no_start_server->c_str(), 1);
    } else {
        unsetenv("JACK_NO_START_SERVER");
    }
}

void print_all_devices(FILE* out) {
    print_device(out, "default");
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
        for (void** hint = hints; *hint != nullptr; ++hint) {
            char* name = snd_device_name_get_hint(*hint, "NAME");
            if (name != nullptr && std::string(name) != "default") {
                print_device(out, name);
            }
            std::free(name);
        }
        snd_device_name_free_hint(hints);
    }
    for (int card = -1; snd_card_next(&card) == 0 && card >= 0;) {
        snd_ctl_t* ctl = nullptr;
        const std::string card_name = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, card_name.c_str(), SND_CTL_NONBLOCK) < 0) {
            continue;
        }
        for (int device = -1; snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0;) {
            const std::string suffix = std::to_string(card) + "," + std::to_string(device);
            print_device(out, "hw:" + suffix);
            print_device(out, "plughw:" + suffix);
        }
        snd_ctl_close(ctl);
    }
}

}  // namespace

int list_devices(FILE* out) {
    // Devices that do not open show as such; the library's own reasons would bury the list.
    snd_lib_error_set_handler(ignore_alsa_error);
    const quiet_probing quiet = begin_probing();
    print_all_devices(out);
    end_probing(quiet);
    return std::fflush(out) == 0 && std::ferror(out) == 0 ? 0 : -EIO;
}

}  // namespace livedelay
