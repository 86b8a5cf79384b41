// PulseAudio's ALSA plugin in front of PipeWire's pipewire-pulse, as a desktop that runs
// PipeWire with the pulse plugin installed makes `default`: that plugin's timing reports on
// pipewire-pulse wander by tens of ms over seconds, so no delay can be held on them.
// PipeWire's own ALSA plugin reaches the same sink and source with exact timing.
#pragma once

#include <string>

namespace livedelay {

// The socket of the PulseAudio server that the pulse plugin reaches: its `server` option, else
// the first local address of $PULSE_SERVER, else $PULSE_RUNTIME_PATH/native or
// $XDG_RUNTIME_DIR/pulse/native. "" for a server on the network.
std::string pulse_socket_path(const std::string& server_option, const char* pulse_server_env,
                              const char* pulse_runtime_path, const char* xdg_runtime_dir);

// What stands behind a device name.
struct pulse_device {
    bool on_pipewire = false;     // PulseAudio's plugin, and pipewire-pulse answers it
    bool names_a_device = false;  // it names a sink or source, not the server's defaults
};
pulse_device inspect_pulse_device(const std::string& name);

// The name to run instead of a device: "pipewire" when it is PulseAudio's plugin on
// pipewire-pulse for its default sink and source and PipeWire's own plugin opens; "" otherwise.
std::string pipewire_name_for(const pulse_device& device);

// Whether ALSA's configuration defines `pipewire`, PipeWire's own plugin.
bool pipewire_defined();

// The name to run for `device`: PipeWire's own plugin in place of PulseAudio's on
// pipewire-pulse, said in one line; where PipeWire's plugin is not there, the device runs as
// it is, and a line on standard error names the plugin.
std::string name_to_run(const std::string& device);

}  // namespace livedelay
