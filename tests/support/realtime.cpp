#include "support/realtime.hpp"

#include <sstream>

process_result start_server(sound_server& server) {
    server.dir = make_temp_dir("ld" + server.name.substr(0, 2));
    std::vector<std::string> argv{"/bin/bash", server.script, "start", server.dir};
    argv.insert(argv.end(), server.start_options.begin(), server.start_options.end());
    return run_program(argv, {}, 40);
}

void stop_server(const sound_server& server, bool keep) {
    run_program({"/bin/bash", server.script, "stop", server.dir}, {}, 30);
    if (!keep) {
        remove_tree(server.dir);
    }
}

measurement measure(const sound_server& server, const std::string& signal,
                    const std::string& recording, const std::vector<std::string>& options,
                    const std::vector<std::string>& command) {
    std::vector<std::string> argv{"/bin/bash", server.script, "measure", server.dir};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {signal, recording});
    if (!command.empty()) {
        argv.push_back("--");
        argv.insert(argv.end(), command.begin(), command.end());
    }
    measurement m;
    m.fixture = run_program(argv, server.measure_env, 150);
    m.recording = recording;
    m.program_out = read_file(recording + ".cmd.log");
    m.program_status = read_file(recording + ".status");
    return m;
}

process_result make_click_train(const std::string& dir, int rate) {
    return run_program({MAKE_CLICKS_BIN, "--channels", "2", "--rate", std::to_string(rate),
                        "--seconds", "8", "--list", dir + "/clicks.txt", dir + "/clicks.wav"},
                       {}, 30);
}

std::map<std::string, std::string> fields_of(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) {
            fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return fields;
}

double number(const std::map<std::string, std::string>& fields, const std::string& key) {
    const auto it = fields.find(key);
    return it == fields.end() ? NAN : std::strtod(it->second.c_str(), nullptr);
}

analysis analyse(const std::vector<std::string>& args) {
    std::vector<std::string> argv{CLICK_DELAY_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    analysis a;
    a.run = run_program(argv, {}, 60);
    std::istringstream lines(a.run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("click ")) {
            const auto f = fields_of(line);
            a.clicks.push_back({number(f, "in_ms"), number(f, "out_ms")});
        } else if (line.starts_with("gap ")) {
            const auto f = fields_of(line);
            a.gap_ends_ms.push_back(number(f, "out_ms") + number(f, "length_ms"));
        }
    }
    a.summary = fields_of(last_line(a.run.out));
    return a;
}

std::map<size_t, std::vector<double>> delays_between_gaps(const analysis& a, double recovery_ms,
                                                          double from_ms) {
    std::map<size_t, std::vector<double>> delays;
    for (const click& c : a.clicks) {
        if (std::isnan(c.out_ms) || c.out_ms < from_ms) {
            continue;
        }
        size_t before = 0;
        while (before < a.gap_ends_ms.size() && a.gap_ends_ms[before] <= c.out_ms) {
            ++before;
        }
        if (before == 0 || c.out_ms >= a.gap_ends_ms[before - 1] + recovery_ms) {
            delays[before].push_back(c.out_ms - c.in_ms);
        }
    }
    return delays;
}
