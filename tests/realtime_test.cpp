// The real binary in real time on private PulseAudio, PipeWire and JACK servers, each with a
// rig that records the signal going in and the program's output on one clock: the delay
// heard must be the delay asked, from the first frame captured to the end of the run. The
// trials of one server run on one server, the test runner's, one after another: all but the
// first find a server that has served other streams, and each must be exact all the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/realtime.hpp"

namespace {

struct server_shape {
    std::string name;
    sound_server server;
    std::string device = "rig";
};

void PrintTo(const server_shape& s, std::ostream* os) {
    *os << s.name;
}

// Capture runs from this long after the program starts at the latest: under the sanitizers,
// opening the device's two streams (two clients of a JACK server) takes 0.2 to 0.4 s. A click
// before that was never captured; one after it must come back.
constexpr double startup_allowance_ms = 500.0;

class RealTime : public ::testing::TestWithParam<server_shape> {
protected:
    void SetUp() override { ASSERT_TRUE(session.open(GetParam().server)); }
    void TearDown() override { session.close(HasFailure()); }

    // Runs the program for the signal, `lead` seconds after the program started, and
    // `extra_options` of the fixture's measure.
    measurement run(const std::string& delay, const std::string& lead, int seconds,
                    const std::vector<std::string>& extra_options = {}) {
        lead_ms = std::stod(lead) * 1000.0;
        std::vector<std::string> options{"--wait", "--lead", lead, "--tail", "1", "--limit", "90"};
        options.insert(options.end(), extra_options.begin(), extra_options.end());
        return measure(server, work + "/clicks.wav", work + "/recording.raw", options,
                       {LIVEDELAY_BIN, GetParam().device, "2", "1", "1", delay,
                        std::to_string(server.rate), std::to_string(seconds)});
    }

    analysis judge(const measurement& m, const std::vector<std::string>& checks) {
        std::vector<std::string> args{"--rate", std::to_string(server.rate), "--tolerance-ms", "5"};
        args.insert(args.end(), checks.begin(), checks.end());
        args.push_back(m.recording);
        return analyse(args);
    }

    // Where the signal's first click lies in the recording, less where the click list has it:
    // the recording time at which the signal started.
    double signal_start_ms(const analysis& a) {
        const std::vector<listed_click> listed = session.listed();
        if (a.clicks.empty() || listed.empty()) {
            ADD_FAILURE() << "no clicks to place the signal by";
            return NAN;
        }
        return a.clicks.front().in_ms - listed.front().ms;
    }

    // The delay heard: every click back from the moment capture runs, all within the allowed
    // error of `delay_ms`, steady within it, never a click that went in once heard twice, and
    // never a gap in the sound.
    void expect_exact(const measurement& m, double delay_ms) {
        SCOPED_TRACE(server.name);
        expect_clean_finish(m);
        expect_no_xrun(m.program_out);
        const size_t listed = session.listed().size();
        analysis a = judge(
            m, {"--expect-min-ms", std::to_string(delay_ms - early_error_ms()), "--expect-max-ms",
                std::to_string(delay_ms + early_error_ms()), "--min-matched",
                std::to_string(listed - 1), "--max-extra", "0", "--max-gaps", "0"});
        EXPECT_EQ(a.run.status, 0) << a.run.out << m.program_out;
        EXPECT_EQ(a.clicks.size(), listed) << a.run.out;
        const double program_start_ms = signal_start_ms(a) - lead_ms;
        const double capture_runs_ms = program_start_ms + startup_allowance_ms;
        const double judged_again_ms = program_start_ms + judged_again_after_ms;
        for (const click& c : a.clicks) {
            EXPECT_TRUE(!std::isnan(c.out_ms) || c.in_ms < capture_runs_ms)
                << "click at " << c.in_ms << " ms lost; capture runs from " << capture_runs_ms
                << " ms\n"
                << a.run.out;
        }
        // The analyser has found no gap: every click heard is in the first group.
        const std::vector<double> steady = delays_between_gaps(a, 0, judged_again_ms)[0];
        for (const double delay : steady) {
            EXPECT_NEAR(delay, delay_ms, allowed_error_ms()) << a.run.out;
        }
        ASSERT_GE(steady.size(), 5u) << a.run.out;
        const auto [low, high] = std::minmax_element(steady.begin(), steady.end());
        EXPECT_LE(*high - *low, allowed_spread_ms()) << a.run.out;
        std::printf("%s: asked %.0f ms, heard %s ms (%s to %s)\n", server.name.c_str(), delay_ms,
                    a.summary["delay_ms_median"].c_str(), a.summary["delay_ms_min"].c_str(),
                    a.summary["delay_ms_max"].c_str());
    }

    // PipeWire and JACK come out exact to the sample. PulseAudio's early reports wander: its
    // runs come within 1.6 ms on a quiet machine, and one in 94 on a half-busy one came 3.2 ms
    // short, its delay judged on a report that came in stale.
    double allowed_error_ms() const { return server.name == "pulse" ? 4.0 : 2.0; }
    // Steady within this: JACK's rig plays and records on the server's cycle, and every click
    // comes back at the same distance to the sample.
    double allowed_spread_ms() const { return server.name == "jack" ? 1.0 : 2.0; }
    // The delay is judged on the first quarter second of readings and once more on a second of
    // them, and the clicks heard before that second judgment carry the first one's error: a
    // PulseAudio run heard its first two clicks at 504.3 ms and the rest at 500.9 ms, a
    // PipeWire run 502.1 ms and then 500.5 ms. The steady delay is held from there.
    double early_error_ms() const { return server.name == "pulse" ? 5.0 : 3.0; }
    // Capture runs by the startup allowance, a second of readings, the way out to be heard.
    static constexpr double judged_again_after_ms = 2000.0;

    server_session session;
    const sound_server& server = session.server;
    const std::string& work = session.work;  // the signal and the recordings
    double lead_ms = 0;                      // of the last run
};

// The signal starts with the program: nothing the device hands over is lost, and the first
// click is already as late as asked.
TEST_P(RealTime, HalfASecondFromTheFirstFrameCaptured) {
    expect_exact(run("0.5", "0", click_train_seconds + 1), 500.0);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealTime,
                         ::testing::Values(server_shape{"PulseAudio", pulse_server(48000)},
                                           server_shape{"PulseAudio44100", pulse_server(44100)},
                                           server_shape{"PipeWire", pipewire_server()},
                                           server_shape{"JACK", jack_server()}),
                         [](const auto& info) { return info.param.name; });

// What a server does when the program asks for less than it can give, or stops, on the shape
// that is hardest on the program (PulseAudio through `plug`, at 44100 Hz). The rest of what
// the program does on a server is proven in simulated time (tests/sim_test.cpp), against a
// model that PulseServer.BehavesAsTheTestsModelIt holds to the real server.
class ServerEdges : public RealTime {};

// Below what the device needs on its way the delay is the shortest it allows, two periods
// and 3 ms at most, held steady, and said once on standard error. As steady as the server's
// own queue: the program holds nothing then, and that queue moved by 1.07 ms in one run.
TEST_P(ServerEdges, ZeroPlaysAtTheShortestDelay) {
    const measurement m = run("0", "0.3", click_train_seconds + 1);
    EXPECT_EQ(m.program_status, "0\n") << m.program_out;
    const double most_ms = 8192 * 1000.0 / server.rate + 3.0;
    const size_t listed = session.listed().size();
    analysis a = judge(m, {"--expect-max-ms", std::to_string(most_ms), "--max-spread-ms", "2",
                           "--min-matched", std::to_string(listed), "--max-gaps", "0"});
    EXPECT_EQ(a.run.status, 0) << a.run.out;
    EXPECT_NE(m.program_out.find("The shortest delay on this device is "), std::string::npos)
        << m.program_out;
    std::printf("%s: shortest delay heard %s ms\n", server.name.c_str(),
                a.summary["delay_ms_median"].c_str());
}

// The process stopped for 1.2 s, as a loaded machine may stop it: the xrun or the lost audio
// is reported, and from a second after the program runs again the delay is the one asked. (On
// this shape the first judgment after the stop may still be 4 to 5 ms off, and the judgment
// on a second of readings puts it right: a click captured half a second after was heard
// 504.1 and 504.8 ms late in one run, the later ones exact.)
TEST_P(ServerEdges, AStopOfTheProcessIsReportedAndTheDelayComesBack) {
    // The fixture stops the program this long after the signal starts (1.5 s after the program
    // starts, with the lead of 1 s).
    const double stall_at_s = 0.5;
    const double stall_for_s = 1.2;
    const measurement m = run("0.5", "1", click_train_seconds + 3,
                              {"--stall", std::to_string(stall_at_s), std::to_string(stall_for_s)});
    EXPECT_EQ(m.program_status, "0\n") << m.program_out;
    EXPECT_TRUE(m.program_out.find("\nRX\n") != std::string::npos ||
                m.program_out.find("\nPX\n") != std::string::npos)
        << m.program_out;
    const analysis all = judge(m, {});
    const double back_from_ms = signal_start_ms(all) + (stall_at_s + stall_for_s + 1.0) * 1000.0;
    int heard_after = 0;
    for (const click& c : all.clicks) {
        if (c.in_ms < back_from_ms) {
            continue;
        }
        ++heard_after;
        EXPECT_NEAR(c.out_ms - c.in_ms, 500.0, std::max(3.0, allowed_error_ms()))
            << "click at " << c.in_ms << " ms";
    }
    EXPECT_GE(heard_after, 4);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerEdges,
                         ::testing::Values(server_shape{"PulseAudio44100", pulse_server(44100)}),
                         [](const auto& info) { return info.param.name; });

// The names a desktop offers only change how the device is opened: the stock plug:jack (the
// dummy driver's silent system ports, which the rig joins) and plug:default on PulseAudio. One
// trial each shows the name reaches the same exact path as the server's rig; the trials above
// hold that path to the rest. (`default` on PipeWire names PulseAudio's plugin on
// pipewire-pulse, and the program runs PipeWire's own instead, the path of the PipeWire trial
// above: tests/names_test.cpp shows it takes that path.)
class DesktopName : public RealTime {};

TEST_P(DesktopName, HalfASecondFromTheFirstFrameCaptured) {
    expect_exact(run("0.5", "0", click_train_seconds + 1), 500.0);
}

INSTANTIATE_TEST_SUITE_P(Names, DesktopName,
                         ::testing::Values(server_shape{"JackPlugJack", jack_server(), "plug:jack"},
                                           server_shape{"PulseAudioPlugDefault",
                                                        pulse_server(48000), "plug:default"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
