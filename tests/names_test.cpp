// The names a desktop offers, on the private PulseAudio, PipeWire and JACK servers: what the
// device list says of each fixture's names, with nothing on standard error, what the program
// says of a name that takes no 24-bit samples, and what it runs for PulseAudio's plugin on
// PipeWire.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/realtime.hpp"

namespace {

// The start and the end of the line the list should print for a name.
struct expected_line {
    std::string start;
    std::string end;
};

struct desktop {
    std::string name;
    sound_server server;
    std::vector<expected_line> lines;
};

void PrintTo(const desktop& d, std::ostream* os) {
    *os << d.name;
}

const std::string server_rate = ", resampled to the sound server's rate";

class DesktopNames : public ::testing::TestWithParam<desktop> {
protected:
    void SetUp() override { ASSERT_TRUE(session.open(GetParam().server, false)); }
    void TearDown() override { session.close(HasFailure()); }

    server_session session;
    const sound_server& server = session.server;
};

// `default` comes first; each of the fixture's names says whether it works as it is or which
// name converts for it, and the rates its server takes.
TEST_P(DesktopNames, ListSaysWhatEachNameIsGoodFor) {
    const process_result r = run_program({LIVEDELAY_BIN, "--list"}, program_env(server), 60);
    std::printf("%s", r.out.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("default ")) << r.out;
    for (const expected_line& want : GetParam().lines) {
        const std::string name = want.start.substr(0, want.start.find(' '));
        const std::string line = listed_line(r.out, name);
        EXPECT_TRUE(line.starts_with(want.start) && line.ends_with(want.end))
            << "want " << want.start << " ... " << want.end << ", got: " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, DesktopNames,
    ::testing::Values(desktop{"PulseAudio",
                              pulse_server(),
                              {{"default use plug:default ", "rates 1-384000 Hz" + server_rate},
                               {"rig works ", "rates 4000-384000 Hz" + server_rate},
                               {"rig_raw use plug:rig_raw ", "rates 1-384000 Hz" + server_rate}}},
                      desktop{"PipeWire",
                              pipewire_server(),
                              {{"default use pipewire ", "rates 1-384000 Hz" + server_rate},
                               {"pipewire works ", "rates 1-384000 Hz" + server_rate},
                               {"rig works ", "rates 1-384000 Hz" + server_rate},
                               {"jack does not open", ""}}},
                      desktop{"JACK",
                              jack_server(),
                              {{"jack use plug:jack ", "channels 2, rate 48000 Hz"},
                               {"rig works ", ", rate 48000 Hz, others resampled"},
                               {"rig_raw use plug:rig_raw ", "channels 2, rate 48000 Hz"}}}),
    [](const auto& info) { return info.param.name; });

// `default` is PulseAudio's plugin on pipewire-pulse: the run takes PipeWire's own plugin where
// it opens, and says so; where it is not there or does not open, the run goes on as it is, with
// a line on standard error that names it.
TEST(PipeWireDefault, RunsPipeWiresOwnPluginOrNamesIt) {
    sound_server server = pipewire_server();
    const process_result started = use_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    const std::vector<std::string> run{LIVEDELAY_BIN, "default", "2",     "1",
                                       "1",           "0.5",     "48000", "2"};
    // A run on the fixture's names and the desktop of `desktop_conf`.
    const auto run_on = [&](const std::string& desktop_conf) {
        // A desktop's programs find PipeWire through the ALSA configuration alone.
        std::vector<std::string> env;
        for (const std::string& assignment : program_env(server)) {
            if (assignment.starts_with("ALSA_CONFIG_PATH=")) {
                env.push_back("ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + server.dir +
                              "/asound.conf:" + desktop_conf);
            } else if (!assignment.starts_with("PIPEWIRE_")) {
                env.push_back(assignment);
            }
        }
        const process_result r = run_program(run, env, 30);
        EXPECT_EQ(r.status, 0) << desktop_conf << ":\n" << r.out << r.err;
        return r;
    };
    const std::string pulse_plugin_line =
        "Device default is PulseAudio's plugin on PipeWire, whose timing is too loose to hold a "
        "delay";

    const process_result both = run_on(server.dir + "/desktop.conf");
    EXPECT_NE(both.out.find("\n" + pulse_plugin_line + "; running pipewire, PipeWire's own\n"),
              std::string::npos)
        << both.out;
    EXPECT_EQ(both.out.find("plug:default"), std::string::npos) << both.out;
    EXPECT_EQ(both.err, "");

    const process_result pulse_only = run_on(server.dir + "/pulse_only.conf");
    EXPECT_NE(pulse_only.out.find("\nDevice default takes interleaved samples only; running "
                                  "plug:default, which converts\n"),
              std::string::npos)
        << pulse_only.out;
    EXPECT_EQ(pulse_only.err, pulse_plugin_line +
                                  ": it may be off by up to 25 ms. PipeWire's own plugin, "
                                  "pipewire (package pipewire-alsa), holds it exactly.\n");

    // PipeWire's plugin configured, but for a server that is not there.
    const std::string work = make_temp_dir("ldpw");
    const std::string elsewhere = work + "/pipewire_elsewhere.conf";
    write_file(elsewhere, read_file(server.dir + "/pulse_only.conf") +
                              "pcm.pipewire { type pipewire server \"" + server.dir +
                              "/runtime/no-such-server\" }\n");
    const process_result unopened = run_on(elsewhere);
    EXPECT_EQ(unopened.err, pulse_plugin_line +
                                ": it may be off by up to 25 ms. PipeWire's own plugin, pipewire, "
                                "would hold it exactly, but it does not open here.\n");
    std::printf("%s%s%s%s%s", both.out.c_str(), both.err.c_str(), pulse_only.out.c_str(),
                pulse_only.err.c_str(), unopened.err.c_str());
    leave_server(server, ::testing::Test::HasFailure());
    if (!::testing::Test::HasFailure()) {
        remove_tree(work);
    }
}

// The stock `jack` PCM takes float samples only: the run stops at the format, and the line
// after the message names the device that converts.
TEST(JackName, StopsAtTheFormatAndNamesPlugJack) {
    sound_server server = jack_server();
    const process_result started = use_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    const process_result r = run_program(
        {LIVEDELAY_BIN, "jack", "2", "1", "1", "0.5", "48000", "10"}, program_env(server), 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("Time out at 10 sec\n")) << r.out;
    EXPECT_EQ(r.err,
              "Problem setting playback format: Invalid argument\n"
              "The device takes no 24-bit samples; plug:jack converts them.\n");
    std::printf("%s%s", r.out.c_str(), r.err.c_str());
    leave_server(server, ::testing::Test::HasFailure());
}

}  // namespace
