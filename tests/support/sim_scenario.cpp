#include "support/sim_scenario.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "pcm.hpp"
#include "progress.hpp"

namespace livedelay {

namespace {

// Writes `text` from `from` on into the pipe at `at_ns`: what the pipe has no room for, a
// millisecond later, as the loop reads it.
void write_when_read(sim_world& world, int64_t at_ns, int fd,
                     std::shared_ptr<const std::string> text, size_t from) {
    at(world, at_ns, [&world, at_ns, fd, text, from] {
        const ssize_t put = write(fd, text->data() + from, text->size() - from);
        ASSERT_TRUE(put > 0 || errno == EAGAIN) << std::strerror(errno);
        const size_t next = from + static_cast<size_t>(std::max<ssize_t>(put, 0));
        if (next < text->size()) {
            write_when_read(world, at_ns + 1000000, fd, text, next);
        }
    });
}

}  // namespace

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
    // A loop that would never end (a stall nobody notices) ends when the card vanishes, long
    // after the run should have: the scenario fails on what the run says, not on a time-out.
    strike(run.world, run.world.capture, (2 * int64_t{s.seconds} + 60) * ns_per_s, sim_fault::gone);
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
        write_when_read(run.world, static_cast<int64_t>(when * ns_per_s), commands[1],
                        std::make_shared<const std::string>(line + "\n"), 0);
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

heard_channel heard_on_one_clock(const sim_run& run) {
    return hear(run.result.played, 2, 0, {run.settings.sample_rate, 0, 0});
}

void expect_no_marker(const sim_run& run) {
    EXPECT_EQ(run.result.err, 0) << run.result.err_text;
    EXPECT_EQ(run.result.out.find("X\n"), std::string::npos) << run.result.out;
}

delay_range heard_from(const sim_run& run, double from_s, double to_s) {
    delay_range r;
    for (const heard_frame& f : heard_on_one_clock(run).frames) {
        const double at_s = clock_seconds(f.played, run.settings.sample_rate, 0);
        if (at_s >= from_s && at_s < to_s) {
            r.lowest = std::min(r.lowest, f.delay);
            r.highest = std::max(r.highest, f.delay);
            ++r.frames;
        }
    }
    return r;
}

}  // namespace livedelay
