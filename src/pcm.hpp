// The playback and capture streams on the one device name: opening, configuration, the error
// messages of both, the driver-parameter table, and the transfers, waits and recovery of a
// running stream.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "loop_io.hpp"
#include "settings.hpp"

namespace livedelay {

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
    bool on_sound_server = false;  // a sound server's plugin plays it (see on_sound_server)
};

constexpr snd_pcm_uframes_t requested_period_frames = 4096;
constexpr snd_pcm_uframes_t requested_buffer_frames = 16384;
// The shortest period asked: shorter ones would cost a wake each millisecond for a few frames
// less delay.
constexpr snd_pcm_uframes_t shortest_period_frames = 128;

// The period a run asks for: 4096 frames, as long as the delay asked is at least two of them
// and a millisecond; for a shorter delay on a device of its own, the largest power of two of
// at most a third of it (and at least shortest_period_frames), so that two periods and a
// margin fit inside it. A sound server's plugin keeps 4096: the server takes a quantum of its
// own at a time (PipeWire 1024 frames, PulseAudio about 25 ms), and periods shorter than that
// underrun on every cycle. The buffer asked stays 16384 frames.
snd_pcm_uframes_t period_request_for(const run_settings& settings, bool on_sound_server);

// What snd_pcm_dump says of `pcm`: the chain of plugins it opens, each by name; "" when it
// cannot be had.
std::string pcm_description(snd_pcm_t* pcm);

// Whether a sound server's ALSA plugin (PulseAudio's, PipeWire's, JACK's) is at the end of the
// chain that `pcm` opens, as its description says.
bool on_sound_server(snd_pcm_t* pcm);

// The name under which ALSA converts for `device_name` (plughw:1,0 for hw:1,0, plug:NAME
// otherwise), or "" when the name converts already.
std::string converting_name(const std::string& device_name);

// An error handler for snd_lib_error_set_handler that drops the library's messages, where
// a probe's failure is an answer, not something to report.
void ignore_alsa_error(const char* file, int line, const char* function, int err,
                       const char* format, ...);

// Opens one stream without blocking, so a busy device answers at once. The failure is
// reported on standard error; gives 0 or ALSA's negative code.
int open_stream(snd_pcm_stream_t direction, const std::string& device_name, pcm_handle& handle);

// Takes an open stream's parameters, narrowed to non-interleaved access. Gives 0, or ALSA's
// code without a word for a stream that refuses that access (the caller may try the name that
// converts).
int start_parameters(snd_pcm_t* pcm, hw_params_handle& params);

// Narrows the parameters further to what the run asks: format, channels, rate, period near
// `period_request` and a buffer of four such periods. A refused format is reported on standard
// error, with the name that converts; gives 0 or ALSA's code. The other requests are settled by
// apply_parameters.
int restrict_parameters(snd_pcm_t* pcm, const run_settings& settings,
                        snd_pcm_uframes_t period_request, snd_pcm_hw_params_t* params);

// Configures the stream with what restrict_parameters left; gives snd_pcm_hw_params' result.
int apply_parameters(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);

stream_report read_back(const snd_pcm_hw_params_t* params);

void print_stream_report(FILE* out, const stream_report& playback, const stream_report& capture);

// Playback first, then capture with the period that playback was granted, both on
// `device_name`. A device that takes interleaved samples only runs under its converting name,
// said in one line. Every failure is reported where it happens; gives 0 or ALSA's code.
int configure_pcm_pair(const run_settings& settings, const std::string& device_name,
                       pcm_pair& pair);

// A stream as the transfer loop drives it (src/loop_io.hpp): ALSA's calls on `pcm`, each that
// may wait on a sound server watched.
stream alsa_stream(snd_pcm_t* pcm);

}  // namespace livedelay
