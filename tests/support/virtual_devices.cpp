#include "virtual_devices.hpp"

#include "process.hpp"

virtual_devices make_virtual_devices() {
    virtual_devices devices;
    devices.dir = make_temp_dir("livedelay-devices");
    std::string config = read_file(LIVEDELAY_TEST_SOURCE_DIR "/alsa/virtual.conf.in");
    for (size_t at = config.find("@DIR@"); at != std::string::npos; at = config.find("@DIR@")) {
        config.replace(at, 5, devices.dir);
    }
    write_file(devices.dir + "/asound.conf", config);
    devices.env = {"ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" + devices.dir + "/asound.conf"};
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
