// Stop requests and the watchdog: SIGINT, SIGTERM and SIGHUP end a run the way its time-out
// does, a second one ends the process at once, every way out (SIGQUIT, a fault) gives the
// terminal back as it was, and no call into a device or a sound server may hold the program
// for ever.
#pragma once

#include <termios.h>

#include <cstdint>

namespace livedelay {

struct output_streams;

// A stream that moves no frame for this long, counting only time the program itself ran, is
// taken as gone: a service manager can then restart the program instead of it hanging.
constexpr int64_t stall_limit_ms = 5000;
// How long a stop request may wait for a call that does not come back.
constexpr int64_t stop_grace_ms = 150;
// How long closing the streams may take once the run said it finished: a file or a pipe may
// still take what the device held, a frozen server is not waited for.
constexpr int64_t close_grace_ms = 600;

void install_signal_handlers();
// SIGUSR1 asks for the status: taken from the program's first instruction on, so that a status
// asked for early never ends the process.
void take_status_requests();
// Where the handlers and the watchdog write, once standard output and standard error never
// wait (src/output.hpp).
void note_output(const output_streams* streams);
bool stop_requested();
// A descriptor that polls readable once a stop is requested; -1 when there is none.
int stop_request_fd();

// The line a stream that stopped moving is reported with.
const char* stall_message(bool playback);

// Keeps a terminal's settings, to be put back however the process ends (by the program, or
// by the watchdog or a second signal ending it) and while it is stopped by Ctrl-Z; `keys` is
// the key mode the run reads it in, set now and again on each return to the foreground
// (`fg`), never while the program runs in the background.
void keep_terminal_settings(int fd, const termios& saved, const termios& keys);
// Sets the key mode again, where the program is in its terminal's foreground.
void resume_key_mode();
void restore_terminal();

// SIGUSR1 asks for the status once: gives whether it was asked since the last call.
bool status_asked();

// The status line on the terminal, as the handlers and the failure paths see it: while one is
// drawn (the cursor stands at its end), anything else written first ends it with a newline.
void status_line_drawn();
void end_status_line();
// A line that begins with a newline was written after it: it is ended already.
void status_line_ended();

// Writes "\nFinished" as a line, once: the run's last line, whether the run ends by itself or
// a stop request cuts a call short.
void say_finished();

// Marks, while it lives, a call that may wait on a sound server (open, prepare, start, drop,
// close, resume). If the call does not come back within the stall limit, the process ends
// with status 1 after the stream's stall message; if a stop is requested meanwhile, it ends
// within the stop grace with status 0 after "\nFinished" (unless the run said it already),
// and once the run has said it finished, within the close grace.
class server_call {
public:
    explicit server_call(const char* stream);
    ~server_call();
    server_call(const server_call&) = delete;
    server_call& operator=(const server_call&) = delete;
};

}  // namespace livedelay
