// Live control as the run reads it: lines of standard input and keys of a terminal, turned
// into changes of the delay, and what is refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "control.hpp"

namespace livedelay {
namespace {

size_t count_lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct line_case {
    std::string line;
    delay_command::kind what;
    double seconds;
    std::string refusal;  // its start
};

TEST(ControlLine, SetsMovesDumpsOrSaysWhyNot) {
    using k = delay_command::kind;
    for (const line_case& c : {
             line_case{"delay 3.25", k::set, 3.25, ""},
             line_case{"  delay\t0 \r", k::set, 0, ""},
             line_case{"delay +0.01", k::move, 0.01, ""},
             line_case{"delay -0.1", k::move, -0.1, ""},
             line_case{"delay 600", k::set, 600, ""},
             line_case{"delay 700", k::set, 700, ""},  // the range is judged where it applies
             line_case{"dump", k::dump, 0, ""},
             line_case{"delay", k::none, 0, "Unknown command"},
             line_case{"delay3", k::none, 0, "Unknown command"},
             line_case{"dumpster", k::none, 0, "Unknown command"},
             line_case{"DELAY 1", k::none, 0, "Unknown command"},
             line_case{"", k::none, 0, ""},  // an empty line is no command, and no refusal
             line_case{" \t ", k::none, 0, ""},
             line_case{"delay abc", k::none, 0, "Delay time is not a number"},
             line_case{"delay 1.5s", k::none, 0, "Delay time is not a number"},
             line_case{"delay nan", k::none, 0, "Delay time is not a number"},
             line_case{"delay inf", k::none, 0, "Delay time is not a number"},
         }) {
        delay_command got;
        std::string refusal;
        EXPECT_EQ(parse_control_line(c.line, got, refusal) < 0, !c.refusal.empty()) << c.line;
        EXPECT_EQ(got.what, c.what) << c.line;
        EXPECT_DOUBLE_EQ(got.seconds, c.seconds) << c.line;
        EXPECT_TRUE(refusal.starts_with(c.refusal)) << c.line << ": " << refusal;
        EXPECT_EQ(refusal.empty(), c.refusal.empty()) << c.line << ": " << refusal;
    }
}

TEST(ControlLine, TheDelayAskedStaysWithinZeroTo600Seconds) {
    EXPECT_DOUBLE_EQ(*asked_delay({delay_command::kind::move, -0.1}, 3.0), 2.9);
    EXPECT_DOUBLE_EQ(*asked_delay({delay_command::kind::set, 1.5}, 3.0), 1.5);
    EXPECT_FALSE(asked_delay({delay_command::kind::dump, 0}, 3.0));
    for (const auto& [seconds, said] : std::vector<std::pair<double, std::string>>{
             {0, ""},
             {600, ""},
             {600.01, "Delay time can be set up to 600 seconds"},
             {-0.001, "Delay time is less than zero!"}}) {
        std::string refusal;
        EXPECT_EQ(check_delay_range(seconds, refusal) < 0, !said.empty()) << seconds;
        EXPECT_EQ(refusal, said) << seconds;
    }
}

struct key_case {
    std::string keys;
    delay_command::kind what;
    double seconds;
    size_t used;  // 0: more bytes are needed
};

TEST(ControlKeys, StepsOfTenAHundredAndAThousandMillisecondsAndTheDump) {
    using k = delay_command::kind;
    for (const key_case& c : {
             key_case{"+", k::move, 0.01, 1},
             key_case{"=", k::move, 0.01, 1},
             key_case{"-", k::move, -0.01, 1},
             key_case{"_", k::move, -0.01, 1},
             key_case{"\x1b[A", k::move, 0.1, 3},
             key_case{"\x1bOA", k::move, 0.1, 3},
             key_case{"\x1b[B", k::move, -0.1, 3},
             key_case{"\x1bOB", k::move, -0.1, 3},
             key_case{"\x1b[5~", k::move, 1.0, 4},
             key_case{"\x1b[6~", k::move, -1.0, 4},
             key_case{"d", k::dump, 0, 1},
             key_case{"x", k::none, 0, 1},
             key_case{"\x1b", k::none, 0, 0},
             key_case{"\x1b[", k::none, 0, 0},
             key_case{"\x1b[5", k::none, 0, 0},
             key_case{"\x1b[C", k::none, 0, 1},
             key_case{"+-", k::move, 0.01, 1},
         }) {
        size_t used = 99;
        const delay_command got = parse_keys(c.keys, used);
        EXPECT_EQ(got.what, c.what) << testing::PrintToString(c.keys);
        EXPECT_DOUBLE_EQ(got.seconds, c.seconds) << testing::PrintToString(c.keys);
        EXPECT_EQ(used, c.used) << testing::PrintToString(c.keys);
    }
}

// A refusal quotes what it refuses harmlessly: short, with every byte a terminal could act on
// written as an escape, and whole UTF-8 characters kept.
TEST(ControlRefusal, QuotesAShortPrefixWithControlAndStrayBytesEscaped) {
    for (const auto& [text, quoted] : std::vector<std::pair<std::string, std::string>>{
             {"delay", "\"delay\""},
             {"say \"hi\"", "\"say \\\"hi\\\"\""},
             {"a\\b", "\"a\\\\b\""},
             {"\x1b[2J", "\"\\x1b[2J\""},
             {std::string("a\0b", 3), "\"a\\x00b\""},
             {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
             {"\xc3", "\"\\xc3\""},                    // a character cut short
             {"\xc0\xaf", "\"\\xc0\\xaf\""},           // an overlong slash
             {"\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},  // a surrogate
             {"\xc2\x9b", "\"\\xc2\\x9b\""},           // the C1 control CSI
             {"\xff", "\"\\xff\""},
             {"0123456789", "\"01234567\"..."},
             {"012345\xc3\xa9", "\"012345\xc3\xa9\""},
             {"0123456\xc3\xa9", "\"0123456\"..."},  // no half of a character
         }) {
        EXPECT_EQ(quoted_prefix(text, 8), quoted) << testing::PrintToString(text);
    }
}

// Standard input as a pipe the test writes into.
class ControlInput : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        input.fd = fds[0];
        writer = fds[1];
    }
    void TearDown() override {
        if (input.fd >= 0) {
            close(input.fd);
        }
        if (writer >= 0) {
            close(writer);
        }
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void end_input() {
        close(writer);
        writer = -1;
    }
    // One look at the input, with what it said on standard error.
    command_batch read(double delay_seconds, std::string& said, int64_t now_ns = 0) {
        testing::internal::CaptureStderr();
        const command_batch batch = read_commands(input, delay_seconds, now_ns);
        said = testing::internal::GetCapturedStderr();
        return batch;
    }

    control_input input;
    int writer = -1;
};

// Many lines come to their net effect: a dump, and the delay they asked last, each step
// checked against the range. Empty lines are ignored.
TEST_F(ControlInput, LinesComeToOneDumpAndTheDelayAskedLast) {
    std::string lines = "\n  \ndelay 1\ndump\n\ndelay 700\n";
    for (int i = 0; i < 250; ++i) {
        lines += "delay +0.001\n";
    }
    ASSERT_LE(lines.size(), read_budget_bytes) << "all in one look";
    send(lines);
    std::string said;
    const command_batch batch = read(0.5, said);
    EXPECT_TRUE(batch.dump);
    EXPECT_NEAR(batch.delay_seconds.value_or(0), 1.25, 1e-9);
    EXPECT_EQ(said, "Delay time can be set up to 600 seconds\n");
    const command_batch none = read(2.0, said);
    EXPECT_FALSE(none.dump);
    EXPECT_TRUE(!none.delay_seconds);
    EXPECT_EQ(said, "");
}

// A look at the input takes a bounded amount: what lies beyond is taken by the next one.
TEST_F(ControlInput, EachLookTakesABoundedAmount) {
    std::string lines;
    while (lines.size() < read_budget_bytes) {
        lines += "delay 1\n";
    }
    lines += "delay 2\n";
    send(lines);
    std::string said;
    EXPECT_DOUBLE_EQ(read(0.5, said).delay_seconds.value_or(0), 1.0);
    EXPECT_DOUBLE_EQ(read(1.0, said).delay_seconds.value_or(0), 2.0);
    EXPECT_EQ(said, "");
}

// A line longer than the bound, however long, is dropped up to its newline with one short
// refusal, and the line after it is taken.
TEST_F(ControlInput, AnOverlongLineIsDroppedWithOneShortRefusal) {
    std::string said;
    std::string all_said;
    send("delay " + std::string(5000, '1'));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(!read(0.5, said).delay_seconds);
        all_said += said;
    }
    send(std::string(20000, '2') + "\ndelay 2\n");
    double asked = NAN;
    for (size_t i = 0; i < 20000 / read_budget_bytes + 2; ++i) {
        const command_batch batch = read(0.5, said);
        asked = batch.delay_seconds.value_or(asked);
        all_said += said;
    }
    EXPECT_EQ(all_said, "Command line longer than 256 bytes dropped\n");
    EXPECT_DOUBLE_EQ(asked, 2.0);
}

// A line with bytes that are in no command is refused without a byte of it echoed.
TEST_F(ControlInput, ControlBytesAreRefusedWithoutEcho) {
    using namespace std::string_literals;
    send("delay \x1b[2J1\n\0\0\0\ndelay 1\x7f\n"s);
    std::string said;
    EXPECT_TRUE(!read(0.5, said).delay_seconds);
    EXPECT_EQ(said,
              "Command line with control characters dropped\n"
              "Command line with control characters dropped\n"
              "Command line with control characters dropped\n");
}

// At most a few refusals a second are said; the rest are counted, and the count is said once
// the next second begins.
TEST_F(ControlInput, RefusalsAreSaidAFewASecondWithACountOfTheRest) {
    std::string lines;
    for (int i = 0; i < 50; ++i) {
        lines += "nonsense\n";
    }
    send(lines);
    std::string said;
    read(0.5, said, 0);
    EXPECT_EQ(count_lines(said), static_cast<size_t>(refusals_per_second)) << said;
    send("nonsense\n");
    read(0.5, said, 500000000);
    EXPECT_EQ(said, "");
    read(0.5, said, 1000000000);
    EXPECT_EQ(said, std::to_string(51 - refusals_per_second) + " more command lines refused\n");
}

// The end of the input is quiet; a last line without its newline still counts.
TEST_F(ControlInput, TheEndOfTheInputIsQuietAndALastLineCounts) {
    send("delay 1.5");
    end_input();
    std::string said;
    std::string all_said;
    double asked = NAN;
    for (int look = 0; look < 3; ++look) {
        const command_batch batch = read(0.5, said);
        asked = batch.delay_seconds.value_or(asked);
        all_said += said;
    }
    EXPECT_DOUBLE_EQ(asked, 1.5);
    EXPECT_EQ(input.fd, -1);
    EXPECT_EQ(all_said, "");
}

// On a terminal, keys act one by one, and a key sequence split between two reads is one key.
TEST_F(ControlInput, KeysAddUpAndASplitSequenceIsOneKey) {
    input.terminal = true;
    send("+++x\x1b[");
    std::string said;
    EXPECT_NEAR(read(0.5, said).delay_seconds.value_or(0), 0.53, 1e-9);
    send("A");
    EXPECT_NEAR(read(0.53, said).delay_seconds.value_or(0), 0.63, 1e-9);
    send("d");
    EXPECT_TRUE(read(0.63, said).dump);
    EXPECT_EQ(said, "");
}

}  // namespace
}  // namespace livedelay
