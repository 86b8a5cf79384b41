#include "control.hpp"

#include <poll.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "settings.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

constexpr double small_step_seconds = 0.01;
constexpr double large_step_seconds = 0.1;
constexpr double longest_step_seconds = 1.0;
// The longest escape sequence a key sends that is read here.
constexpr size_t key_sequence_bytes = 4;

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

delay_command move_by(double seconds) {
    return {delay_command::kind::move, seconds};
}

}  // namespace

delay_command parse_control_line(const std::string& line, std::string& refusal) {
    refusal.clear();
    const std::string text = trimmed(line);
    if (text == "dump") {
        return {delay_command::kind::dump, 0};
    }
    if (text.rfind("delay", 0) != 0 || text.size() < 7 || (text[5] != ' ' && text[5] != '\t')) {
        refusal = "Unknown command \"" + text +
                  "\": delay SECONDS, delay +SECONDS, delay -SECONDS or dump";
        return {};
    }
    const std::string number = trimmed(text.substr(6));
    char* end = nullptr;
    const double seconds = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !std::isfinite(seconds)) {
        refusal = "Delay time is not a number: \"" + number + "\"";
        return {};
    }
    const bool relative = number[0] == '+' || number[0] == '-';
    return {relative ? delay_command::kind::move : delay_command::kind::set, seconds};
}

double asked_delay(const delay_command& command, double current) {
    switch (command.what) {
        case delay_command::kind::set:
            return command.seconds;
        case delay_command::kind::move:
            return current + command.seconds;
        case delay_command::kind::dump:
        case delay_command::kind::none:
            break;
    }
    return NAN;
}

std::string delay_refusal(double seconds) {
    if (seconds > static_cast<double>(maximum_delay_seconds) + 1e-9) {
        return "Delay time can be set up to 600 seconds";
    }
    if (seconds < -1e-9) {
        return "Delay time is less than zero!";
    }
    return "";
}

delay_command parse_keys(const std::string& keys, size_t& used) {
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
        const char* bytes;
        double seconds;
    };
    for (const sequence& s :
         {sequence{"\x1b[A", large_step_seconds}, sequence{"\x1bOA", large_step_seconds},
          sequence{"\x1b[B", -large_step_seconds}, sequence{"\x1bOB", -large_step_seconds},
          sequence{"\x1b[5~", longest_step_seconds}, sequence{"\x1b[6~", -longest_step_seconds}}) {
        const std::string wanted = s.bytes;
        if (keys.rfind(wanted, 0) == 0) {
            used = wanted.size();
            return move_by(s.seconds);
        }
        if (keys.size() < wanted.size() && wanted.rfind(keys, 0) == 0) {
            used = 0;  // the start of a sequence: wait for the rest
        }
    }
    if (used == 0 && keys.size() < key_sequence_bytes) {
        return {};
    }
    used = 1;  // an escape sequence of another key
    return {};
}

void open_control(control_input& input) {
    input.fd = STDIN_FILENO;
    input.terminal = isatty(input.fd) != 0 && tcgetattr(input.fd, &input.saved) == 0;
    if (input.terminal) {
        // Keys count as they are pressed and are not echoed; Ctrl-C still stops the run.
        termios raw = input.saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        keep_terminal_settings(input.fd, input.saved);
        tcsetattr(input.fd, TCSANOW, &raw);  // a terminal that refuses stays as it was
    }
}

void close_control(control_input& input) {
    if (input.terminal) {
        restore_terminal();
    }
    input.fd = -1;
}

delay_command next_command(control_input& input) {
    for (;;) {
        if (input.terminal) {
            while (!input.pending.empty()) {
                size_t used = 0;
                const delay_command command = parse_keys(input.pending, used);
                if (used == 0) {
                    break;
                }
                input.pending.erase(0, used);
                if (command.what != delay_command::kind::none) {
                    return command;
                }
            }
        } else {
            for (size_t end = input.pending.find('\n'); end != std::string::npos;
                 end = input.pending.find('\n')) {
                const std::string line = input.pending.substr(0, end);
                input.pending.erase(0, end + 1);
                std::string refusal;
                const delay_command command = parse_control_line(line, refusal);
                if (!refusal.empty()) {
                    std::fprintf(stderr, "%s\n", refusal.c_str());
                } else if (command.what != delay_command::kind::none) {
                    return command;
                }
            }
        }
        if (input.fd < 0) {
            return {};
        }
        pollfd readable{input.fd, POLLIN, 0};
        if (poll(&readable, 1, 0) <= 0) {
            return {};
        }
        char bytes[256];
        const ssize_t got = read(input.fd, bytes, sizeof bytes);
        if (got <= 0) {
            // The end of the input changes nothing; a line without its newline still counts.
            input.fd = -1;
            if (!input.terminal && !input.pending.empty()) {
                input.pending += '\n';
            }
            continue;
        }
        input.pending.append(bytes, static_cast<size_t>(got));
    }
}

const char* const control_help =
    "While it runs, keys on a terminal change the delay: + and - by 10 ms, the up and down\n"
    "arrows by 100 ms, Page Up and Page Down by a second; d dumps what is held (it is never\n"
    "heard; the delay stays). Without a terminal, lines on standard input do the same:\n"
    "\"delay 3.25\" sets the delay, \"delay +0.01\" and \"delay -0.1\" move it, \"dump\" dumps.\n";

}  // namespace livedelay
