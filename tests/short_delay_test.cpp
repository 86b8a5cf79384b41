// Short delays on the card's clock, as lip sync asks for them: the period follows the delay,
// the delay heard is the one asked to the millisecond, and a delay shorter than the device
// allows plays at its shortest, said to the millisecond.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "monotonic.hpp"
#include "support/fake_card.hpp"
#include "support/process.hpp"
#include "support/sim_card.hpp"

namespace {

// The program as it ships: a deadline of a few ms judges the program, not the sanitizers'
// own cost. The sanitized build runs the same paths in simulated time. (The start at the
// card's shortest, 10 ms, still underruns now and then, alone, in either build: once in ten
// runs of the suite. In simulated time it takes wakes 6 ms late to do that.)
const std::string binary = LIVEDELAY_PLAIN_BIN;

class ShortDelays : public ::testing::Test {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override { remove_tree(dir); }

    background_process start(double delay, unsigned rate, int seconds,
                             const std::string& input = "/dev/null") {
        stolen_before_ms = stolen_ms();
        return start_program({binary, "faulty:PACE=clock", "1", "1", "1", std::to_string(delay),
                              std::to_string(rate), std::to_string(seconds)},
                             {fake_card_env(dir)}, dir, "run", input);
    }
    heard_channel heard(unsigned rate) const {
        return hear(read_file(dir + "/played.raw"), 2, 0, {rate, 0, 0});
    }
    // Every frame heard at `delay` within a millisecond, once the first judgment is heard.
    void expect_heard_at(double delay, unsigned rate) const {
        const heard_channel h = heard(rate);
        for (const std::string& problem :
             delay_problems(h, {rate, 0, 0},
                            {.delay = delay, .tolerance = 0.001, .settle = unjudged_seconds})) {
            ADD_FAILURE() << problem;
        }
        EXPECT_GE(static_cast<int64_t>(h.frames.size()), 2 * int64_t{rate});
    }
    // On a marker, the card's log says at which frame of its clock each stream ran out, and
    // the kernel whether the program waited on the disk, was pushed off its CPU, or the
    // machine's host took the CPUs away.
    void expect_no_marker(const process_result& r) const {
        const std::string why = read_file(dir + "/card.log") + "major faults " +
                                std::to_string(r.major_faults) + ", involuntary switches " +
                                std::to_string(r.involuntary_switches) + ", stolen by the host " +
                                std::to_string(stolen_ms() - stolen_before_ms) + " ms\n";
        EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out << why;
        EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out << why;
    }
    // CPU time the hypervisor gave to others, summed over this machine's CPUs: the steal
    // field of /proc/stat, in ticks of 10 ms.
    static long stolen_ms() {
        std::istringstream all(read_file("/proc/stat"));
        std::string cpu;
        long fields[8] = {};
        all >> cpu;
        for (long& f : fields) {
            all >> f;
        }
        return fields[7] * 10;
    }

    std::string dir;
    long stolen_before_ms = 0;
};

struct short_case {
    std::string name;
    unsigned rate;
    double delay;
    int period_frames;  // the largest power of two of at most a third of the delay
};

void PrintTo(const short_case& c, std::ostream* os) {
    *os << c.name;
}

class ShortDelay : public ShortDelays, public ::testing::WithParamInterface<short_case> {};

TEST_P(ShortDelay, IsHeardAsAskedOnAPeriodThatFitsIt) {
    const short_case& c = GetParam();
    background_process run = start(c.delay, c.rate, 3);
    const process_result r = finish_program(run, 30);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    char said[96];
    std::snprintf(said, sizeof said, "Periods of %d frames (%.1f ms) for a delay this short\n",
                  c.period_frames, 1000.0 * c.period_frames / c.rate);
    EXPECT_EQ(r.err, said);
    expect_heard_at(c.delay, c.rate);
}

INSTANTIATE_TEST_SUITE_P(LipSync, ShortDelay,
                         // Two shapes on the real path; every short delay, late wakes and
                         // all, is run in simulated time (Sim/Start, SimCard.WakesLate*).
                         ::testing::Values(short_case{"FiftyMs", 48000, 0.050, 512},
                                           short_case{"HundredMsAt44100", 44100, 0.100, 1024}),
                         [](const auto& info) { return info.param.name; });

// Kilobytes locked in the executable mappings of /proc/PID/smaps whose file name holds `name`.
long locked_code_kb(const std::string& smaps, const std::string& name) {
    std::istringstream lines(smaps);
    bool counted = false;
    long locked_kb = 0;
    for (std::string line; std::getline(lines, line);) {
        // A mapping's line starts with its address range, each of its figures with a key.
        std::istringstream words(line);
        std::string first;
        std::string second;
        words >> first >> second;
        if (!first.ends_with(':')) {
            counted = second.find('x') != std::string::npos && line.find(name) != std::string::npos;
        } else if (counted && first == "Locked:") {
            locked_kb += std::stol(second);
        }
    }
    return locked_kb;
}

// A delay of none plays at the shortest the device allows on the shortest period, and the
// line that says so is right to the millisecond. Where the system grants it (as to root), the
// loop runs at a real-time priority, and its code and its libraries' are locked in memory: a
// page of code read again from a disk busy with a large write took it 25 ms.
TEST_F(ShortDelays, NonePlaysAtTheShortestAndSaysIt) {
    background_process run = start(0, 48000, 3);
    ASSERT_TRUE(wait_for_output(run, "\r2 sec", 20)) << read_file(run.err_path);
    const std::vector<std::string> stat = stat_fields(run.pid);
    const std::string smaps = read_file("/proc/" + std::to_string(run.pid) + "/smaps");
    const process_result r = finish_program(run, 30);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    const size_t at = r.err.find("The shortest delay on this device is ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const double said = std::strtod(r.err.c_str() + at + 37, nullptr);
    const heard_channel h = heard(48000);
    ASSERT_FALSE(h.frames.empty());
    EXPECT_NEAR(h.frames.back().delay, said, 0.001) << r.err;
    EXPECT_LT(said, 0.012) << "two periods of 128 frames and a margin";
    if (geteuid() == 0) {
        // The policy is the 41st field of the line, the 39th after the command's name.
        ASSERT_GT(stat.size(), 38u);
        EXPECT_EQ(stat[38], "1") << "SCHED_FIFO";
        EXPECT_GT(locked_code_kb(smaps, "/livedelay_plain"), 0) << smaps;
        EXPECT_GT(locked_code_kb(smaps, "/libasound.so"), 0) << smaps;
    }
}

// A live change below the shortest delay of the run plays at that and says what it can do.
TEST_F(ShortDelays, ALiveChangeBelowTheRunsShortestSaysSo) {
    const std::string fifo = dir + "/commands";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR);
    background_process run = start(0.5, 48000, 2, fifo);
    ASSERT_TRUE(wait_for_output(run, "\r1 sec", 20)) << read_file(run.err_path);
    ASSERT_EQ(write(writer, "delay 0.05\n", 11), 11);
    const process_result r = finish_program(run, 30);
    close(writer);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    EXPECT_NE(r.err.find("The shortest delay of this run is 0.17"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; a run started with the shorter delay goes lower\n"), std::string::npos)
        << r.err;
}

// With one core kept busy by a neighbour, a short delay still holds.
TEST_F(ShortDelays, FiftyMsHoldBesideABusyNeighbour) {
    std::vector<int> busy = start_busy_loops(1, 19);
    background_process run = start(0.05, 48000, 3);
    const process_result r = finish_program(run, 30);
    stop_busy_loops(busy);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    expect_heard_at(0.05, 48000);
}

// The loaded machine the scenarios in simulated time model, against this one: with a busy
// neighbour on every core, 99 % of wakes from a 5 ms wait come no later than every simulated
// wake of a loaded machine.
TEST(BusyNeighbour, WakesNoLaterThanTheSimulatedLoadedMachine) {
    std::vector<int> busy = start_busy_loops(sysconf(_SC_NPROCESSORS_ONLN), 19);
    std::vector<int64_t> late_ns;
    for (int i = 0; i < 400; ++i) {
        const int64_t before = livedelay::monotonic_ns();
        poll(nullptr, 0, 5);
        late_ns.push_back(livedelay::monotonic_ns() - before - 5000000);
    }
    stop_busy_loops(busy);
    std::sort(late_ns.begin(), late_ns.end());
    EXPECT_LT(late_ns[late_ns.size() * 99 / 100], loaded_wake_late_ns)
        << "median " << late_ns[late_ns.size() / 2] << " ns, latest " << late_ns.back() << " ns";
}

}  // namespace
