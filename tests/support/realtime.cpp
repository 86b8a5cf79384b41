#include "support/realtime.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

sound_server pulse_server(int rate) {
    return {.name = "pulse",
            .script = LIVEDELAY_TEST_SOURCE_DIR "/pulse/pulse_fixture.sh",
            .start_options = {"--rate", std::to_string(rate)},
            .measure_env = {},
            .rate = rate,
            .dir = {},
            .shared = false};
}

sound_server pipewire_server() {
    return {.name = "pipewire",
            .script = LIVEDELAY_TEST_SOURCE_DIR "/pipewire/pipewire_fixture.sh",
            .start_options = {"--alsa-plugin", PIPEWIRE_ALSA_PLUGIN},
            .measure_env = {},
            .rate = 48000,
            .dir = {},
            .shared = false};
}

sound_server jack_server() {
    return {.name = "jack",
            .script = LIVEDELAY_TEST_SOURCE_DIR "/jack/jack_fixture.sh",
            .start_options = {},
            .measure_env = {std::string("JACK_RIG=") + JACK_RIG_BIN},
            .rate = 48000,
            .dir = {},
            .shared = false};
}

std::string shared_name(const sound_server& server) {
    return server.name == "pulse" ? "pulse" + std::to_string(server.rate) : server.name;
}

process_result start_server(sound_server& server) {
    server.dir = make_temp_dir("ld" + server.name.substr(0, 2));
    server.shared = false;
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

process_result use_server(sound_server& server) {
    const char* shared = std::getenv("LIVEDELAY_SHARED_SERVERS");
    if (shared == nullptr || *shared == '\0') {
        return start_server(server);
    }
    server.dir = std::string(shared) + "/" + shared_name(server);
    server.shared = true;
    process_result there;
    there.status = read_file(server.dir + "/program.env").empty() ? 1 : 0;
    there.err = there.status == 0 ? "" : "no server shared in " + server.dir + "\n";
    return there;
}

void leave_server(const sound_server& server, bool failed) {
    if (!server.shared && !server.dir.empty()) {
        stop_server(server, failed);
    }
}

::testing::AssertionResult server_session::open(const sound_server& s, bool clicks) {
    server = s;
    const process_result started = use_server(server);
    if (started.status != 0) {
        return ::testing::AssertionFailure()
               << "the " << server.name << " test server did not start:\n"
               << started.out << started.err;
    }
    work = make_temp_dir("ld" + server.name.substr(0, 2));
    if (clicks) {
        const process_result made = make_click_train(work, server.rate);
        if (made.status != 0) {
            return ::testing::AssertionFailure() << "no click train: " << made.err;
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<listed_click> server_session::listed() const {
    return listed_clicks(read_file(work + "/clicks.txt"));
}

void server_session::close(bool failed) {
    leave_server(server, failed);
    if (!failed && !work.empty()) {
        remove_tree(work);
    }
}

std::vector<std::string> program_env(const sound_server& server) {
    std::vector<std::string> env;
    std::istringstream lines(read_file(server.dir + "/program.env"));
    for (std::string line; std::getline(lines, line);) {
        env.push_back(line);
    }
    return env;
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
    m.rig_log = read_file(recording + ".rig.log");
    return m;
}

void expect_clean_finish(const measurement& m) {
    EXPECT_EQ(m.fixture.status, 0) << m.fixture.out << m.fixture.err << m.rig_log;
    EXPECT_EQ(m.program_status, "0\n") << m.program_out;
    EXPECT_TRUE(m.program_out.ends_with("\nFinished\n")) << m.program_out;
}

void expect_no_xrun(const std::string& program_out) {
    EXPECT_EQ(program_out.find("\nRX\n"), std::string::npos) << program_out;
    EXPECT_EQ(program_out.find("\nPX\n"), std::string::npos) << program_out;
}

process_result make_clicks(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MAKE_CLICKS_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {}, 30);
}

process_result make_click_train(const std::string& dir, int rate, int seconds) {
    return make_clicks({"--channels", "2", "--rate", std::to_string(rate), "--seconds",
                        std::to_string(seconds), "--list", dir + "/clicks.txt",
                        dir + "/clicks.wav"});
}

std::vector<listed_click> listed_clicks(const std::string& list) {
    std::vector<listed_click> clicks;
    std::istringstream lines(list);
    listed_click c;
    while (lines >> c.channel >> c.ms >> c.frame) {
        clicks.push_back(c);
    }
    return clicks;
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

probe_look look_with_probe(const sound_server& server, const std::string& device) {
    const process_result probe =
        run_program({PCM_PROBE_BIN, "--seconds", "1", device}, program_env(server), 30);
    const auto line = [&](const std::string& head) {
        const size_t at = probe.out.find("\n" + head);
        return at == std::string::npos
                   ? std::map<std::string, std::string>{}
                   : fields_of(probe.out.substr(at + 1, probe.out.find('\n', at + 1) - at - 1));
    };
    const auto playback = line("playback step_frames");
    const auto refill = line("refill");
    return {.capture_step_frames = number(line("capture step_frames"), "step_frames"),
            .playback_step_frames = number(playback, "step_frames"),
            .queue_max_frames = number(playback, "delay_max"),
            .refill_prebuffer_frames = number(refill, "prebuffer_frames"),
            .ran_dry = refill.count("ran_dry") ? refill.at("ran_dry") : "",
            .out = probe.out + probe.err};
}

void expect_underrun_reported(const probe_look& p) {
    EXPECT_EQ(p.ran_dry, "xrun") << p.out;
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

std::vector<std::vector<int16_t>> recorded_channels(const std::string& bytes, int channels) {
    const auto count = static_cast<size_t>(channels);
    std::vector<std::vector<int16_t>> planes(count);
    const size_t frames = bytes.size() / (2 * count);
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < count; ++c) {
            const size_t at = (f * count + c) * 2;
            const auto low = static_cast<uint8_t>(bytes[at]);
            const auto high = static_cast<uint8_t>(bytes[at + 1]);
            planes[c].push_back(static_cast<int16_t>(low | (high << 8)));
        }
    }
    return planes;
}
