#include "pcm.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void print_value(FILE* out, const char* separator, std::optional<unsigned long> value) {
    if (value) {
        std::fprintf(out, "%s%i", separator, static_cast<int>(*value));
    } else {
        std::fprintf(out, "%s-", separator);
    }
}

void print_row(FILE* out, const char* name, const stream_report& report) {
    std::fputs(name, out);
    print_value(out, "\t", report.period_frames);
    print_value(out, "\t", report.buffer_frames);
    print_value(out, "\t", report.rate);
    print_value(out, "\t", report.channels);
    std::fputs("\n", out);
}

}  // namespace

int open_stream(snd_pcm_stream_t direction, const run_settings& settings,
                snd_pcm_uframes_t period_request, pcm_handle& handle, hw_params_handle& params,
                int& configured) {
    const bool playback = direction == SND_PCM_STREAM_PLAYBACK;
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, settings.device_name.c_str(), direction, 0);
    if (err < 0) {
        std::fprintf(stderr,
                     playback ? "Playback device could not be opened: %s\n"
                              : "unable to open pcm record device: %s\n",
                     snd_strerror(err));
        return err;
    }
    handle.reset(pcm);
    snd_pcm_hw_params_t* raw_params = nullptr;
    err = snd_pcm_hw_params_malloc(&raw_params);
    if (err < 0) {
        std::fprintf(stderr, "Cannot allocate hardware parameters: %s\n", snd_strerror(err));
        return err;
    }
    params.reset(raw_params);

    // Only the format and the final configuration are checked: a refused access type,
    // channel count, rate, period or buffer makes snd_pcm_hw_params fail below.
    snd_pcm_hw_params_any(pcm, raw_params);
    snd_pcm_hw_params_set_access(pcm, raw_params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    err = snd_pcm_hw_params_set_format(pcm, raw_params, SND_PCM_FORMAT_S24_3LE);
    if (err < 0) {
        std::fprintf(stderr,
                     playback ? "Problem setting playback format: %s\n"
                              : "Problem setting recording format: %s\n",
                     snd_strerror(err));
        return err;
    }
    snd_pcm_hw_params_set_channels(pcm, raw_params, static_cast<unsigned>(settings.channel_count));
    unsigned rate = settings.sample_rate;
    snd_pcm_hw_params_set_rate_near(pcm, raw_params, &rate, nullptr);
    snd_pcm_uframes_t period = period_request;
    snd_pcm_hw_params_set_period_size_near(pcm, raw_params, &period, nullptr);
    snd_pcm_uframes_t buffer = requested_buffer_frames;
    snd_pcm_hw_params_set_buffer_size_near(pcm, raw_params, &buffer);
    configured = snd_pcm_hw_params(pcm, raw_params);
    if (configured < 0 && playback) {
        std::fprintf(stderr, "Problem setting playback parameters: %s\n", snd_strerror(configured));
    }
    return 0;
}

stream_report read_back(const snd_pcm_hw_params_t* params) {
    stream_report report;
    snd_pcm_uframes_t frames = 0;
    unsigned value = 0;
    if (snd_pcm_hw_params_get_period_size(params, &frames, nullptr) >= 0) {
        report.period_frames = frames;
    }
    if (snd_pcm_hw_params_get_buffer_size(params, &frames) >= 0) {
        report.buffer_frames = frames;
    }
    if (snd_pcm_hw_params_get_rate(params, &value, nullptr) >= 0) {
        report.rate = value;
    }
    if (snd_pcm_hw_params_get_channels(params, &value) >= 0) {
        report.channels = value;
    }
    return report;
}

void print_stream_report(FILE* out, const stream_report& playback, const stream_report& capture) {
    std::fputs("Returned Driver Parameters:\n", out);
    std::fputs("\tBuf 1\tBuf 2\tRate\tChannels\n", out);
    print_row(out, "Play", playback);
    print_row(out, "Record", capture);
    std::fputs("-------------------------\n\n", out);
}

int configure_pcm_pair(const run_settings& settings, pcm_pair& pair) {
    int configured = 0;
    int err = open_stream(SND_PCM_STREAM_PLAYBACK, settings, requested_period_frames, pair.playback,
                          pair.playback_params, configured);
    if (err < 0 || configured < 0) {
        return err < 0 ? err : configured;
    }
    pair.playback_granted = read_back(pair.playback_params.get());
    const snd_pcm_uframes_t period =
        pair.playback_granted.period_frames.value_or(requested_period_frames);
    err = open_stream(SND_PCM_STREAM_CAPTURE, settings, period, pair.capture, pair.capture_params,
                      configured);
    if (err < 0) {
        return err;
    }
    pair.capture_granted = read_back(pair.capture_params.get());
    // One device has one clock: capture at another rate than playback would drift apart.
    if (configured >= 0 && pair.capture_granted.rate != pair.playback_granted.rate) {
        configured = -EINVAL;
    }
    if (configured < 0) {
        std::printf("Could not set record hardware parameters: %s\n", snd_strerror(configured));
        print_stream_report(stdout, pair.playback_granted, pair.capture_granted);
        return configured;
    }
    return 0;
}

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
    return 0;
}
