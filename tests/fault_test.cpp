// The real binary on the fault-injecting card of tests/fake_card: what a card offers, and
// xruns, suspends, a device that goes away and short transfers in the middle of a run.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"
#include "support/virtual_devices.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;

// A test directory with the card's configuration in it.
class FakeCard : public ::testing::Test {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override { remove_tree(dir); }

    process_result run(const std::string& device, const std::vector<std::string>& args = {},
                       int timeout_seconds = 30) const {
        std::vector<std::string> argv{binary, device};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, {fake_card_env(dir)}, timeout_seconds);
    }
    std::string card_log() const { return read_file(dir + "/card.log"); }

    // Each played channel is silent, or the captured channel routed to it `delay_frames` late
    // with silence before it. Gives the frames played.
    int64_t expect_delayed(int channels, const std::vector<std::pair<int, int>>& routes,
                           int64_t delay_frames) const {
        const routed_check check =
            check_routed(read_file(dir + "/played.raw"), channels, routes, delay_frames);
        for (const std::string& difference : check.differences) {
            ADD_FAILURE() << difference;
        }
        return check.frames;
    }

    std::string dir;
};

// What the list says of each card: the name that converts for one that takes no packed 24-bit
// or no non-interleaved samples, the one direction of a card whose other side is busy, the
// channels and rates both directions take, and through ALSA's plug the rate the card runs at.
TEST_F(FakeCard, ListSaysWhatEachCardIsGoodFor) {
    const process_result r = run_program({binary, "--list"}, {fake_card_env(dir)}, 30);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* line : {
             "faulty works channels 1-64, rates 8000-192000 Hz",
             "no24 use plug:no24 channels 1-64, rates 8000-192000 Hz",
             "interleavedonly use plug:interleavedonly channels 1-64, rates 8000-192000 Hz",
             "busycapture playback only (capture busy) channels 1-64, rates 8000-192000 Hz",
             "capture32k works channels 1-64, rate 32000 Hz",
             "six works channels 6, rates 8000-192000 Hz",
             "plug48k works channels 1-10000, rate 48000 Hz, others resampled",
         }) {
        const std::string name = std::string(line).substr(0, std::string(line).find(' '));
        EXPECT_EQ(listed_line(r.out, name), line) << r.out;
    }
}

// The format message stays as it is; the line after it names the device that converts.
TEST_F(FakeCard, CardWithoutPackedTwentyFourBitsFailsAtThePlaybackFormat) {
    const process_result r = run("no24");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, device_only_report("no24"));
    EXPECT_EQ(r.err, std::string("Problem setting playback format: ") + strerror(EINVAL) +
                         "\nThe device takes no 24-bit samples; plug:no24 converts them.\n");
}

// A device that takes interleaved samples only runs through ALSA's conversion, says so at
// once, and is heard the delay late as any other.
TEST_F(FakeCard, InterleavedOnlyRunsThroughItsConvertingName) {
    const process_result r = run("interleavedonly", {"1", "1", "1", "0.5", "44100", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Time out at 3 sec\nDevice interleavedonly takes interleaved samples "
                         "only; running plug:interleavedonly, which converts\n"),
              std::string::npos)
        << r.out;
    const card_clocks clocks{44100, 0, 0};
    const heard_channel heard = hear(read_file(dir + "/played.raw"), 2, 0, clocks);
    for (const std::string& problem : delay_problems(heard, clocks, {.settle = unjudged_seconds})) {
        ADD_FAILURE() << problem;
    }
    EXPECT_GE(static_cast<int64_t>(heard.frames.size()), 2 * 44100);
}

TEST_F(FakeCard, BusyCaptureSideFailsAtTheRecordOpen) {
    const process_result r = run("busycapture");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, device_only_report("busycapture"));
    EXPECT_EQ(last_line(r.err),
              std::string("unable to open pcm record device: ") + strerror(EBUSY));
}

struct refusal_case {
    std::string device;
    std::string record_row;  // what the card was left with
};

void PrintTo(const refusal_case& c, std::ostream* os) {
    *os << c.device;
}

class CaptureRefusal : public FakeCard, public ::testing::WithParamInterface<refusal_case> {};

// Playback is granted 4096, 16384, 44100 Hz, 2 channels; capture cannot run with it.
TEST_P(CaptureRefusal, PrintsTheGrantedParametersAndStops) {
    const refusal_case& c = GetParam();
    const process_result r = run(c.device);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, device_only_report(c.device) +
                         "Could not set record hardware parameters: " + strerror(EINVAL) +
                         "\nReturned Driver Parameters:\n\tBuf 1\tBuf 2\tRate\tChannels\n"
                         "Play\t4096\t16384\t44100\t2\n" +
                         c.record_row + "\n-------------------------\n\n");
}

INSTANTIATE_TEST_SUITE_P(Cards, CaptureRefusal,
                         ::testing::Values(
                             // Its rules allow 44100 Hz, its hw_params does not.
                             refusal_case{"capture48k", "Record\t4096\t16384\t44100\t2"},
                             // It offers 32000 Hz only: capture must not run slower than playback.
                             refusal_case{"capture32k", "Record\t4096\t16384\t32000\t2"}));

// Asked for 44100 Hz, the card runs at 48000: the run says so once, and the delay and the
// time-out keep their length in seconds at the rate that runs.
TEST_F(FakeCard, AnotherRateGrantedKeepsTheSecondsTrue) {
    const process_result r = run("only48k", {"1", "1", "1", "0.5", "44100", "2"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sample rate = 44100\nTime out at 2 sec\n"
                         "Sample rate 44100 is not available here; running at 48000\n"),
              std::string::npos)
        << r.out;
    const int64_t frames = expect_delayed(2, {{0, 0}}, 24000);
    EXPECT_GE(frames, 2 * 48000);
    EXPECT_LT(frames, 2 * 48000 + 4096);
}

TEST_F(FakeCard, CaptureAsksForThePeriodPlaybackWasGranted) {
    const process_result r = run("period1024", {"1", "1", "1", "0.1", "44100", "1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string log = card_log();
    EXPECT_NE(log.find("playback hw_params period 1024 "), std::string::npos) << log;
    EXPECT_NE(log.find("capture hw_params period 1024 "), std::string::npos) << log;
    expect_delayed(2, {{0, 0}}, 4410);
}

// Six channels whatever is asked: the routed ones carry the delayed stream, the rest silence.
TEST_F(FakeCard, FixedChannelCountCarriesTheRoutedChannelsOnly) {
    const process_result mono = run("six", {"1", "1", "2", "0.1", "44100", "2"});
    ASSERT_EQ(mono.status, 0) << mono.out << mono.err;
    EXPECT_GE(expect_delayed(6, {{0, 1}}, 4410), 2 * 44100);
    remove_tree(dir + "/played.raw");
    const process_result both = run("six", {"3", "2", "3", "0.25", "48000", "2"});
    ASSERT_EQ(both.status, 0) << both.out << both.err;
    EXPECT_GE(expect_delayed(6, {{1, 2}, {1, 3}}, 12000), 2 * 48000);
}

struct fault_case {
    std::string name;
    std::string device;   // faulty:<arguments>
    std::string marker;   // on standard output, before "Finished"
    std::string failure;  // the one line on standard error when the run ends with status 1
};

void PrintTo(const fault_case& c, std::ostream* os) {
    *os << c.name;
}

class Fault : public FakeCard, public ::testing::WithParamInterface<fault_case> {};

// The fault strikes about a second into a 3 s run with a 0.5 s delay, on an unpaced card:
// the run either goes on and plays the input exactly the delay late, or ends at once.
TEST_P(Fault, RecoversWithoutCorruptingTheStreamOrStopsAtOnce) {
    const fault_case& c = GetParam();
    const process_result r = run(c.device, {"1", "1", "1", "0.5", "44100", "3"}, 20);
    ASSERT_NE(card_log().find("fault at frame"), std::string::npos) << card_log();
    if (!c.failure.empty()) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.failure + "\n");
        EXPECT_EQ(r.out.find("Finished"), std::string::npos);
        return;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("\nFinished\n")) << r.out;
    EXPECT_EQ(r.out.find("\nRX\n") != std::string::npos, c.marker == "RX") << r.out;
    EXPECT_EQ(r.out.find("\nPX\n") != std::string::npos, c.marker == "PX") << r.out;
    const int64_t frames = expect_delayed(2, {{0, 0}}, 22050);
    EXPECT_GE(frames, 3 * 44100);
    EXPECT_LT(frames, 3 * 44100 + 4096);
}

INSTANTIATE_TEST_SUITE_P(
    Unpaced, Fault,
    ::testing::Values(
        fault_case{"CaptureXrun", "faulty:CFAULT=xrun,CAT=40000", "RX", ""},
        fault_case{"PlaybackXrun", "faulty:PFAULT=xrun,PAT=40000", "PX", ""},
        fault_case{"CaptureSuspend", "faulty:CFAULT=suspend,CAT=40000", "", ""},
        fault_case{"PlaybackSuspend", "faulty:PFAULT=suspend,PAT=40000", "", ""},
        // snd_pcm_resume gives 0 but the stream stays suspended: it has to be prepared.
        fault_case{"CaptureSuspendNoResume", "faulty:CFAULT=suspend,CAT=40000,RESUME=false", "",
                   ""},
        fault_case{"PlaybackSuspendNoResume", "faulty:PFAULT=suspend,PAT=40000,RESUME=false", "",
                   ""},
        fault_case{"CaptureShort", "faulty:CFAULT=short,CAT=40000", "", ""},
        fault_case{"PlaybackShort", "faulty:PFAULT=short,PAT=40000", "", ""},
        fault_case{"CaptureGone", "faulty:CFAULT=gone,CAT=40000", "",
                   std::string("Capture stream failed: ") + strerror(ENODEV)},
        fault_case{"PlaybackGone", "faulty:PFAULT=gone,PAT=40000", "",
                   std::string("Playback stream failed: ") + strerror(ENODEV)},
        fault_case{"PlaybackGoneAtTheFirstWrite", "faulty:PFAULT=gone,PAT=0", "",
                   std::string("Playback stream failed: ") + strerror(ENODEV)}),
    [](const auto& info) { return info.param.name; });

struct paced_case {
    std::string name;
    std::string device;
    int seconds;
    std::string marker;        // RX, PX or nothing on standard output
    std::string fault_stream;  // "capture", "playback" or "": the stream the fault strikes
};

void PrintTo(const paced_case& c, std::ostream* os) {
    *os << c.name;
}

class Paced : public FakeCard, public ::testing::WithParamInterface<paced_case> {};

// On the card's clocks, a 0.5 s delay at 44100 Hz: every captured frame is heard 0.5 s after
// it was captured, within 1 ms (3 ms in the first quarter second, while the delay is first
// judged), with no silence once the sound has started. A fault about two
// seconds in shows its marker, and from 1.5 s after it the delay is 0.5 s again, within 2 ms;
// no frame is ever played twice or out of capture order, not even while the program recovers.
TEST_P(Paced, HearsEveryFrameTheDelayAfterItWasCaptured) {
    const paced_case& c = GetParam();
    const process_result r =
        run(c.device, {"1", "1", "1", "0.5", "44100", std::to_string(c.seconds)}, c.seconds + 30);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("\nFinished\n"));
    EXPECT_EQ(r.out.find("\nRX\n") != std::string::npos, c.marker == "RX") << r.out;
    EXPECT_EQ(r.out.find("\nPX\n") != std::string::npos, c.marker == "PX") << r.out;
    const card_clocks clocks{44100, 0, 0};
    // Once a fault has been recovered from, the delay is held as after any restart: within
    // 2 ms, the bound a settled correction keeps to.
    delay_rule rule{.delay = 0.5,
                    .tolerance = c.fault_stream.empty() ? 0.001 : 0.002,
                    .settle = unjudged_seconds};
    const std::string log = card_log();
    if (!c.fault_stream.empty()) {
        const std::vector<int64_t> fault = logged_clock_frames(log, c.fault_stream + " fault");
        ASSERT_EQ(fault.size(), 1u) << log;
        rule.fault =
            clock_seconds(fault[0], clocks.rate,
                          c.fault_stream == "capture" ? clocks.capture_ppm : clocks.playback_ppm);
    }
    const heard_channel heard = hear(read_file(dir + "/played.raw"), 2, 0, clocks);
    for (const std::string& problem : delay_problems(heard, clocks, rule)) {
        ADD_FAILURE() << problem;
    }
    EXPECT_GE(static_cast<int64_t>(heard.frames.size()), (c.seconds - 1) * 44100) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Clock, Paced,
    // The xruns through alsa-lib's own recovery; a minute, suspends and the other faults are
    // run in simulated time (Sim/Fault, SimCard.AMinuteHoldsEveryFrame in tests/sim_test.cpp).
    ::testing::Values(paced_case{"CaptureXrun", "faulty:PACE=clock,CFAULT=xrun,CAT=100000", 5, "RX",
                                 "capture"},
                      paced_case{"PlaybackXrun", "faulty:PACE=clock,PFAULT=xrun,PAT=100000", 5,
                                 "PX", "playback"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
