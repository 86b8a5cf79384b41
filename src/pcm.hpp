// The playback and capture streams on the one device name: opening, configuration, the error
// messages of both and the driver-parameter table.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "settings.hpp"

struct pcm_closer {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
struct hw_params_deleter {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
using pcm_handle = std::unique_ptr<snd_pcm_t, pcm_closer>;
using hw_params_handle = std::unique_ptr<snd_pcm_hw_params_t, hw_params_deleter>;

// What one stream was granted. A value ALSA did not settle on stays empty.
struct stream_report {
    std::optional<snd_pcm_uframes_t> period_frames;
    std::optional<snd_pcm_uframes_t> buffer_frames;
    std::optional<unsigned> rate;
    std::optional<unsigned> channels;
};

struct pcm_pair {
    pcm_handle playback;
    pcm_handle capture;
    hw_params_handle playback_params;
    hw_params_handle capture_params;
    stream_report playback_granted;
    stream_report capture_granted;
};

constexpr snd_pcm_uframes_t requested_period_frames = 4096;
constexpr snd_pcm_uframes_t requested_buffer_frames = 16384;

// Opens and configures one stream. Failures of the open and of the format are reported on
// standard error and given as ALSA's negative code. The result of the final configuration is
// left in `configured`: a playback failure there is reported too, a capture failure is left to
// the caller.
int open_stream(snd_pcm_stream_t direction, const run_settings& settings,
                snd_pcm_uframes_t period_request, pcm_handle& handle, hw_params_handle& params,
                int& configured);

stream_report read_back(const snd_pcm_hw_params_t* params);

void print_stream_report(FILE* out, const stream_report& playback, const stream_report& capture);

// Playback first, then capture with the period that playback was granted. Every failure is
// reported where it happens; gives 0 or ALSA's negative code.
int configure_pcm_pair(const run_settings& settings, pcm_pair& pair);

// Prints every PCM that ALSA knows, and the hw: and plughw: names of each card, one line
// each: which directions open, whether the samples this program uses are taken directly,
// the channel counts and the rates. Gives the exit status.
int list_devices(FILE* out);
