#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

std::string last_line(const std::string& text) {
    const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.find_last_of('\n') + 1);
}

std::string listed_line(const std::string& list, const std::string& name) {
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + " ")) {
            std::string collapsed;
            for (const char c : line) {
                if (c != ' ' || !collapsed.ends_with(' ')) {
                    collapsed += c;
                }
            }
            return collapsed;
        }
    }
    return {};
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string make_temp_dir(const std::string& stem, const std::string& base) {
    const std::filesystem::path in =
        base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    std::string pattern = (in / (stem + ".XXXXXX")).string();
    return mkdtemp(pattern.data()) ? pattern : std::string{};
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

}  // namespace

background_process start_program(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env, const std::string& dir,
                                 const std::string& name, const std::string& stdin_path) {
    background_process process;
    process.out_path = dir + "/" + name + ".out";
    process.err_path = dir + "/" + name + ".err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, process.out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, process.err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> environment(env);
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    std::vector<std::string> args(argv);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, pointers(args).data(),
                    pointers(environment).data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    process.pid = pid;
    return process;
}

process_result finish_program(background_process& process, int timeout_seconds) {
    process_result result;
    if (process.pid <= 0) {
        result.err = "could not start the program\n";
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    int wstatus = 0;
    rusage usage{};
    while (wait4(process.pid, &wstatus, WNOHANG, &usage) != process.pid) {
        if (elapsed_ms(start) >= timeout_seconds * 1000LL) {
            kill(process.pid, SIGKILL);
            wait4(process.pid, &wstatus, 0, &usage);
            result.err = "timed out after " + std::to_string(timeout_seconds) + " s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    process.pid = -1;
    result.major_faults = usage.ru_majflt;
    result.involuntary_switches = usage.ru_nivcsw;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    result.out = read_file(process.out_path);
    result.err += read_file(process.err_path);
    return result;
}

bool wait_for_output(const background_process& process, const std::string& text,
                     int timeout_seconds) {
    const auto started = std::chrono::steady_clock::now();
    while (read_file(process.out_path).find(text) == std::string::npos) {
        if (elapsed_ms(started) > timeout_seconds * 1000 || kill(process.pid, 0) != 0) {
            return read_file(process.out_path).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

process_result run_program(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, int timeout_seconds) {
    const std::string dir = make_temp_dir("livedelay-run");
    background_process process = start_program(argv, env, dir, "run");
    process_result result = finish_program(process, timeout_seconds);
    remove_tree(dir);
    return result;
}

std::vector<std::string> stat_fields(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    const size_t end = stat.rfind(") ");
    if (end == std::string::npos) {
        return fields;
    }
    std::istringstream words(stat.substr(end + 2));
    for (std::string word; words >> word;) {
        fields.push_back(word);
    }
    return fields;
}

std::vector<int> start_busy_loops(long count, int niceness) {
    std::vector<int> pids;
    for (; count > 0; --count) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == 1) {
                _exit(0);
            }
            [[maybe_unused]] const int niced = nice(niceness);
            volatile uint64_t spin = 0;
            for (;;) {
                spin = spin + 1;
            }
        }
        if (pid > 0) {
            pids.push_back(pid);
        }
    }
    return pids;
}

void stop_busy_loops(std::vector<int>& pids) {
    for (const int pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pids.clear();
}

bool has_ended(int pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    return fields.empty() || fields[0] == "Z";
}

namespace {

// The bytes the process has read and written so far, all its threads together (/proc/PID/io);
// -1 once it is gone.
long long bytes_moved(int pid) {
    std::istringstream io(read_file("/proc/" + std::to_string(pid) + "/io"));
    long long moved = -1;
    for (std::string line; std::getline(io, line);) {
        if (line.starts_with("rchar:") || line.starts_with("wchar:")) {
            moved = std::max(moved, 0LL) + std::stoll(line.substr(6));
        }
    }
    return moved;
}

}  // namespace

bool wait_until_still(int pid, int quiet_ms, int timeout_seconds) {
    const auto start = std::chrono::steady_clock::now();
    auto still_since = start;
    long long moved = bytes_moved(pid);
    while (elapsed_ms(start) < timeout_seconds * 1000LL && !has_ended(pid)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const long long now = bytes_moved(pid);
        if (now != moved) {
            moved = now;
            still_since = std::chrono::steady_clock::now();
        } else if (elapsed_ms(still_since) >= quiet_ms) {
            return true;
        }
    }
    return false;
}

double cpu_seconds(int pid) {
    const std::vector<std::string> fields = stat_fields(pid);
    if (fields.size() < 13) {
        return NAN;
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long memory_kib(int pid, const std::string& field) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

timed_exit wait_exit(background_process& p, std::chrono::steady_clock::time_point from,
                     int limit_ms) {
    const auto since = [&] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from)
            .count();
    };
    while (!has_ended(p.pid) && since() < limit_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    timed_exit e;
    e.ms = since();
    e.result = finish_program(p, 1);
    return e;
}
