// The real binary in real time on a private PulseAudio server, through ALSA's pulse plugin, in
// what only PulseAudio's fixture offers: capture and playback on two sinks (the stereo delay on
// one sink is one of the trials on every server, and a stop of the process one of those on
// PulseAudio through `plug`, tests/realtime_test.cpp; which input channel goes to which output
// is the same on every device, and is proven frame by frame in tests/e2e_test.cpp). A click
// train goes in, the delayed copy and the input are recorded on one clock, and every click must
// come back at the same delay.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/realtime.hpp"
#include "support/sim_card.hpp"

namespace {

constexpr double delay_ms = 500.0;

class PulseServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.open(pulse_server(48000))); }
    void TearDown() override { session.close(HasFailure()); }

    // Capture and playback on two sinks (the fixture's device sep). The signal starts 2.5 s
    // into the run, when the delay has been judged twice.
    measurement run_between_sinks() {
        return measure(server, work + "/clicks.wav", work + "/recording.raw",
                       {"--wait", "--lead", "2.5", "--tail", "1.5", "--limit", "60", "--sep"},
                       {LIVEDELAY_BIN, "sep", "2", "1", "1", "0.5", "48000",
                        std::to_string(click_train_seconds + 4)});
    }

    // Runs the analyser with `checks`; gives its summary, and fails the test where a check did.
    std::map<std::string, std::string> judge(const measurement& m,
                                             const std::vector<std::string>& checks) {
        std::vector<std::string> args{"--tolerance-ms", "5"};
        args.insert(args.end(), checks.begin(), checks.end());
        args.push_back(m.recording);
        const analysis a = analyse(args);
        EXPECT_EQ(a.run.status, 0) << a.run.out << a.run.err;
        return a.summary;
    }

    server_session session;
    const sound_server& server = session.server;
    const std::string& work = session.work;  // the signal and the recordings
};

// Capture from one null sink's monitor, playback into another: the recording comes through
// two loopbacks of 20 ms each, which steer their own latency as they go (one run was measured
// sliding over 2.6 ms; on a busy machine the two settled 12 ms apart, every click 487.8 ms
// late), so here the delay is judged for being whole and steady, and within a loopback's
// latency of the delay asked. The sinks share the machine's clock: no drift is corrected.
TEST_F(PulseServer, StereoBetweenTwoSinksComesBackWholeAtAConstantDelay) {
    const measurement m = run_between_sinks();
    expect_clean_finish(m);
    expect_no_xrun(m.program_out);
    EXPECT_EQ(m.program_out.find("clocks differ"), std::string::npos) << m.program_out;
    judge(m, {"--expect-min-ms", std::to_string(delay_ms - 20), "--expect-max-ms",
              std::to_string(delay_ms + 20), "--max-spread-ms", "4", "--min-matched",
              std::to_string(session.listed().size()), "--max-missing", "0", "--max-gaps", "0"});
}

// The server the simulated scenarios run on (sim_server in tests/support/sim_card.hpp) is what
// this one does with the program's streams: capture handed over in blocks of its size,
// playback's room growing in steps of about its size, with 8192 frames kept queued, the
// queue reported low by no more than its lag, and playback that ran dry saying so and, once
// prepared, playing again from its first frame. Three looks, each of 1 s and a refill.
TEST_F(PulseServer, BehavesAsTheTestsModelIt) {
    const sim_server model;
    for (int look = 0; look < 3; ++look) {
        const probe_look p = look_with_probe(server);
        EXPECT_EQ(p.capture_step_frames, model.block_frames) << p.out;
        EXPECT_NEAR(p.playback_step_frames, model.playback_step_frames, 100) << p.out;
        EXPECT_LE(p.queue_max_frames, 8192) << p.out;
        EXPECT_GE(p.queue_max_frames, 8192 - model.report_lag_frames) << p.out;
        expect_underrun_reported(p);
        // Prepared, it plays again from the first piece of 256 frames written (the start shows
        // within 2 ms of the piece that brings it).
        EXPECT_GT(p.refill_prebuffer_frames, 0) << p.out;
        EXPECT_LE(p.refill_prebuffer_frames, 512) << p.out;
        std::printf("%s\n", last_line(p.out).c_str());
    }
}

}  // namespace
