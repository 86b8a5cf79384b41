#include "devices.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "pcm.hpp"

namespace livedelay {

namespace {

struct direction_probe {
    bool opens = false;
    bool direct = false;  // takes non-interleaved 3-byte samples as they are
    unsigned min_channels = 0, max_channels = 0;
    unsigned min_rate = 0, max_rate = 0;
};

direction_probe probe(const std::string& name, snd_pcm_stream_t direction) {
    direction_probe result;
    snd_pcm_t* raw = nullptr;
    // Non-blocking, so a busy device answers at once instead of holding the list up.
    if (snd_pcm_open(&raw, name.c_str(), direction, SND_PCM_NONBLOCK) < 0) {
        return result;
    }
    const pcm_handle pcm(raw);
    snd_pcm_hw_params_t* raw_params = nullptr;
    if (snd_pcm_hw_params_malloc(&raw_params) < 0) {
        return result;
    }
    const hw_params_handle params(raw_params);
    if (snd_pcm_hw_params_any(raw, raw_params) < 0) {
        return result;
    }
    result.opens = true;
    result.direct =
        snd_pcm_hw_params_test_access(raw, raw_params, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0 &&
        snd_pcm_hw_params_test_format(raw, raw_params, SND_PCM_FORMAT_S24_3LE) == 0;
    snd_pcm_hw_params_get_channels_min(raw_params, &result.min_channels);
    snd_pcm_hw_params_get_channels_max(raw_params, &result.max_channels);
    snd_pcm_hw_params_get_rate_min(raw_params, &result.min_rate, nullptr);
    snd_pcm_hw_params_get_rate_max(raw_params, &result.max_rate, nullptr);
    return result;
}

void print_device(FILE* out, const std::string& name, const std::string& converting_name) {
    const direction_probe playback = probe(name, SND_PCM_STREAM_PLAYBACK);
    const direction_probe capture = probe(name, SND_PCM_STREAM_CAPTURE);
    const char* opens = playback.opens && capture.opens ? "capture+playback"
                        : playback.opens                ? "playback only"
                        : capture.opens                 ? "capture only"
                                                        : "does not open";
    const direction_probe& any = playback.opens ? playback : capture;
    if (!any.opens) {
        std::fprintf(out, "%-28s %s\n", name.c_str(), opens);
        return;
    }
    const bool direct = (!playback.opens || playback.direct) && (!capture.opens || capture.direct);
    std::fprintf(out, "%-28s %-16s %-9s channels %u-%u, rates %u-%u Hz", name.c_str(), opens,
                 direct ? "direct" : "converted", any.min_channels, any.max_channels, any.min_rate,
                 any.max_rate);
    if (!direct && !converting_name.empty()) {
        std::fprintf(out, " (use %s)", converting_name.c_str());
    }
    std::fputs("\n", out);
}

void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

int list_devices(FILE* out) {
    // Devices that do not open show as such; the library's own reasons would bury the list.
    snd_lib_error_set_handler(ignore_alsa_error);
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
        for (void** hint = hints; *hint != nullptr; ++hint) {
            char* name = snd_device_name_get_hint(*hint, "NAME");
            if (name != nullptr) {
                print_device(out, name, "");
            }
            std::free(name);
        }
        snd_device_name_free_hint(hints);
    }
    for (int card = -1; snd_card_next(&card) == 0 && card >= 0;) {
        snd_ctl_t* ctl = nullptr;
        const std::string card_name = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, card_name.c_str(), 0) < 0) {
            continue;
        }
        for (int device = -1; snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0;) {
            const std::string suffix = std::to_string(card) + "," + std::to_string(device);
            print_device(out, "hw:" + suffix, "plughw:" + suffix);
            print_device(out, "plughw:" + suffix, "");
        }
        snd_ctl_close(ctl);
    }
    return std::fflush(out) == 0 && std::ferror(out) == 0 ? 0 : -EIO;
}

}  // namespace livedelay
