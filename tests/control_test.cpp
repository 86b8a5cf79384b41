// Live control as the run reads it: lines of standard input and keys of a terminal, turned
// into changes of the delay, and what is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "control.hpp"

namespace livedelay {
namespace {

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
             line_case{"", k::none, 0, "Unknown command"},
             line_case{"delay abc", k::none, 0, "Delay time is not a number"},
             line_case{"delay 1.5s", k::none, 0, "Delay time is not a number"},
             line_case{"delay nan", k::none, 0, "Delay time is not a number"},
             line_case{"delay inf", k::none, 0, "Delay time is not a number"},
         }) {
        std::string refusal;
        const delay_command got = parse_control_line(c.line, refusal);
        EXPECT_EQ(got.what, c.what) << c.line;
        EXPECT_DOUBLE_EQ(got.seconds, c.seconds) << c.line;
        EXPECT_TRUE(refusal.starts_with(c.refusal)) << c.line << ": " << refusal;
        EXPECT_EQ(refusal.empty(), c.refusal.empty()) << c.line << ": " << refusal;
    }
}

TEST(ControlLine, TheDelayAskedStaysWithinZeroTo600Seconds) {
    EXPECT_DOUBLE_EQ(asked_delay({delay_command::kind::move, -0.1}, 3.0), 2.9);
    EXPECT_DOUBLE_EQ(asked_delay({delay_command::kind::set, 1.5}, 3.0), 1.5);
    EXPECT_TRUE(std::isnan(asked_delay({delay_command::kind::dump, 0}, 3.0)));
    EXPECT_EQ(delay_refusal(0), "");
    EXPECT_EQ(delay_refusal(600), "");
    EXPECT_EQ(delay_refusal(600.01), "Delay time can be set up to 600 seconds");
    EXPECT_EQ(delay_refusal(-0.001), "Delay time is less than zero!");
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

}  // namespace
}  // namespace livedelay
