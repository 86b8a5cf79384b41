// livedelay: plays live sound back after a fixed delay. `main` and the run sequence: the
// settings, the two streams, the buffers, the transfer loop and the shutdown.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "delay.hpp"
#include "desktop.hpp"
#include "devices.hpp"
#include "monotonic.hpp"
#include "output.hpp"
#include "pcm.hpp"
#include "progress.hpp"
#include "resident.hpp"
#include "settings.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

// The play-out at the end is looked at this often; it may take this much longer than the
// audio queued, but a queue that does not move for this long will not play out.
constexpr int64_t play_out_step_ns = 10 * ns_per_ms;
constexpr int64_t play_out_margin_ns = 500 * ns_per_ms;
constexpr int64_t play_out_stuck_ns = 100 * ns_per_ms;

// A modest real-time priority: above every ordinary program, below a sound server's own
// threads, which run at 20 and more.
constexpr int realtime_priority = 10;

const char* const ring_message = "Cannot allocate enough memory.  Try reducing delay time.";

// Gives the exit status of an option: 1 when its output could not be written.
int run_option(const char* option) {
    int err = 0;
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        print_usage(stdout);
        std::fputs(control_help, stdout);
        std::puts("livedelay --list shows the devices ALSA knows and what each one takes.");
    } else if (std::strcmp(option, "--version") == 0) {
        std::puts("livedelay " LIVEDELAY_VERSION);
    } else if (std::strcmp(option, "--list") == 0 || std::strcmp(option, "-l") == 0) {
        err = list_devices(stdout);
    } else {
        std::printf("Unknown option %s; livedelay --help shows the usage.\n", option);
        err = -EINVAL;
    }
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return err == 0 && written ? 0 : 1;
}

// The rate playback was granted runs the whole run; a device that would not take the rate
// asked says so in one line, and the time-out keeps its length in seconds.
run_timing timing_for(const run_settings& settings, const pcm_pair& pair) {
    run_timing timing;
    timing.rate = pair.playback_granted.rate.value_or(settings.sample_rate);
    const snd_pcm_uframes_t asked = period_request_for(settings, pair.on_sound_server);
    timing.period_frames =
        static_cast<int64_t>(pair.playback_granted.period_frames.value_or(asked));
    timing.capture_buffer_frames =
        static_cast<int64_t>(pair.capture_granted.buffer_frames.value_or(requested_buffer_frames));
    timing.on_sound_server = pair.on_sound_server;
    timing.frame_budget = int64_t{settings.frame_budget} * timing.rate / settings.sample_rate;
    if (timing.rate != settings.sample_rate) {
        std::printf("Sample rate %u is not available here; running at %lld\n", settings.sample_rate,
                    static_cast<long long>(timing.rate));
    }
    if (asked != requested_period_frames) {
        std::fprintf(
            stderr, "Periods of %lld frames (%.1f ms) for a delay this short\n",
            static_cast<long long>(timing.period_frames),
            1000.0 * static_cast<double>(timing.period_frames) / static_cast<double>(timing.rate));
    }
    return timing;
}

int32_t regions_for(const run_settings& settings, const stream_report& granted) {
    return std::max<int32_t>(settings.channel_count,
                             static_cast<int32_t>(granted.channels.value_or(0)));
}

// Lets the queued audio play out, for no longer than it lasts and a margin, then stops
// playback; after a stop request it stops at once. Gives -ETIMEDOUT when the queue stopped
// moving: the stream is not to be touched again.
int finish_playback(transfer_state& t) {
    // A stop request ends the run at once: what is queued is dropped.
    int64_t queued = 0;
    if (t.phase == playback_phase::running && !stop_requested()) {
        queued_to_play(t.playback, queued);  // none, if it cannot say
    }
    const int64_t start = now_ns(t.clock);
    const int64_t deadline = start + queued * ns_per_second / t.timing.rate + play_out_margin_ns;
    int64_t last_move = start;
    while (queued > 0 && state_of(t.playback) == stream_state::running && !stop_requested()) {
        poll_for(t.clock, nullptr, 0, play_out_step_ns);
        const int64_t now = now_ns(t.clock);
        int64_t left = 0;
        queued_to_play(t.playback, left);
        if (left < queued) {
            last_move = now;
        }
        queued = left;
        if (now - last_move > play_out_stuck_ns) {
            return -ETIMEDOUT;
        }
        if (now > deadline) {
            break;
        }
    }
    drop_stream(t.playback);  // the stream ends here whatever the drop says
    return 0;
}

// Closes both streams, unless one stopped answering: closing it would wait on its server,
// so it is left to the process exit.
void close_streams(pcm_pair& pair, bool answering) {
    if (!answering) {
        pair.playback.release();
        pair.capture.release();
        return;
    }
    const server_call call("Playback");
    pair.playback.reset();
    pair.capture.reset();
}

// The working life of a run on a configured pair: buffers, the transfer loop until the frame
// budget is played or a stop is requested, and the shutdown. Gives 0, or the negative code
// of the failure, after its message, that ends the run; then the streams are left as they
// are.
int run(const run_settings& settings, const rebuild_options& options, pcm_pair& pair,
        output_streams& output) {
    transfer_state t;
    t.output = &output;
    // The tables follow what each stream was granted, and always hold the routed channels;
    // a routed channel the device lacks is silent going in and unheard going out.
    int err = create_transfer(t, settings, timing_for(settings, pair),
                              regions_for(settings, pair.playback_granted),
                              regions_for(settings, pair.capture_granted), options);
    if (err < 0) {
        std::printf("%s\n", ring_message);
        return err;
    }
    t.playback = alsa_stream(pair.playback.get());
    t.capture = alsa_stream(pair.capture.get());
    start_progress(t, isatty(STDOUT_FILENO) != 0, locale_is_utf8());
    // A failed prepare or start shows again in the first transfer, which reports it.
    prepare_stream(t.playback);
    prepare_stream(t.capture);
    if (t.timing.frame_budget > 0 && !stop_requested()) {
        // Before capture runs: what is not in memory yet is read in now (a sound server's
        // plugin and its libraries are loaded by then).
        keep_code_resident();
        start_stream(t.capture);
        open_control(t.control);
        // Short periods leave little slack: the loop runs at a real-time priority where the
        // system grants one (RLIMIT_RTPRIO, such as a member of the audio group), as JACK and
        // PipeWire do; where it does not, it runs as it is.
        const sched_param priority{.sched_priority = realtime_priority};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        err = transfer_loop(t);
        close_control(t.control);
        if (err < 0) {
            return err;
        }
    }
    say_finished();
    const bool answering = finish_playback(t) == 0;
    if (answering) {
        drop_stream(t.capture);  // the stream ends here whatever the drop says
    }
    close_streams(pair, answering);
    return 0;
}

// A standard stream that was closed when the program started is opened on /dev/null, so that
// no device the program opens later takes its number and is read or written as one.
void open_closed_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

// Ends a failed run without closing its streams: one may have stopped answering, and the
// process exit releases them.
[[noreturn]] void fail(pcm_pair& pair, output_streams& output) {
    end_status_line();
    restore_terminal();
    pair.playback.release();
    pair.capture.release();
    finish_output(output, output_grace_ms);
    _exit(1);
}

// A status asked for (SIGUSR1) before the program is ready to give it must not end the process,
// as the signal would by default: it is taken before any other code of the program runs.
[[gnu::used, gnu::section(".preinit_array")]] void (*const take_status_requests_first)() =
    take_status_requests;

}  // namespace

}  // namespace livedelay

int main(int argc, char* argv[]) {
    using namespace livedelay;
    open_closed_standard_streams();
    rebuild_options options;
    int taken = 0;
    if (parse_rebuild_options(argc, argv, options, taken) < 0) {
        return 1;
    }
    // The positional arguments come after the options, with the program's name in front.
    std::vector<char*> args{argv[0]};
    args.insert(args.end(), argv + 1 + taken, argv + argc);
    const int count = static_cast<int>(args.size());
    if (count > 1 && args[1][0] == '-') {
        return run_option(args[1]);
    }
    install_signal_handlers();
    // From here on, standard output and standard error never wait on their reader (an option's
    // output above may: it is all an option does, and its status says whether it went).
    output_streams output;
    start_output(output);
    note_output(&output);
    const auto settings = parse_command_line(count, args.data(), stdout);
    if (!settings) {
        finish_output(output, output_grace_ms);
        return 1;
    }
    pcm_pair pair;
    if (configure_pcm_pair(*settings, name_to_run(settings->device_name), pair) < 0 ||
        run(*settings, options, pair, output) < 0) {
        fail(pair, output);
    }
    finish_output(output, output_grace_ms);
    return 0;
}
