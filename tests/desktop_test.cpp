// Which server stands behind PulseAudio's plugin: where its socket is, and who holds it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "desktop.hpp"

namespace {

using livedelay::inspect_pulse_device;
using livedelay::pulse_socket_path;

TEST(PulseSocket, TheOptionFirstThenTheFirstLocalServerOfTheEnvironmentThenTheRuntimeDirs) {
    EXPECT_EQ(pulse_socket_path("unix:/srv/native", "unix:/env/native", "/rt", "/xdg"),
              "/srv/native");
    EXPECT_EQ(pulse_socket_path("/srv/native", nullptr, nullptr, nullptr), "/srv/native");
    // A server on the network is none of this machine's processes.
    EXPECT_EQ(pulse_socket_path("tcp:studio:4713", "unix:/env/native", "/rt", "/xdg"), "");
    EXPECT_EQ(pulse_socket_path("", "tcp:studio {0123abcd}unix:/env/native /second", "/rt", "/xdg"),
              "/env/native");
    EXPECT_EQ(pulse_socket_path("", "tcp:studio", "/rt", "/xdg"), "");
    EXPECT_EQ(pulse_socket_path("", "", "/rt", "/xdg"), "/rt/native");
    EXPECT_EQ(pulse_socket_path("", nullptr, "", "/xdg"), "/xdg/pulse/native");
    EXPECT_EQ(pulse_socket_path("", nullptr, nullptr, nullptr), "");
}

// A child that shares the socket and goes by `name`, as a server started on its first client
// holds the socket that systemd made. Given once the child has its name.
pid_t hold_under_name(const char* name) {
    int named[2];
    if (pipe(named) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, name);
        close(named[1]);  // the parent reads its end closed
        for (;;) {
            pause();
        }
    }
    close(named[1]);
    char byte = 0;
    while (read(named[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(named[0]);
    return pid;
}

void end_child(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(PulseDevice, PipeWireIsKnownByTheProcessesThatHoldTheServersSocket) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("livedelay_desktop_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string socket_path = (dir / "native").string();
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    {
        std::ofstream conf(dir / "asound.conf");
        conf << "pcm.desk { type pulse server \"unix:" << socket_path << "\" }\n"
             << "pcm.sink_a { type pulse server \"unix:" << socket_path
             << "\" device \"sink_a\" }\n"
             << "pcm.elsewhere { type pulse server \"unix:" << (dir / "none").string() << "\" }\n"
             << "pcm.plain { type null }\n";
    }
    const char* saved = std::getenv("ALSA_CONFIG_PATH");
    const std::string saved_path = saved == nullptr ? "" : saved;
    setenv("ALSA_CONFIG_PATH",
           ("/usr/share/alsa/alsa.conf:" + (dir / "asound.conf").string()).c_str(), 1);

    // Held by this test alone.
    EXPECT_FALSE(inspect_pulse_device("desk").on_pipewire);
    const pid_t pulseaudio = hold_under_name("pulseaudio");
    ASSERT_GT(pulseaudio, 0);
    EXPECT_FALSE(inspect_pulse_device("desk").on_pipewire);
    const pid_t pipewire = hold_under_name("pipewire-pulse");
    ASSERT_GT(pipewire, 0);
    EXPECT_TRUE(inspect_pulse_device("desk").on_pipewire);
    EXPECT_FALSE(inspect_pulse_device("desk").names_a_device);
    EXPECT_TRUE(inspect_pulse_device("sink_a").on_pipewire);
    EXPECT_TRUE(inspect_pulse_device("sink_a").names_a_device);
    EXPECT_FALSE(inspect_pulse_device("elsewhere").on_pipewire);
    EXPECT_FALSE(inspect_pulse_device("plain").on_pipewire);
    EXPECT_FALSE(inspect_pulse_device("no_such_name").on_pipewire);
    end_child(pipewire);
    EXPECT_FALSE(inspect_pulse_device("desk").on_pipewire);
    end_child(pulseaudio);

    if (saved == nullptr) {
        unsetenv("ALSA_CONFIG_PATH");
    } else {
        setenv("ALSA_CONFIG_PATH", saved_path.c_str(), 1);
    }
    close(listener);
    std::filesystem::remove_all(dir);
}

}  // namespace
