#include "desktop.hpp"

#include <alsa/asoundlib.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "pcm.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

struct config_deleter {
    void operator()(snd_config_t* config) const { snd_config_delete(config); }
};
using config_handle = std::unique_ptr<snd_config_t, config_deleter>;
struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The definition ALSA's configuration gives the PCM `name`, or none.
config_handle definition_of(const char* name) {
    snd_config_t* definition = nullptr;
    if (snd_config_update() < 0 ||
        snd_config_search_definition(snd_config, "pcm", name, &definition) < 0) {
        return nullptr;
    }
    return config_handle(definition);
}

std::string string_field(snd_config_t* config, const char* key) {
    snd_config_t* node = nullptr;
    const char* value = nullptr;
    if (snd_config_search(config, key, &node) < 0 || snd_config_get_string(node, &value) < 0 ||
        value == nullptr) {
        return "";
    }
    return value;
}

// The path of a local server address ("unix:/path" or "/path", after an optional
// "{machine-id}"), or "" for one on the network.
std::string local_path(std::string address) {
    if (address.starts_with('{')) {
        const size_t end = address.find('}');
        address = end == std::string::npos ? "" : address.substr(end + 1);
    }
    if (address.starts_with("unix:")) {
        address = address.substr(5);
    }
    return address.starts_with('/') ? address : "";
}

// The inodes of the listening sockets bound to `path`, from the kernel's table.
std::vector<std::string> listening_inodes(const std::string& path) {
    constexpr unsigned long accepting = 0x10000;  // __SO_ACCEPTCON
    std::vector<std::string> inodes;
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, refs, protocol, flags, type, state, inode, bound;
        if (fields >> slot >> refs >> protocol >> flags >> type >> state >> inode >> bound &&
            bound == path && (std::strtoul(flags.c_str(), nullptr, 16) & accepting) != 0) {
            inodes.push_back(inode);
        }
    }
    return inodes;
}

bool holds_socket(const std::string& pid, const std::vector<std::string>& links) {
    const std::string fd_dir = "/proc/" + pid + "/fd";
    const std::unique_ptr<DIR, dir_closer> fds(opendir(fd_dir.c_str()));
    if (!fds) {
        return false;  // another user's process, or gone
    }
    char target[64];
    while (const dirent* fd = readdir(fds.get())) {
        const std::string link = fd_dir + "/" + fd->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target);
        if (length <= 0 || length == static_cast<ssize_t>(sizeof target)) {
            continue;
        }
        for (const std::string& wanted : links) {
            if (wanted.compare(0, std::string::npos, target, static_cast<size_t>(length)) == 0) {
                return true;
            }
        }
    }
    return false;
}

// Whether a process of PipeWire's holds the server's socket. The process that accepts on it
// is the one to ask: the socket may have been made by another (systemd, for a server started
// on its first client).
bool served_by_pipewire(const std::string& socket_path) {
    std::vector<std::string> links;
    for (const std::string& inode : listening_inodes(socket_path)) {
        links.push_back("socket:[" + inode + "]");
    }
    if (links.empty()) {
        return false;
    }
    const std::unique_ptr<DIR, dir_closer> proc(opendir("/proc"));
    if (!proc) {
        return false;
    }
    while (const dirent* entry = readdir(proc.get())) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || !holds_socket(pid, links)) {
            continue;
        }
        std::ifstream comm_file("/proc/" + pid + "/comm");
        std::string comm;
        if (std::getline(comm_file, comm) && comm.starts_with("pipewire")) {
            return true;
        }
    }
    return false;
}

// Opens and closes both streams of `name` without a word from the library.
bool opens_both_ways(const char* name) {
    const snd_lib_error_handler_t previous = snd_lib_error;
    snd_lib_error_set_handler(ignore_alsa_error);
    bool opened = true;
    for (const snd_pcm_stream_t direction : {SND_PCM_STREAM_PLAYBACK, SND_PCM_STREAM_CAPTURE}) {
        snd_pcm_t* raw = nullptr;
        opened = opened && snd_pcm_open(&raw, name, direction, SND_PCM_NONBLOCK) == 0;
        const pcm_handle pcm(raw);
    }
    snd_lib_error_set_handler(previous);
    return opened;
}

}  // namespace

std::string pulse_socket_path(const std::string& server_option, const char* pulse_server_env,
                              const char* pulse_runtime_path, const char* xdg_runtime_dir) {
    if (!server_option.empty()) {
        return local_path(server_option);
    }
    if (pulse_server_env != nullptr && *pulse_server_env != '\0') {
        // A list of addresses, tried in turn: the first local one is where a local server is.
        std::istringstream addresses(pulse_server_env);
        std::string address;
        while (addresses >> address) {
            const std::string path = local_path(address);
            if (!path.empty()) {
                return path;
            }
        }
        return "";
    }
    if (pulse_runtime_path != nullptr && *pulse_runtime_path != '\0') {
        return std::string(pulse_runtime_path) + "/native";
    }
    if (xdg_runtime_dir != nullptr && *xdg_runtime_dir != '\0') {
        return std::string(xdg_runtime_dir) + "/pulse/native";
    }
    return "";
}

pulse_device inspect_pulse_device(const std::string& name) {
    pulse_device result;
    const config_handle definition = definition_of(name.c_str());
    if (!definition || string_field(definition.get(), "type") != "pulse") {
        return result;
    }
    result.names_a_device = !string_field(definition.get(), "device").empty();
    const std::string socket =
        pulse_socket_path(string_field(definition.get(), "server"), std::getenv("PULSE_SERVER"),
                          std::getenv("PULSE_RUNTIME_PATH"), std::getenv("XDG_RUNTIME_DIR"));
    result.on_pipewire = !socket.empty() && served_by_pipewire(socket);
    return result;
}

std::string pipewire_name_for(const pulse_device& pulse) {
    if (!pulse.on_pipewire || pulse.names_a_device || !pipewire_defined() ||
        !opens_both_ways("pipewire")) {
        return "";
    }
    return "pipewire";
}

bool pipewire_defined() {
    return definition_of("pipewire") != nullptr;
}

std::string name_to_run(const std::string& device) {
    const pulse_device pulse = inspect_pulse_device(device);
    std::string pipewire;
    {
        const server_call call("Playback");  // it opens PipeWire's plugin, which may not answer
        pipewire = pipewire_name_for(pulse);
    }
    if (!pipewire.empty()) {
        std::printf(
            "Device %s is PulseAudio's plugin on PipeWire, whose timing is too loose to "
            "hold a delay; running %s, PipeWire's own\n",
            device.c_str(), pipewire.c_str());
        return pipewire;
    }
    if (pulse.on_pipewire) {
        const bool unopened = !pulse.names_a_device && pipewire_defined();
        std::fprintf(stderr,
                     "Device %s is PulseAudio's plugin on PipeWire, whose timing is too loose to "
                     "hold a delay: it may be off by up to 25 ms. %s\n",
                     device.c_str(),
                     unopened ? "PipeWire's own plugin, pipewire, would hold it exactly, but it "
                                "does not open here."
                              : "PipeWire's own plugin, pipewire (package pipewire-alsa), holds it "
                                "exactly.");
    }
    return device;
}

}  // namespace livedelay
