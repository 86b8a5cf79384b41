// Live control: the delay changed while the run goes on, from keys on a terminal or from lines
// on standard input, and the dump that drops what is held.
//
// Keys: + and - move the delay by 10 ms, the up and down arrows by 100 ms, Page Up and
// Page Down by a second, d dumps. Lines: "delay 3.25" sets the delay, "delay +0.01" and
// "delay -0.1" move it, "dump" dumps, "dump 2.5" cuts 2.5 s.
//
// Standard input is untrusted: it is read without waiting, a bounded amount at a time, into a
// fixed buffer, and every byte is looked at once. A line too long or holding bytes no command
// has is dropped, and refusals quote at most a short, escaped part of what they refuse.
#pragma once

#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace livedelay {

struct delay_command {
    enum class kind { none, set, move, dump };
    kind what = kind::none;
    double seconds = 0;  // the delay to set, how far to move it, or what a dump cuts (0: all)
};

// A line of standard input as a command (none for an empty line). Gives 0, or -EINVAL with the
// reason it is refused in `refusal`. The range of the delay is checked where it is applied.
int parse_control_line(std::string_view line, delay_command& command, std::string& refusal);

// The delay a command asks for, from `current` seconds; nothing for a dump or none.
std::optional<double> asked_delay(const delay_command& command, double current);

// Gives 0 when a delay of `seconds` can be had, or -ERANGE with the reason, in the settings
// report's words, in `refusal`.
int check_delay_range(double seconds, std::string& refusal);

// A terminal's key sequence (a key, or an escape sequence) as a command; `used` is how many
// bytes of `keys` it took, 0 when more are needed to tell.
delay_command parse_keys(std::string_view keys, size_t& used);

// `text` as a refusal quotes it: at most `longest_bytes` of it, with quotes, backslashes,
// control bytes and bytes that are not UTF-8 written as escapes, and "..." where it was cut.
std::string quoted_prefix(std::string_view text, size_t longest_bytes);

// The longest command line taken; a longer one is dropped up to its newline.
constexpr size_t longest_line_bytes = 256;
// Standard input read in one look at it: enough for hundreds of lines, little enough that a
// flood of input never holds up the audio. 16 KiB of noise took the sanitized build long
// enough that the readings the delay is judged on came a millisecond late (one run in eight).
constexpr size_t read_budget_bytes = 4096;
// Refusals said in one second; the rest are counted, and said as a count.
constexpr int refusals_per_second = 3;

// Refusals said recently, and those held back.
struct refusal_limit {
    int64_t second_start_ns = -1;  // none yet
    int said = 0;
    int64_t held_back = 0;
};

// Says `text` on standard error as a line, unless refusals_per_second were said in the last
// second: then it is only counted. A new second starts by saying the count held back.
void refuse(refusal_limit& limit, const std::string& text, int64_t now_ns);
// Says the count held back, if any.
void say_held_back(refusal_limit& limit);

// What the commands read in one look at standard input come to: a dump, then the delay asked
// last, if one was.
struct command_batch {
    bool dump = false;
    std::optional<double> dump_seconds;  // what the dump cuts; all it can when not given
    std::optional<double> delay_seconds;
};

// Standard input as the run reads it: keys from a terminal put in key mode for the run, or
// lines from anything else; nothing once it has ended.
struct control_input {
    int fd = -1;
    bool terminal = false;
    termios saved{};
    // The line, or on a terminal the key sequence, read so far and not yet complete.
    std::array<char, longest_line_bytes> pending{};
    size_t pending_bytes = 0;
    bool overlong = false;        // the line went past longest_line_bytes: dropped to its newline
    bool unprintable = false;     // it holds a byte that is in no command
    bool more_waiting = false;    // the last read took all it could: more is there to read
    bool in_background = false;   // a terminal whose foreground is another process group
    bool terminal_taken = false;  // its settings kept and its key mode set
    refusal_limit refusals;
};

// Takes standard input for commands. A terminal is put in key mode (keys act as they are
// pressed and are not echoed) while the program runs in its foreground (from the background,
// once it is brought there); its settings are put back by close_control, on Ctrl-Z, or by the
// signal handlers however the process ends.
void open_control(control_input& input);
void close_control(control_input& input);

// Reads at most read_budget_bytes of what standard input holds now, without waiting, and gives
// what its complete commands come to from `delay_seconds`, the delay asked now. A command that
// is refused is said on standard error and changes nothing. The end of the input is quiet.
command_batch read_commands(control_input& input, double delay_seconds, int64_t now_ns);

// The descriptor a wait should watch for input: -1 once the input has ended, while more of it
// is known to be waiting (input that never runs dry, such as /dev/zero, would end every wait
// at once), and while the program runs in the background of its terminal (which polls as
// readable, and fails every read).
int control_wait_fd(const control_input& input);

// What the keys and the lines do, as --help says it.
extern const char* const control_help;

}  // namespace livedelay
