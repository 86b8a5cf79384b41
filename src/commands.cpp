#include "commands.hpp"

#include <cmath>
#include <cstdio>
#include <optional>

#include "delay_rules.hpp"
#include "monotonic.hpp"
#include "pcm.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

// A live change below the shortest delay of the run plays at that, and says so: a run
// started with the shorter delay may go lower, with shorter periods.
void say_shortest_of_run(const transfer_state& t, int64_t shortest_frames, double asked_seconds) {
    run_settings asked = *t.settings;
    asked.delay_seconds = static_cast<float>(asked_seconds);
    asked.sample_rate = static_cast<uint32_t>(t.timing.rate);
    const bool lower = static_cast<int64_t>(period_request_for(asked, t.timing.on_sound_server)) <
                       t.timing.period_frames;
    end_status_line();
    std::fprintf(stderr, "The shortest delay of this run is %.3f sec%s\n",
                 static_cast<double>(shortest_frames) / static_cast<double>(t.timing.rate),
                 lower ? "; a run started with the shorter delay goes lower" : "");
}

}  // namespace

void say_delay(double seconds) {
    std::printf("\nTime delay ~ %.3f sec\n", seconds);
    std::fflush(stdout);
    status_line_ended();
}

void take_commands(transfer_state& t) {
    if (joining(t.fade) || t.control.fd < 0) {
        return;
    }
    const command_batch batch = read_commands(t.control, t.delay_seconds, now_ns(t.clock));
    if (batch.dump) {
        const auto rate = static_cast<double>(t.timing.rate);
        std::optional<int64_t> slice;
        if (batch.dump_seconds) {
            slice = std::llround(*batch.dump_seconds * rate);
        }
        dump_delay(t, slice);
        if (t.rebuild.phase != rebuild_phase::none) {
            // What is heard from the joint on: short of the delay asked by what the rebuild
            // is to grow.
            const double short_seconds =
                static_cast<double>(t.rebuild.goal_frames - held_delay_frames(t)) / rate;
            std::printf("\nTime delay ~ %.3f sec, rebuilding to %.3f\n",
                        t.delay_seconds - short_seconds, t.delay_seconds);
            std::fflush(stdout);
            status_line_ended();
        } else {
            say_delay(t.delay_seconds);
        }
    }
    if (batch.delay_seconds) {
        const int64_t shortest = change_delay(t, *batch.delay_seconds, !batch.dump);
        say_delay(*batch.delay_seconds);
        if (shortest > 0) {
            say_shortest_of_run(t, shortest, *batch.delay_seconds);
        }
    }
}

void say_shortest(transfer_state& t, int64_t shortest_frames) {
    if (shortest_frames > 0 && !t.shortest_said) {
        t.shortest_said = true;
        end_status_line();
        std::fprintf(stderr,
                     "The shortest delay on this device is %.3f sec; shorter ones play at it.\n",
                     static_cast<double>(shortest_frames) / static_cast<double>(t.timing.rate));
    }
}

}  // namespace livedelay
