// The private JACK server of the real-time tests (tests/jack/jack_fixture.sh), judged on its
// own terms: the rig records exactly what it plays, fails when the server goes away, and
// servers killed one after another never use up JACK's names. The program's trials on it are
// in realtime_test.cpp.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/realtime.hpp"
#include "support/sim_card.hpp"

namespace {

constexpr int rate = 48000;
constexpr int recorded_channels_count = 4;

class JackServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.open(jack_server())); }
    void TearDown() override { session.close(HasFailure()); }

    server_session session;
    const sound_server& server = session.server;
    const std::string& work = session.work;  // the signal and the recordings
};

// Alone, the rig records exactly the file it plays, from --lead on, sample for sample on
// channels 1-2, and nothing comes back on 3-4; the recording is complete when it stops.
TEST_F(JackServer, TheRigRecordsWhatItPlaysToTheSampleAndSilenceOnTheReturn) {
    constexpr int signal_seconds = 2;  // sample for sample: two seconds show it as well as five
    const std::string signal_dir = work + "/short";
    ASSERT_EQ(mkdir(signal_dir.c_str(), 0700), 0);
    ASSERT_EQ(make_click_train(signal_dir, rate, signal_seconds).status, 0);
    const measurement m = measure(server, signal_dir + "/clicks.wav", work + "/recording.raw",
                                  {"--lead", "0.5", "--tail", "0.5", "--limit", "30"}, {});
    ASSERT_EQ(m.fixture.status, 0) << m.fixture.out << m.fixture.err << m.rig_log;
    const auto summary = fields_of(last_line(m.fixture.out));
    EXPECT_EQ(summary.at("command_status"), "none");
    EXPECT_EQ(summary.at("command_stopped"), "0");

    // The signal file: a 44-byte header, then stereo samples.
    const std::string wav = read_file(signal_dir + "/clicks.wav");
    ASSERT_TRUE(wav.size() > 44 && wav.compare(0, 4, "RIFF") == 0 &&
                wav.compare(36, 4, "data") == 0);
    const std::vector<std::vector<int16_t>> signal = recorded_channels(wav.substr(44), 2);
    const std::vector<std::vector<int16_t>> recording =
        recorded_channels(read_file(m.recording), recorded_channels_count);
    ASSERT_EQ(signal[0].size(), size_t{signal_seconds} * rate);
    const size_t lead = rate / 2;
    const size_t frames = recording[0].size();
    ASSERT_GE(frames, lead + signal[0].size() + rate / 4);
    EXPECT_NE(m.rig_log.find("rig: stopped frames=" + std::to_string(frames) + " "),
              std::string::npos)
        << m.rig_log;

    size_t wrong = 0;
    size_t returned = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        const bool playing = frame >= lead && frame - lead < signal[0].size();
        for (size_t c = 0; c < 2; ++c) {
            const int16_t want = playing ? signal[c][frame - lead] : 0;
            wrong += recording[c][frame] != want ? 1 : 0;
        }
        returned += (recording[2][frame] != 0 || recording[3][frame] != 0) ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u) << "samples on channels 1-2 that differ from the file";
    EXPECT_EQ(returned, 0u) << "frames with sound on channels 3-4";
}

// The server JACK's scenarios in simulated time run on (jack_through_plug in
// tests/support/sim_card.hpp) is what this one does through `plug`: capture and playback move
// a period at a time, and with 8192 frames kept queued the queue reads 8192. Three looks.
TEST_F(JackServer, BehavesAsTheTestsModelIt) {
    const sim_server model = jack_through_plug();
    for (int look = 0; look < 3; ++look) {
        const probe_look p = look_with_probe(server, "plug:jack");
        EXPECT_EQ(p.capture_step_frames, model.block_frames) << p.out;
        EXPECT_EQ(p.playback_step_frames, model.playback_step_frames) << p.out;
        EXPECT_LE(p.queue_max_frames, 8192) << p.out;
        EXPECT_GE(p.queue_max_frames, 8192 - model.report_lag_frames) << p.out;
        expect_underrun_reported(p);
        std::printf("%s\n", last_line(p.out).c_str());
    }
}

// The rig stops with a status that says so when the server goes away, and keeps what it had:
// its signal starts after a tenth of a second, so by then it has recorded that much. The
// server is this test's own, since it stops it.
TEST(JackRig, FailsWhenTheServerGoesAway) {
    sound_server server = jack_server();
    const process_result started = start_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    ASSERT_EQ(make_click_train(server.dir, rate).status, 0);
    const std::string recording = server.dir + "/orphan.raw";
    const std::string name = last_line(read_file(server.dir + "/server"));
    ASSERT_FALSE(name.empty());
    background_process rig = start_program(
        {JACK_RIG_BIN, "--server", name, "--lead", "0.1", server.dir + "/clicks.wav", recording},
        {}, server.dir, "rig");
    ASSERT_TRUE(wait_for_output(rig, "rig: signal_start", 10)) << read_file(rig.out_path);
    const process_result stopped =
        run_program({"/bin/bash", server.script, "stop", server.dir}, {}, 30);
    ASSERT_EQ(stopped.status, 0) << stopped.out << stopped.err;
    const process_result r = finish_program(rig, 15);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    const std::string bytes = read_file(recording);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_EQ(bytes.size() % (2 * recorded_channels_count), 0u);
    stop_server(server, ::testing::Test::HasFailure());
}

// JACK's registry holds eight server names, and a server that dies without its cleanup keeps
// its entry until a server of the same name starts: ten servers killed one after another
// leave every next start working.
TEST(JackFixture, KilledServersDoNotUseUpJacksRegistry) {
    // The servers the fixture leaves behind become this process's children, so that each can
    // be waited for and reaped here.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sound_server server = jack_server();
        const process_result started = start_server(server);
        ASSERT_EQ(started.status, 0) << started.out << started.err;
        const pid_t pid = std::atoi(read_file(server.dir + "/pid").c_str());
        ASSERT_GT(pid, 0);
        kill(pid, SIGKILL);
        // Gone, and reaped: JACK takes a server that is not reaped yet for a live one.
        EXPECT_EQ(waitpid(pid, nullptr, 0), pid) << "pid " << pid << " was never reaped";
        EXPECT_NE(kill(pid, 0), 0) << "pid " << pid << " was never reaped";
        stop_server(server, false);
    }
}

}  // namespace
