// The playback and capture streams on the one device name: opening, configuration, the error
// messages of both, the driver-parameter table, and the transfers, waits and recovery of a
// running stream.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
};

constexpr snd_pcm_uframes_t requested_period_frames = 4096;
constexpr snd_pcm_uframes_t requested_buffer_frames = 16384;

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

// Narrows an open stream's parameters to what the run asks: access, format, channels, rate,
// period near `period_request` and buffer. Gives -ENOTSUP, without a word, for a stream that
// refuses non-interleaved access; a refused format is reported on standard error, with the
// name that converts; gives 0 or ALSA's negative code. The other requests are settled by
// apply_parameters.
int restrict_parameters(snd_pcm_t* pcm, const run_settings& settings,
                        snd_pcm_uframes_t period_request, hw_params_handle& params);

// Configures the stream with what restrict_parameters left; gives snd_pcm_hw_params' result.
int apply_parameters(snd_pcm_t* pcm, snd_pcm_hw_params_t* params);

stream_report read_back(const snd_pcm_hw_params_t* params);

void print_stream_report(FILE* out, const stream_report& playback, const stream_report& capture);

// Playback first, then capture with the period that playback was granted. A device that
// takes interleaved samples only runs under its converting name, said in one line. Every
// failure is reported where it happens; gives 0 or ALSA's negative code.
int configure_pcm_pair(const run_settings& settings, pcm_pair& pair);

// Transfers of a running stream, which never wait: they move what the stream can take now and
// give the frames moved (0 when it can take nothing) or ALSA's negative code.
snd_pcm_sframes_t read_frames(snd_pcm_t* pcm, void** channel_table, snd_pcm_uframes_t frames);
snd_pcm_sframes_t write_frames(snd_pcm_t* pcm, void** channel_table, snd_pcm_uframes_t frames);

// Frames captured and not yet read, or queued and not yet heard: what snd_pcm_avail and
// snd_pcm_delay say, with a stream that cannot say taken as holding none.
int64_t captured_waiting(snd_pcm_t* capture);
int64_t queued_to_play(snd_pcm_t* playback);
// Frames playback's buffer holds, written and not yet taken: its size less snd_pcm_avail.
int64_t buffered_to_play(snd_pcm_t* playback);

// Brings a stream that reported `err` back to where it can be started. -EAGAIN means a
// suspended stream is still waking up: ask again later. Gives 0, -EAGAIN, or the code that
// ends the run.
int recover_stream(snd_pcm_t* pcm, int err);

// The code a stream's state stands for when no transfer has reported it yet: an xrun, a
// suspend, a device gone. 0 for a stream that can go on.
int stopped_by(snd_pcm_t* pcm);

// The descriptors to poll for a stream, appended to `fds`; gives how many.
int add_poll_descriptors(snd_pcm_t* pcm, std::vector<pollfd>& fds);

}  // namespace livedelay
