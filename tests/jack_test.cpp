// The real binary in real time on a private JACK server, through ALSA's jack plugin: the rig
// plays a click train, records it beside what comes back on the server's one clock, and every
// click must come back at the same delay.  The first tests judge the fixture itself.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/realtime.hpp"

namespace {

const std::string fixture = LIVEDELAY_TEST_SOURCE_DIR "/jack/jack_fixture.sh";
const std::string rig_env = std::string("JACK_RIG=") + JACK_RIG_BIN;
constexpr int rate = 48000;
constexpr int recorded_channels = 4;
constexpr double delay_ms = 500.0;

std::vector<int16_t> s16_samples(const std::string& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 * i]);
        const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
        samples[i] = static_cast<int16_t>(low | (high << 8));
    }
    return samples;
}

// The interleaved stereo samples of the WAV file make_clicks writes (a 44-byte header).
std::vector<int16_t> click_samples(const std::string& wav) {
    if (wav.size() < 44 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(36, 4, "data") != 0) {
        return {};
    }
    return s16_samples(wav.substr(44));
}

struct listed_click {
    int channel;  // 0: both
    long frame;
};

std::vector<listed_click> click_list(const std::string& text) {
    std::vector<listed_click> clicks;
    std::istringstream lines(text);
    listed_click click{};
    double time_ms = 0;
    while (lines >> click.channel >> time_ms >> click.frame) {
        clicks.push_back(click);
    }
    return clicks;
}

// Onsets in channels 1-2 of the recording: the first frame at a quarter of full scale or more,
// then 50 ms of hold-off, as click_delay finds them.
std::vector<listed_click> onsets(const std::vector<int16_t>& recording) {
    std::vector<listed_click> found;
    const long frames = static_cast<long>(recording.size() / recorded_channels);
    const long holdoff = rate / 20;
    for (long frame = 0; frame < frames; ++frame) {
        const bool left = std::abs(recording[frame * recorded_channels]) >= 8192;
        const bool right = std::abs(recording[frame * recorded_channels + 1]) >= 8192;
        if (left || right) {
            found.push_back({left && right ? 0 : (left ? 1 : 2), frame});
            frame += holdoff - 1;
        }
    }
    return found;
}

struct trial_result {
    process_result measure;
    std::map<std::string, std::string> summary;
    std::string program_out;
    std::string program_status;
    std::string rig_log;
    std::string recording;
};

class JackServer : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir("ldjk");
        const process_result started = run_program({"/bin/bash", fixture, "start", dir}, {}, 30);
        ASSERT_EQ(started.status, 0) << "the JACK test server did not start:\n"
                                     << started.out << started.err;
        const process_result clicks = make_click_train(dir, 48000);
        ASSERT_EQ(clicks.status, 0) << clicks.err;
    }
    void TearDown() override {
        const process_result stopped = run_program({"/bin/bash", fixture, "stop", dir}, {}, 30);
        EXPECT_EQ(stopped.status, 0) << stopped.out << stopped.err;
        if (!HasFailure()) {
            remove_tree(dir);
        }
    }

    trial_result measure(const std::vector<std::string>& options,
                         const std::vector<std::string>& command) {
        trial_result result;
        result.recording = dir + "/recording.raw";
        std::vector<std::string> argv{"/bin/bash", fixture, "measure", dir};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {dir + "/clicks.wav", result.recording});
        if (!command.empty()) {
            argv.push_back("--");
            argv.insert(argv.end(), command.begin(), command.end());
        }
        result.measure = run_program(argv, {rig_env}, 90);
        result.summary = fields_of(last_line(result.measure.out));
        result.program_out = read_file(result.recording + ".cmd.log");
        result.program_status = read_file(result.recording + ".status");
        result.rig_log = read_file(result.recording + ".rig.log");
        return result;
    }

    trial_result run_livedelay(const std::string& device) {
        return measure({"--wait", "--lead", "2.5", "--tail", "1.5", "--limit", "60"},
                       {LIVEDELAY_BIN, device, "2", "1", "1", "0.5", "48000", "12"});
    }

    // Every click back on channels 3-4 at one delay; prints the delay, which the engine's
    // latency decides and which this test does not hold to a figure.
    void expect_every_click_back(const trial_result& r, const std::string& device) {
        const process_result analysed =
            run_program({CLICK_DELAY_BIN, "--tolerance-ms", "5", "--expect-min-ms",
                         std::to_string(delay_ms), "--max-spread-ms", "1", "--min-matched", "19",
                         "--max-missing", "0", "--max-gaps", "0", r.recording},
                        {}, 60);
        EXPECT_EQ(analysed.status, 0) << analysed.out << analysed.err << r.rig_log;
        auto summary = fields_of(last_line(analysed.out));
        const double median = std::atof(summary["delay_ms_median"].c_str());
        std::printf(
            "[ measured ] %s: delay %.3f ms (min %s, max %s), %.3f ms over the %g ms asked\n",
            device.c_str(), median, summary["delay_ms_min"].c_str(),
            summary["delay_ms_max"].c_str(), median - delay_ms, delay_ms);
        RecordProperty("delay_ms_median", summary["delay_ms_median"]);
    }

    std::string dir;
};

void expect_clean_finish(const trial_result& r) {
    EXPECT_EQ(r.measure.status, 0) << r.measure.out << r.measure.err;
    EXPECT_EQ(r.program_status, "0\n") << r.program_out;
    EXPECT_TRUE(r.program_out.ends_with("\nFinished\n")) << r.program_out;
    EXPECT_EQ(r.program_out.find("\nRX\n"), std::string::npos) << r.program_out;
    EXPECT_EQ(r.program_out.find("\nPX\n"), std::string::npos) << r.program_out;
}

// Alone, the rig records exactly the file it plays, from --lead on, every click where
// make_clicks put it, and nothing comes back; the recording is complete when it stops.
TEST_F(JackServer, TheRigRecordsWhatItPlaysToTheSampleAndSilenceOnTheReturn) {
    trial_result r = measure({"--lead", "1", "--tail", "0.5", "--limit", "30"}, {});
    ASSERT_EQ(r.measure.status, 0) << r.measure.out << r.measure.err << r.rig_log;
    EXPECT_EQ(r.summary["command_status"], "none");
    EXPECT_EQ(r.summary["command_stopped"], "0");

    const std::string bytes = read_file(r.recording);
    const std::vector<int16_t> recording = s16_samples(bytes);
    const std::vector<int16_t> signal = click_samples(read_file(dir + "/clicks.wav"));
    ASSERT_EQ(signal.size(), 8u * rate * 2);
    const size_t lead = rate;
    const size_t frames = recording.size() / recorded_channels;
    ASSERT_GE(frames, lead + signal.size() / 2 + rate / 4);
    EXPECT_NE(r.rig_log.find("rig: stopped frames=" + std::to_string(frames) + " "),
              std::string::npos)
        << r.rig_log;

    size_t wrong = 0;
    size_t returned = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        const int16_t* got = &recording[frame * recorded_channels];
        const bool playing = frame >= lead && frame - lead < signal.size() / 2;
        for (int c = 0; c < 2; ++c) {
            const int16_t want = playing ? signal[(frame - lead) * 2 + c] : 0;
            wrong += got[c] != want ? 1 : 0;
        }
        returned += (got[2] != 0 || got[3] != 0) ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u) << "samples on channels 1-2 that differ from the file";
    EXPECT_EQ(returned, 0u) << "frames with sound on channels 3-4";

    const std::vector<listed_click> listed = click_list(read_file(dir + "/clicks.txt"));
    const std::vector<listed_click> heard = onsets(recording);
    ASSERT_GE(listed.size(), 19u);
    ASSERT_EQ(heard.size(), listed.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(heard[i].channel, listed[i].channel) << "click " << i;
        EXPECT_EQ(heard[i].frame, static_cast<long>(lead) + listed[i].frame) << "click " << i;
    }
}

// The rig stops with a status that says so when the server goes away, and keeps what it had:
// its signal starts after a tenth of a second, so by then it has recorded that much.
TEST_F(JackServer, TheRigFailsWhenTheServerGoesAway) {
    const std::string recording = dir + "/orphan.raw";
    const std::string server = last_line(read_file(dir + "/server"));
    ASSERT_FALSE(server.empty());
    background_process rig = start_program(
        {JACK_RIG_BIN, "--server", server, "--lead", "0.1", dir + "/clicks.wav", recording}, {},
        dir, "rig");
    ASSERT_TRUE(wait_for_output(rig, "rig: signal_start", 10)) << read_file(rig.out_path);
    const process_result stopped = run_program({"/bin/bash", fixture, "stop", dir}, {}, 30);
    ASSERT_EQ(stopped.status, 0) << stopped.out << stopped.err;
    const process_result r = finish_program(rig, 15);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    const std::string bytes = read_file(recording);
    EXPECT_GT(bytes.size(), 0u);
    EXPECT_EQ(bytes.size() % (2 * recorded_channels), 0u);
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
        const std::string killed_dir = make_temp_dir("ldjk");
        const process_result started =
            run_program({"/bin/bash", fixture, "start", killed_dir}, {}, 40);
        ASSERT_EQ(started.status, 0) << started.out << started.err;
        const pid_t server = std::atoi(read_file(killed_dir + "/pid").c_str());
        ASSERT_GT(server, 0);
        kill(server, SIGKILL);
        // Gone, and reaped: JACK takes a server that is not reaped yet for a live one.
        EXPECT_EQ(waitpid(server, nullptr, 0), server) << "pid " << server << " was never reaped";
        EXPECT_NE(kill(server, 0), 0) << "pid " << server << " was never reaped";
        run_program({"/bin/bash", fixture, "stop", killed_dir}, {}, 30);
        remove_tree(killed_dir);
    }
}

// `rig` is plug over the jack PCM whose ports are the rig's own.
TEST_F(JackServer, LivedelayOnRigBringsEveryClickBackAtOneDelay) {
    const trial_result r = run_livedelay("rig");
    expect_clean_finish(r);
    expect_every_click_back(r, "rig");
}

// The stock plug:jack goes to the dummy driver's silent system ports; the rig joins in.
TEST_F(JackServer, LivedelayOnPlugJackIsFollowedAndEveryClickComesBack) {
    const trial_result r = run_livedelay("plug:jack");
    expect_clean_finish(r);
    size_t followed = 0;
    for (size_t at = r.rig_log.find("rig: follows "); at != std::string::npos;
         at = r.rig_log.find("rig: follows ", at + 1)) {
        ++followed;
    }
    EXPECT_EQ(followed, 4u) << r.rig_log;
    expect_every_click_back(r, "plug:jack");
}

}  // namespace
