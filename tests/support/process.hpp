// Runs a program to its end, bounded in time, and keeps what it printed.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

struct process_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    int signal = 0;   // the signal that ended it, if any
    std::string out;
    std::string err;
    // What the kernel said of the process when it ended (finish_program only).
    long major_faults = 0;
    long involuntary_switches = 0;
};

// `env` entries are NAME=VALUE pairs added to this process's environment. The program is
// killed after `timeout_seconds`.
process_result run_program(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env = {}, int timeout_seconds = 30);

std::string read_file(const std::string& path);
// How many times `part` occurs in `text`, overlapping occurrences included.
size_t count_of(const std::string& text, const std::string& part);
// The last line of `text` that is not empty, without its newline.
std::string last_line(const std::string& text);
// The line of livedelay --list output `list` for device `name`, each run of blanks made one
// blank; empty when the name is not listed.
std::string listed_line(const std::string& list, const std::string& name);
void write_file(const std::string& path, const std::string& bytes);
// A fresh directory under `base`, or else under the system's temporary directory.
std::string make_temp_dir(const std::string& stem, const std::string& base = "");
void remove_tree(const std::string& path);

// A program left running in the background, its output going to files.
struct background_process {
    int pid = -1;
    std::string out_path;
    std::string err_path;
};

// Its standard input is `stdin_path`.
background_process start_program(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env, const std::string& dir,
                                 const std::string& name,
                                 const std::string& stdin_path = "/dev/null");
// Waits, for up to `timeout_seconds`, until its standard output holds `text`; gives whether
// it does.
bool wait_for_output(const background_process& process, const std::string& text,
                     int timeout_seconds);
// Waits up to `timeout_seconds` for it to end by itself, then kills it. Gives what it printed
// and how it ended.
process_result finish_program(background_process& process, int timeout_seconds);

// The fields of /proc/PID/stat after the command name, which may hold blanks; none once the
// process is gone.
std::vector<std::string> stat_fields(int pid);
// True once a child has ended (a zombie not yet reaped), or is gone.
bool has_ended(int pid);
// `count` busy loops at `niceness`, each a child that spins until it is killed, and ends with
// the test even when the test is killed; and their end.
std::vector<int> start_busy_loops(long count, int niceness);
void stop_busy_loops(std::vector<int>& pids);
// Waits, for up to `timeout_seconds`, until the process moves no data: it has read and written
// nothing (files, pipes, sockets) for `quiet_ms`, as a program held up by a sound server that
// no longer answers. Gives whether it does.
bool wait_until_still(int pid, int quiet_ms, int timeout_seconds);
// User and system CPU seconds of a process so far, all its threads together.
double cpu_seconds(int pid);
// A memory figure of /proc/PID/status in KiB (VmRSS: resident now, VmHWM: its peak); -1 when
// the process is gone.
long memory_kib(int pid, const std::string& field);

struct timed_exit {
    process_result result;
    double ms = 0;  // from the moment given to the end of the program
};
// Waits, at most `limit_ms` after `from`, for the program to end, then reaps it (killing it if
// it did not end).
timed_exit wait_exit(background_process& p, std::chrono::steady_clock::time_point from,
                     int limit_ms);
