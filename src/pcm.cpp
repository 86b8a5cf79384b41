#include "pcm.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "loop_io.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

constexpr std::string_view sound_server_plugins[] = {"PulseAudio", "PipeWire", "JACK"};

}  // namespace

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

bool is_playback(snd_pcm_t* pcm) {
    return snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK;
}

const char* stream_name(snd_pcm_t* pcm) {
    return is_playback(pcm) ? "Playback" : "Capture";
}

}  // namespace

std::string converting_name(const std::string& device_name) {
    if (device_name.starts_with("plug")) {
        return "";
    }
    if (device_name.starts_with("hw:")) {
        return "plug" + device_name;
    }
    // A name with arguments of its own is handed on whole, quoted.
    const bool plain = device_name.find_first_of(":,'\" ") == std::string::npos;
    return plain ? "plug:" + device_name : "plug:'" + device_name + "'";
}

void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

int open_stream(snd_pcm_stream_t direction, const std::string& device_name, pcm_handle& handle) {
    const bool playback = direction == SND_PCM_STREAM_PLAYBACK;
    snd_pcm_t* pcm = nullptr;
    int err = 0;
    {
        const server_call call(playback ? "Playback" : "Capture");
        err = snd_pcm_open(&pcm, device_name.c_str(), direction, SND_PCM_NONBLOCK);
    }
    if (err < 0) {
        std::fprintf(stderr,
                     playback ? "Playback device could not be opened: %s\n"
                              : "unable to open pcm record device: %s\n",
                     snd_strerror(err));
        return err;
    }
    handle.reset(pcm);
    return 0;
}

int start_parameters(snd_pcm_t* pcm, hw_params_handle& params) {
    snd_pcm_hw_params_t* raw_params = nullptr;
    const int err = snd_pcm_hw_params_malloc(&raw_params);
    if (err < 0) {
        std::fprintf(stderr, "Cannot allocate hardware parameters: %s\n", snd_strerror(err));
        return err;
    }
    params.reset(raw_params);
    snd_pcm_hw_params_any(pcm, raw_params);
    return snd_pcm_hw_params_set_access(pcm, raw_params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
}

int restrict_parameters(snd_pcm_t* pcm, const run_settings& settings,
                        snd_pcm_uframes_t period_request, snd_pcm_hw_params_t* params) {
    // The format is checked here: a refused channel count, rate, period or buffer makes
    // snd_pcm_hw_params fail, and the caller reports that.
    const int err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE);
    if (err < 0) {
        std::fprintf(stderr,
                     is_playback(pcm) ? "Problem setting playback format: %s\n"
                                      : "Problem setting recording format: %s\n",
                     snd_strerror(err));
        const std::string converting = converting_name(snd_pcm_name(pcm));
        if (!converting.empty()) {
            std::fprintf(stderr, "The device takes no 24-bit samples; %s converts them.\n",
                         converting.c_str());
        }
        return err;
    }
    // Each of these settles on a value near the one asked, or is refused by snd_pcm_hw_params.
    snd_pcm_hw_params_set_channels(pcm, params, static_cast<unsigned>(settings.channel_count));
    unsigned rate = settings.sample_rate;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_uframes_t period = period_request;
    snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
    snd_pcm_uframes_t buffer = requested_buffer_frames;
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    return 0;
}

std::string pcm_description(snd_pcm_t* pcm) {
    snd_output_t* out = nullptr;
    if (snd_output_buffer_open(&out) < 0) {
        return {};
    }
    snd_pcm_dump(pcm, out);
    char* text = nullptr;
    const size_t length = snd_output_buffer_string(out, &text);
    std::string description(text == nullptr ? "" : text, text == nullptr ? 0 : length);
    snd_output_close(out);
    return description;
}

bool on_sound_server(snd_pcm_t* pcm) {
    const std::string description = pcm_description(pcm);
    return std::any_of(
        std::begin(sound_server_plugins), std::end(sound_server_plugins),
        [&](std::string_view plugin) { return description.find(plugin) != std::string::npos; });
}

snd_pcm_uframes_t period_request_for(const run_settings& settings, bool on_sound_server) {
    if (on_sound_server) {
        return requested_period_frames;
    }
    const double delay_frames =
        static_cast<double>(settings.delay_seconds) * static_cast<double>(settings.sample_rate);
    const double margin_frames = settings.sample_rate / 1000.0;
    snd_pcm_uframes_t period = requested_period_frames;
    if (delay_frames >= 2.0 * static_cast<double>(period) + margin_frames) {
        return period;
    }
    while (period > shortest_period_frames && static_cast<double>(period) > delay_frames / 3) {
        period /= 2;
    }
    return period;
}

int apply_parameters(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
    const server_call call(stream_name(pcm));
    return snd_pcm_hw_params(pcm, params);
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

namespace {

// Opens one stream on `device` and takes its parameters; a stream that refuses
// non-interleaved access gives that code without a word.
int open_with_access(snd_pcm_stream_t direction, const std::string& device, pcm_handle& handle,
                     hw_params_handle& params) {
    const int err = open_stream(direction, device, handle);
    return err < 0 ? err : start_parameters(handle.get(), params);
}

}  // namespace

int configure_pcm_pair(const run_settings& settings, const std::string& device_name,
                       pcm_pair& pair) {
    std::string device = device_name;
    int err =
        open_with_access(SND_PCM_STREAM_PLAYBACK, device, pair.playback, pair.playback_params);
    const std::string converting = converting_name(device);
    const bool refused_access = err < 0 && pair.playback && pair.playback_params;
    if (refused_access && !converting.empty()) {
        std::printf("Device %s takes interleaved samples only; running %s, which converts\n",
                    device.c_str(), converting.c_str());
        device = converting;
        pair.playback.reset();
        err =
            open_with_access(SND_PCM_STREAM_PLAYBACK, device, pair.playback, pair.playback_params);
    }
    if (err < 0) {
        if (pair.playback && pair.playback_params) {
            std::fprintf(stderr, "Problem setting playback access: %s\n", snd_strerror(err));
        }
        return err;
    }
    pair.on_sound_server = on_sound_server(pair.playback.get());
    err = restrict_parameters(pair.playback.get(), settings,
                              period_request_for(settings, pair.on_sound_server),
                              pair.playback_params.get());
    if (err < 0) {
        return err;
    }
    err = apply_parameters(pair.playback.get(), pair.playback_params.get());
    if (err < 0) {
        std::fprintf(stderr, "Problem setting playback parameters: %s\n", snd_strerror(err));
        return err;
    }
    pair.playback_granted = read_back(pair.playback_params.get());

    err = open_with_access(SND_PCM_STREAM_CAPTURE, device, pair.capture, pair.capture_params);
    if (err < 0) {
        if (pair.capture && pair.capture_params) {
            std::fprintf(stderr, "Problem setting recording access: %s\n", snd_strerror(err));
        }
        return err;
    }
    const snd_pcm_uframes_t period = pair.playback_granted.period_frames.value_or(
        period_request_for(settings, pair.on_sound_server));
    err = restrict_parameters(pair.capture.get(), settings, period, pair.capture_params.get());
    if (err < 0) {
        return err;
    }
    err = apply_parameters(pair.capture.get(), pair.capture_params.get());
    pair.capture_granted = read_back(pair.capture_params.get());
    // One device has one clock: capture at another rate than playback would drift apart.
    if (err >= 0 && pair.capture_granted.rate != pair.playback_granted.rate) {
        err = -EINVAL;
    }
    if (err < 0) {
        std::printf("Could not set record hardware parameters: %s\n", snd_strerror(err));
        print_stream_report(stdout, pair.playback_granted, pair.capture_granted);
        return err;
    }
    return 0;
}

namespace {

snd_pcm_t* pcm_of(void* handle) {
    return static_cast<snd_pcm_t*>(handle);
}

int alsa_read(void* handle, void** channel_table, int64_t frames, int64_t& moved) {
    const snd_pcm_sframes_t got =
        snd_pcm_readn(pcm_of(handle), channel_table, static_cast<snd_pcm_uframes_t>(frames));
    moved = got > 0 ? got : 0;
    return got == -EAGAIN || got >= 0 ? 0 : static_cast<int>(got);
}

int alsa_write(void* handle, void** channel_table, int64_t frames, int64_t& moved) {
    const snd_pcm_sframes_t put =
        snd_pcm_writen(pcm_of(handle), channel_table, static_cast<snd_pcm_uframes_t>(frames));
    moved = put > 0 ? put : 0;
    return put == -EAGAIN || put >= 0 ? 0 : static_cast<int>(put);
}

// A count or ALSA's code, as the two come out of a query: `frames` is 0 after a failure.
int count_or_code(snd_pcm_sframes_t result, int64_t& frames) {
    frames = result < 0 ? 0 : result;
    return result < 0 ? static_cast<int>(result) : 0;
}

int alsa_avail(void* handle, int64_t& frames) {
    return count_or_code(snd_pcm_avail_update(pcm_of(handle)), frames);
}

int alsa_buffered(void* handle, int64_t& frames) {
    frames = 0;
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    int64_t room = 0;
    int err = alsa_avail(handle, room);
    err = err < 0 ? err : snd_pcm_get_params(pcm_of(handle), &buffer, &period);
    if (err < 0) {
        return err;
    }
    frames = std::max<int64_t>(0, static_cast<int64_t>(buffer) - room);
    return 0;
}

int alsa_delay(void* handle, int64_t& frames) {
    snd_pcm_sframes_t queued = 0;
    const int err = snd_pcm_delay(pcm_of(handle), &queued);
    return count_or_code(err < 0 ? err : queued, frames);
}

// Each call that may wait on a sound server is watched (server_call).
int alsa_prepare(void* handle) {
    const server_call call(stream_name(pcm_of(handle)));
    return snd_pcm_prepare(pcm_of(handle));
}

int alsa_prepare_after(void* handle, int err) {
    snd_pcm_t* pcm = pcm_of(handle);
    const server_call call(stream_name(pcm));
    switch (err) {
        case -EINTR:
        case -EAGAIN:
            return 0;
        case -EPIPE:
            return snd_pcm_prepare(pcm);
        case -ESTRPIPE: {
            const int resumed = snd_pcm_resume(pcm);
            if (resumed == -EAGAIN) {
                return -EAGAIN;
            }
            // A device that cannot resume says so, or stays suspended.
            if (resumed == 0 && snd_pcm_state(pcm) != SND_PCM_STATE_SUSPENDED) {
                return 0;
            }
            return snd_pcm_prepare(pcm);
        }
        default:
            return err;
    }
}

int alsa_start(void* handle) {
    const server_call call(stream_name(pcm_of(handle)));
    return snd_pcm_start(pcm_of(handle));
}

int alsa_drop(void* handle) {
    const server_call call(stream_name(pcm_of(handle)));
    return snd_pcm_drop(pcm_of(handle));
}

stream_state alsa_state(void* handle) {
    switch (snd_pcm_state(pcm_of(handle))) {
        case SND_PCM_STATE_PREPARED:
            return stream_state::prepared;
        case SND_PCM_STATE_RUNNING:
        case SND_PCM_STATE_DRAINING:
            return stream_state::running;
        case SND_PCM_STATE_XRUN:
            return stream_state::xrun;
        case SND_PCM_STATE_SUSPENDED:
            return stream_state::suspended;
        case SND_PCM_STATE_DISCONNECTED:
            return stream_state::gone;
        default:
            return stream_state::open;
    }
}

size_t alsa_poll_descriptors(void* handle, std::span<pollfd> free_slots) {
    const int count = snd_pcm_poll_descriptors_count(pcm_of(handle));
    if (count <= 0 || static_cast<size_t>(count) > free_slots.size()) {
        return 0;  // a stream that cannot say is not waited on: the wait's timeout looks again
    }
    const int filled =
        snd_pcm_poll_descriptors(pcm_of(handle), free_slots.data(), static_cast<unsigned>(count));
    return filled < 0 ? 0 : static_cast<size_t>(filled);
}

bool alsa_poll_ready(void* handle, std::span<pollfd> fds) {
    // A plugin learns here that its descriptors were seen (a timer read, an event taken).
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(pcm_of(handle), fds.data(), static_cast<unsigned>(fds.size()),
                                     &revents);
    return revents != 0;
}

constexpr stream_ops alsa_ops{alsa_read,      alsa_write,    alsa_avail,   alsa_delay,
                              alsa_avail,     alsa_buffered, alsa_prepare, alsa_prepare_after,
                              alsa_start,     alsa_drop,     alsa_state,   alsa_poll_descriptors,
                              alsa_poll_ready};

}  // namespace

stream alsa_stream(snd_pcm_t* pcm) {
    return {&alsa_ops, pcm};
}

}  // namespace livedelay
