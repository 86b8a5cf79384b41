// Live control: the delay changed while the run goes on, from keys on a terminal or from lines
// on standard input, and the dump that drops what is held.
//
// Keys: + and - move the delay by 10 ms, the up and down arrows by 100 ms, Page Up and
// Page Down by a second, d dumps. Lines: "delay 3.25" sets the delay, "delay +0.01" and
// "delay -0.1" move it, "dump" dumps.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

namespace livedelay {

struct delay_command {
    enum class kind { none, set, move, dump };
    kind what = kind::none;
    double seconds = 0;  // the delay to set, or how far to move it
};

// A line of standard input as a command, or the reason it is refused ("" when it is a
// command). The range of the delay is checked where it is applied.
delay_command parse_control_line(const std::string& line, std::string& refusal);

// The delay a command asks for, from `current` seconds: NAN for a dump or none.
double asked_delay(const delay_command& command, double current);

// Why a delay cannot be had, in the settings report's words, or "" when it can.
std::string delay_refusal(double seconds);

// Standard input as the run reads it: keys from a terminal put in raw mode for the run, or
// lines from anything else; nothing once it has ended.
struct control_input {
    int fd = -1;
    bool terminal = false;
    termios saved{};
    std::string pending;  // bytes of a line or a key sequence not yet complete
};

// Takes standard input for commands; a terminal is put in raw mode (its settings are put back
// by close_control, or by the signal handlers if the process is ended).
void open_control(control_input& input);
void close_control(control_input& input);

// The next command standard input holds now, without waiting; none when it holds none. A line
// that is refused is said on standard error, and the next one taken.
delay_command next_command(control_input& input);

// A terminal's key sequence (a key, or an escape sequence) as a command; `used` is how many
// bytes of `keys` it took, 0 when more are needed to tell.
delay_command parse_keys(const std::string& keys, size_t& used);

// What the keys and the lines do, as --help says it.
extern const char* const control_help;

}  // namespace livedelay
