#include "control.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monotonic.hpp"
#include "settings.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

constexpr double small_step_seconds = 0.01;
constexpr double large_step_seconds = 0.1;
constexpr double longest_step_seconds = 1.0;
// The longest escape sequence a key sends that is read here.
constexpr size_t key_sequence_bytes = 4;
// How much of a refused line a refusal quotes.
constexpr size_t quoted_bytes = 40;

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

delay_command move_by(double seconds) {
    return {delay_command::kind::move, seconds};
}

// Bytes of the UTF-8 sequence that starts `text`, or 0 when it starts with no valid one
// (a stray byte, a cut or overlong sequence, a surrogate).
size_t utf8_sequence_bytes(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    // The C1 controls (U+0080 to U+009F) act as controls on some terminals.
    return lead == 0xc2 && byte(1) < 0xa0 ? 0 : length;
}

bool is_control_byte(unsigned char byte) {
    return (byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7f;
}

}  // namespace

std::string quoted_prefix(std::string_view text, size_t longest_bytes) {
    std::string quoted = "\"";
    size_t at = 0;
    while (at < text.size() && at < longest_bytes) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
            ++at;
        } else if (byte >= 0x20 && byte < 0x7f) {
            quoted += static_cast<char>(byte);
            ++at;
        } else if (const size_t length = byte >= 0x80 ? utf8_sequence_bytes(text.substr(at)) : 0;
                   length > 0 && at + length <= longest_bytes) {
            quoted.append(text.substr(at, length));
            at += length;
        } else if (length > 0) {
            break;  // a character that does not fit whole
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            quoted += escape;
            ++at;
        }
    }
    return quoted + (at < text.size() ? "\"..." : "\"");
}

int parse_control_line(std::string_view line, delay_command& command, std::string& refusal) {
    command = {};
    const std::string_view text = trimmed(line);
    if (text.empty()) {
        return 0;
    }
    if (text == "dump") {
        command = {delay_command::kind::dump, 0};
        return 0;
    }
    const bool dump = text.starts_with("dump");
    const size_t word = dump ? 4 : 5;
    if ((!dump && !text.starts_with("delay")) || text.size() < word + 2 ||
        (text[word] != ' ' && text[word] != '\t')) {
        refusal = "Unknown command " + quoted_prefix(text, quoted_bytes) +
                  ": delay SECONDS, delay +SECONDS, delay -SECONDS, dump or dump SECONDS";
        return -EINVAL;
    }
    const std::string number(trimmed(text.substr(word + 1)));
    char* end = nullptr;
    const double seconds = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !std::isfinite(seconds)) {
        refusal = "Delay time is not a number: " + quoted_prefix(number, quoted_bytes);
        return -EINVAL;
    }
    if (dump && !(seconds > 0)) {
        refusal = "A dump cuts more than no time: " + quoted_prefix(number, quoted_bytes);
        return -EINVAL;
    }
    const bool relative = number[0] == '+' || number[0] == '-';
    command = {dump       ? delay_command::kind::dump
               : relative ? delay_command::kind::move
                          : delay_command::kind::set,
               seconds};
    return 0;
}

std::optional<double> asked_delay(const delay_command& command, double current) {
    switch (command.what) {
        case delay_command::kind::set:
            return command.seconds;
        case delay_command::kind::move:
            return current + command.seconds;
        case delay_command::kind::dump:
        case delay_command::kind::none:
            break;
    }
    return std::nullopt;
}

int check_delay_range(double seconds, std::string& refusal) {
    if (seconds > static_cast<double>(maximum_delay_seconds) + 1e-9) {
        refusal = "Delay time can be set up to 600 seconds";
        return -ERANGE;
    }
    if (seconds < -1e-9) {
        refusal = "Delay time is less than zero!";
        return -ERANGE;
    }
    return 0;
}

delay_command parse_keys(std::string_view keys, size_t& used) {
    used = 1;
    switch (keys[0]) {
        case '+':
        case '=':
            return move_by(small_step_seconds);
        case '-':
        case '_':
            return move_by(-small_step_seconds);
        case 'd':
        case 'D':
            return {delay_command::kind::dump, 0};
        case '\x1b':
            break;
        default:
            return {};  // a key with no meaning here
    }
    // The arrows (ESC [ A, or ESC O A in a terminal's application mode) and Page Up / Down.
    struct sequence {
        std::string_view bytes;
        double seconds;
    };
    for (const sequence& s :
         {sequence{"\x1b[A", large_step_seconds}, sequence{"\x1bOA", large_step_seconds},
          sequence{"\x1b[B", -large_step_seconds}, sequence{"\x1bOB", -large_step_seconds},
          sequence{"\x1b[5~", longest_step_seconds}, sequence{"\x1b[6~", -longest_step_seconds}}) {
        if (keys.starts_with(s.bytes)) {
            used = s.bytes.size();
            return move_by(s.seconds);
        }
        if (keys.size() < s.bytes.size() && s.bytes.starts_with(keys)) {
            used = 0;  // the start of a sequence: wait for the rest
        }
    }
    if (used == 0 && keys.size() < key_sequence_bytes) {
        return {};
    }
    used = 1;  // an escape sequence of another key
    return {};
}

namespace {

bool second_over(const refusal_limit& limit, int64_t now_ns) {
    return limit.second_start_ns < 0 || now_ns - limit.second_start_ns >= ns_per_second;
}

}  // namespace

void refuse(refusal_limit& limit, const std::string& text, int64_t now_ns) {
    if (second_over(limit, now_ns)) {
        say_held_back(limit);
        limit.second_start_ns = now_ns;
        limit.said = 0;
    }
    if (limit.said >= refusals_per_second) {
        ++limit.held_back;
        return;
    }
    ++limit.said;
    end_status_line();
    std::fprintf(stderr, "%s\n", text.c_str());
}

void say_held_back(refusal_limit& limit) {
    if (limit.held_back > 0) {
        end_status_line();
        std::fprintf(stderr, "%lld more command lines refused\n",
                     static_cast<long long>(limit.held_back));
        limit.held_back = 0;
    }
}

namespace {

// Adds the commands of one look at standard input up, from the delay asked before it.
struct batch_builder {
    control_input& input;
    int64_t now_ns;
    double asked_seconds;
    command_batch batch;

    void take(const delay_command& command) {
        if (command.what == delay_command::kind::dump) {
            batch.dump = true;
            batch.dump_seconds =
                command.seconds > 0 ? std::optional(command.seconds) : std::nullopt;
            return;
        }
        const double seconds = asked_delay(command, asked_seconds).value_or(asked_seconds);
        std::string refusal;
        if (check_delay_range(seconds, refusal) < 0) {
            refuse(input.refusals, refusal, now_ns);
            return;
        }
        asked_seconds = std::clamp(seconds, 0.0, static_cast<double>(maximum_delay_seconds));
        batch.delay_seconds = asked_seconds;
    }

    void end_line() {
        const std::string_view line(input.pending.data(), input.pending_bytes);
        if (input.unprintable && !input.overlong) {
            refuse(input.refusals, "Command line with control characters dropped", now_ns);
        } else if (!input.overlong) {
            delay_command command;
            std::string refusal;
            if (parse_control_line(line, command, refusal) < 0) {
                refuse(input.refusals, refusal, now_ns);
            } else if (command.what != delay_command::kind::none) {
                take(command);
            }
        }
        input.pending_bytes = 0;
        input.overlong = false;
        input.unprintable = false;
    }

    void line_byte(char byte) {
        if (byte == '\n') {
            end_line();
            return;
        }
        if (input.overlong) {
            return;
        }
        if (input.pending_bytes == input.pending.size()) {
            input.overlong = true;
            refuse(
                input.refusals,
                "Command line longer than " + std::to_string(longest_line_bytes) + " bytes dropped",
                now_ns);
            return;
        }
        input.unprintable = input.unprintable || is_control_byte(static_cast<unsigned char>(byte));
        input.pending[input.pending_bytes++] = byte;
    }

    void key_byte(char byte) {
        input.pending[input.pending_bytes++] = byte;
        while (input.pending_bytes > 0) {
            size_t used = 0;
            const delay_command command =
                parse_keys(std::string_view(input.pending.data(), input.pending_bytes), used);
            if (used == 0) {
                return;  // the rest of a key sequence is still to come
            }
            std::memmove(input.pending.data(), input.pending.data() + used,
                         input.pending_bytes - used);
            input.pending_bytes -= used;
            if (command.what != delay_command::kind::none) {
                take(command);
            }
        }
    }
};

static_assert(key_sequence_bytes < longest_line_bytes);

}  // namespace

namespace {

// The terminal's settings, kept to be put back, and its key mode set: keys count as they are
// pressed and are not echoed; Ctrl-C still stops the run. Taken in the foreground only: in
// the background the settings are the shell's line editor's, not the ones to put back.
void take_terminal(control_input& input) {
    if (tcgetattr(input.fd, &input.saved) != 0) {
        return;
    }
    termios keys = input.saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    keep_terminal_settings(input.fd, input.saved, keys);
    input.terminal_taken = true;
}

// Whether the terminal's foreground is another process group: a shell's, with the program
// run in its background.
bool in_background(const control_input& input) {
    const pid_t foreground = input.terminal ? tcgetpgrp(input.fd) : -1;
    return foreground >= 0 && foreground != getpgrp();
}

}  // namespace

void open_control(control_input& input) {
    input.fd = STDIN_FILENO;
    input.terminal = isatty(input.fd) != 0;
    input.in_background = in_background(input);
    if (input.terminal && !input.in_background) {
        take_terminal(input);
    }
}

void close_control(control_input& input) {
    say_held_back(input.refusals);
    if (input.terminal_taken) {
        restore_terminal();
    }
    input.fd = -1;
}

command_batch read_commands(control_input& input, double delay_seconds, int64_t now_ns) {
    batch_builder builder{input, now_ns, delay_seconds, {}};
    if (second_over(input.refusals, now_ns)) {
        say_held_back(input.refusals);
    }
    if (input.fd < 0) {
        return {};
    }
    // A terminal is read only by the program in its foreground: from the background, a read
    // fails at once, again and again, and what is typed belongs to the shell. Brought to the
    // foreground (fg, which continues a running job without a signal), it takes the keys.
    const bool was_in_background = input.in_background;
    input.in_background = in_background(input);
    if (input.in_background) {
        return {};
    }
    if (input.terminal && !input.terminal_taken) {
        take_terminal(input);
    } else if (input.terminal && was_in_background) {
        resume_key_mode();
    }
    pollfd readable{input.fd, POLLIN, 0};
    if (poll(&readable, 1, 0) <= 0) {
        return {};
    }
    char bytes[read_budget_bytes];
    const ssize_t got = read(input.fd, bytes, sizeof bytes);
    if (got < 0) {
        // A terminal that fails (sent to the background since the look above, or hung up) is
        // looked at again at the next wake, not waited on.
        input.in_background = input.terminal && errno == EIO;
        const bool again = errno == EAGAIN || errno == EINTR || input.in_background;
        input.fd = again ? input.fd : -1;
        return {};
    }
    input.more_waiting = got == static_cast<ssize_t>(sizeof bytes);
    for (ssize_t i = 0; i < got; ++i) {
        if (input.terminal) {
            builder.key_byte(bytes[i]);
        } else {
            builder.line_byte(bytes[i]);
        }
    }
    if (got == 0) {
        // The end of the input changes nothing; a line without its newline still counts.
        if (!input.terminal && (input.pending_bytes > 0 || input.overlong)) {
            builder.end_line();
        }
        input.fd = -1;
    }
    return builder.batch;
}

int control_wait_fd(const control_input& input) {
    return input.more_waiting || input.in_background ? -1 : input.fd;
}

const char* const control_help =
    "While it runs, keys on a terminal change the delay: + and - by 10 ms, the up and down\n"
    "arrows by 100 ms, Page Up and Page Down by a second; d dumps what is held (it is never\n"
    "heard: the delay is cut short, then built back by playing a little slower, the pitch\n"
    "kept). Without a terminal, lines on standard input do the same: \"delay 3.25\" sets the\n"
    "delay, \"delay +0.01\" and \"delay -0.1\" move it, \"dump\" dumps, \"dump 2.5\" cuts the\n"
    "last 2.5 s. Options before the device: --rebuild-rate PERCENT (3), --build (start live\n"
    "and build the delay), --glide (live changes glide instead of pausing or skipping).\n";

}  // namespace livedelay
