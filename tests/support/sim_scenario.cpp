#include "support/sim_scenario.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "pcm.hpp"
#include "progress.hpp"

namespace livedelay {

void run_scenario(const scenario& s, sim_run& run) {
    run_settings& settings = run.settings;
    settings.mode = static_cast<routing_mode>(s.mode);
    settings.delay_seconds = static_cast<float>(s.delay);
    settings.delay_plus_one_seconds = settings.delay_seconds + 1.0f;
    settings.sample_rate = s.rate;
    settings.frame_budget = s.rate * static_cast<uint32_t>(s.seconds);
    sim_card_setup card = s.card;
    card.rate = s.rate;
    card.period_frames = static_cast<int64_t>(period_request_for(settings, card.server.on));
    card.buffer_frames = 4 * card.period_frames;
    make_sim_card(run.world, card);
    if (s.arrange) {
        s.arrange(run.world);
    }
    transfer_state& t = run.t;
    const run_timing timing{.rate = s.rate,
                            .frame_budget = settings.frame_budget,
                            .period_frames = card.period_frames,
                            .capture_buffer_frames = card.buffer_frames,
                            .on_sound_server = card.server.on};
    ASSERT_EQ(create_transfer(t, settings, timing, card.channels, card.channels, s.options), 0);
    t.capture = sim_capture(run.world);
    t.playback = sim_playback(run.world);
    t.clock = sim_clock(run.world);
    start_progress(t, false, false);
    int commands[2];
    ASSERT_EQ(pipe2(commands, O_NONBLOCK | O_CLOEXEC), 0);
    t.control.fd = commands[0];
    for (const auto& [when, line] : s.commands) {
        const int writer = commands[1];
        at(run.world, static_cast<int64_t>(when * ns_per_s), [writer, text = line + "\n"] {
            ASSERT_EQ(write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        });
    }
    prepare_stream(t.playback);
    prepare_stream(t.capture);
    start_stream(t.capture);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.result.err = transfer_loop(t);
    std::fflush(stdout);
    std::fflush(stderr);
    run.result.out = testing::internal::GetCapturedStdout();
    run.result.err_text = testing::internal::GetCapturedStderr();
    drop_stream(t.playback);  // what the card held is played into `played` up to now
    close(commands[0]);
    close(commands[1]);
    run.result.played = run.world.played;
    run.result.waits = run.world.waits;
    run.result.end_s = static_cast<double>(run.world.now_ns) / ns_per_s;
}

void expect_heard_at(const sim_run& run, double delay, delay_rule rule) {
    const card_clocks clocks{run.settings.sample_rate, run.world.capture.ppb / 1000.0,
                             run.world.playback.ppb / 1000.0};
    rule.delay = delay;
    rule.settle = std::max(rule.settle, unjudged_seconds);
    const heard_channel heard = hear(run.result.played, 2, 0, clocks);
    EXPECT_GT(heard.frames.size(), 0u);
    for (const std::string& problem : delay_problems(heard, clocks, rule)) {
        ADD_FAILURE() << problem;
    }
}

delay_range heard_from(const sim_run& run, double from_s, double to_s) {
    const card_clocks clocks{run.settings.sample_rate, 0, 0};
    delay_range r;
    for (const heard_frame& f : hear(run.result.played, 2, 0, clocks).frames) {
        const double at_s = clock_seconds(f.played, clocks.rate, 0);
        if (at_s >= from_s && at_s < to_s) {
            r.lowest = std::min(r.lowest, f.delay);
            r.highest = std::max(r.highest, f.delay);
            ++r.frames;
        }
    }
    return r;
}

}  // namespace livedelay
