#include "virtual_devices.hpp"

#include "process.hpp"

void write_alsa_config(const std::string& dir, const std::string& template_name,
                       const std::vector<std::pair<std::string, std::string>>& replacements) {
    std::string config = read_file(LIVEDELAY_TEST_SOURCE_DIR "/alsa/" + template_name);
    for (const auto& [key, value] : replacements) {
        for (size_t at = config.find(key); at != std::string::npos; at = config.find(key)) {
            config.replace(at, key.size(), value);
        }
    }
    write_file(dir + "/asound.conf", config);
}

std::string alsa_config_env(const std::string& dir) {
    return "ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + dir + "/asound.conf";
}

virtual_devices make_virtual_devices() {
    virtual_devices devices;
    devices.dir = make_temp_dir("livedelay-devices");
    write_alsa_config(devices.dir, "virtual.conf.in", {{"@DIR@", devices.dir}});
    devices.env = {alsa_config_env(devices.dir)};
    return devices;
}

std::string device_only_report(const std::string& device) {
    return "Device = " + device +
           "\nMode = 1 (mono in -> mono out)\nInput Channel = 1\nOutput Channel = 1\n"
           "Time delay ~ 3.000 sec\nSample rate = 44100\nTime out at 300 sec\n";
}

int32_t marker_sample(int channel, int64_t frame) {
    const int32_t v = ((channel + 1) << 20) | static_cast<int32_t>((frame + 1) & 0xfffff);
    return ((v & 0xffffff) ^ 0x800000) - 0x800000;  // the 24 bits a sample holds, signed
}

std::string marker_frames(int channels, int64_t frames) {
    std::string bytes(static_cast<size_t>(frames * channels * 3), '\0');
    size_t at = 0;
    for (int64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const int32_t v = marker_sample(c, f);
            bytes[at++] = static_cast<char>(v & 0xff);
            bytes[at++] = static_cast<char>((v >> 8) & 0xff);
            bytes[at++] = static_cast<char>((v >> 16) & 0xff);
        }
    }
    return bytes;
}

int32_t sample_at(const std::string& interleaved, int channels, int64_t frame, int channel) {
    const auto at = static_cast<size_t>((frame * channels + channel) * 3);
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(interleaved[at + i]); };
    const int32_t v = byte(0) | (byte(1) << 8) | (byte(2) << 16);
    return (v ^ 0x800000) - 0x800000;  // sign-extend the 24 bits
}

routed_check check_routed(const std::string& played, int channels,
                          const std::vector<std::pair<int, int>>& routes, int64_t delay_frames) {
    constexpr size_t described = 5;
    routed_check check;
    check.frames = static_cast<int64_t>(played.size()) / (3 * channels);
    if (played.size() % (3 * channels) != 0) {
        check.differences.push_back("the file ends within a frame");
    }
    std::vector<int> source(static_cast<size_t>(channels), -1);
    for (const auto& [in, out] : routes) {
        source[static_cast<size_t>(out)] = in;
    }
    for (int64_t f = 0; f < check.frames && check.differences.size() < described; ++f) {
        for (int c = 0; c < channels; ++c) {
            const int in = source[static_cast<size_t>(c)];
            const int32_t want =
                in >= 0 && f >= delay_frames ? marker_sample(in, f - delay_frames) : 0;
            const int32_t got = sample_at(played, channels, f, c);
            if (got != want) {
                check.differences.push_back("frame " + std::to_string(f) + " channel " +
                                            std::to_string(c + 1) + ": got " + std::to_string(got) +
                                            ", want " + std::to_string(want));
            }
        }
    }
    return check;
}
