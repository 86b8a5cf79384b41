#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string make_temp_dir(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + ".XXXXXX")).string();
    return mkdtemp(pattern.data()) ? pattern : std::string{};
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

process_result run_program(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, int timeout_seconds,
                           int stop_after_ms, int stop_signal) {
    process_result result;
    const std::string dir = make_temp_dir("livedelay-run");
    const std::string out_path = dir + "/out";
    const std::string err_path = dir + "/err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);

    std::vector<std::string> environment(env);
    for (char** e = environ; *e != nullptr; ++e) {
        environment.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args(argv);
    std::vector<char*> argp;
    for (auto& a : args) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.err = "could not start " + args[0];
        remove_tree(dir);
        return result;
    }

    const auto start = std::chrono::steady_clock::now();
    bool stop_sent = false;
    int wstatus = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) {
            break;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        if (stop_after_ms > 0 && !stop_sent && elapsed >= stop_after_ms) {
            kill(pid, stop_signal);
            stop_sent = true;
        }
        if (elapsed >= timeout_seconds * 1000LL) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            result.err = "timed out after " + std::to_string(timeout_seconds) + " s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    result.out = read_file(out_path);
    result.err += read_file(err_path);
    remove_tree(dir);
    return result;
}
