#include "settings.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace livedelay {

namespace {

// strtol in base 10 keeping only the low 32 bits; text that is not a number gives 0.
uint32_t low_32_bits(const char* text) {
    return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}

const char* mode_label(routing_mode mode) {
    switch (mode) {
        case routing_mode::stereo_to_stereo:
            return "(stereo in -> stereo out)";
        case routing_mode::mono_to_both:
            return "(mono in -> stereo out)";
        case routing_mode::mono_to_mono:
            break;
    }
    return "(mono in -> mono out)";
}

// A channel argument as a 0-based number; wide enough that no value overflows.
int64_t channel_from(const char* text) {
    return int64_t{static_cast<int32_t>(low_32_bits(text))} - 1;
}

// Writes the channel line; gives false (after a message, if any) for a refused channel.
bool report_channel(FILE* out, const char* side, int64_t channel, bool pair, int32_t width) {
    if (pair) {
        std::fprintf(out, "%s Channels = %lld+%lld\n", side, static_cast<long long>(channel + 1),
                     static_cast<long long>(channel + 2));
    } else {
        std::fprintf(out, "%s Channel = %lld\n", side, static_cast<long long>(channel + 1));
    }
    if (channel < 0) {
        return false;
    }
    if (channel + width > maximum_channel_number) {
        std::fprintf(out, "%s channel can be set up to %i\n", side,
                     maximum_channel_number - width + 1);
        return false;
    }
    return true;
}

}  // namespace

int parse_rebuild_options(int argc, const char* const argv[], rebuild_options& options,
                          int& taken) {
    taken = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--build") {
            options.build = true;
        } else if (option == "--glide") {
            options.glide = true;
        } else if (option == "--rebuild-rate" && i + 1 < argc) {
            char* end = nullptr;
            const double percent = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(percent >= 0.5 && percent <= 20.0)) {
                std::printf("The rebuild rate is a number of per cent from 0.5 to 20\n");
                return -EINVAL;
            }
            options.rate_percent = percent;
        } else {
            break;
        }
        taken = i;
    }
    return 0;
}

void print_usage(FILE* out) {
    std::fputs(
        "livedelay - plays live sound back after a fixed delay\n"
        "Add 1 or more arguments:\n\n"
        "<device> <mode> <inp chan> <outp chan> <delay in sec> <samplerate> <timeout>\n\n"
        "Mode 1: a mono input will be sent to one side of a stereo output (default)\n"
        "Mode 2: a stereo input will be sent to a stereo output\n"
        "Mode 3: a mono input will be sent to both sides of a stereo ouput\n\n"
        "In the case of stereo outputs and inputs, the track number given in the command line "
        "indicates the first of the two channels (usually left side)\n\n"
        "WARNING!  Since this program intentionally creates a delay, a destructive feedback loop "
        "can occur if the input can hear the output such as with a laptop or a microphone near "
        "monitor speakers.  The output should be sent to headphones.\n\n",
        out);
}

int32_t routed_width(routing_mode mode) {
    return mode == routing_mode::mono_to_mono ? 1 : 2;
}

int32_t channel_count_for(routing_mode mode, int32_t input_channel, int32_t output_channel) {
    const int32_t width = routed_width(mode);
    int32_t count = 2;
    while (count < input_channel + width || count < output_channel + width) {
        count += 2;
    }
    return count;
}

std::optional<run_settings> parse_command_line(int argc, const char* const argv[], FILE* out) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        print_usage(out);
        return std::nullopt;
    }
    run_settings settings;
    settings.device_name = argv[1];
    std::fprintf(out, "Device = %s\n", settings.device_name.c_str());

    if (argc > 2) {
        const uint32_t mode = low_32_bits(argv[2]);
        if (mode - 1u <= 2u) {
            settings.mode = static_cast<routing_mode>(mode);
        }
    }
    std::fprintf(out, "Mode = %i ", static_cast<int>(settings.mode));
    std::fprintf(out, "%s\n", mode_label(settings.mode));

    const bool pair_in = settings.mode == routing_mode::stereo_to_stereo;
    const bool pair_out = settings.mode != routing_mode::mono_to_mono;
    const int32_t width = routed_width(settings.mode);

    const int64_t input = argc > 3 ? channel_from(argv[3]) : 0;
    if (!report_channel(out, "Input", input, pair_in, width)) {
        return std::nullopt;
    }
    settings.input_channel = static_cast<int32_t>(input);
    const int64_t output = argc > 4 ? channel_from(argv[4]) : 0;
    if (!report_channel(out, "Output", output, pair_out, width)) {
        return std::nullopt;
    }
    settings.output_channel = static_cast<int32_t>(output);

    settings.channel_count =
        channel_count_for(settings.mode, settings.input_channel, settings.output_channel);

    if (argc > 5) {
        settings.delay_seconds = static_cast<float>(std::strtod(argv[5], nullptr));
    }
    std::fprintf(out, "Time delay ~ %.3f sec\n", static_cast<double>(settings.delay_seconds));
    if (std::isnan(settings.delay_seconds)) {
        std::fputs("Delay time is not a number\n", out);
        return std::nullopt;
    }
    if (settings.delay_seconds > maximum_delay_seconds) {
        std::fputs("Delay time can be set up to 600 seconds\n", out);
        return std::nullopt;
    }
    if (settings.delay_seconds < 0.0f) {
        std::fputs("Delay time is less than zero!\n", out);
        return std::nullopt;
    }
    settings.delay_plus_one_seconds = settings.delay_seconds + 1.0f;

    settings.sample_rate = argc > 6 ? low_32_bits(argv[6]) : default_sample_rate;
    std::fprintf(out, "Sample rate = %i\n", static_cast<int>(settings.sample_rate));
    // Compared as the signed value printed above, so a negative rate is refused too.
    if (static_cast<int32_t>(settings.sample_rate) < static_cast<int32_t>(minimum_sample_rate)) {
        return std::nullopt;
    }
    if (settings.sample_rate > maximum_sample_rate) {
        std::fprintf(out, "Sample rate can be set up to %u\n", maximum_sample_rate);
        return std::nullopt;
    }

    const uint32_t timeout_seconds = argc > 7 ? low_32_bits(argv[7]) : default_timeout_seconds;
    settings.frame_budget = settings.sample_rate * timeout_seconds;
    std::fprintf(out, "Time out at %i sec\n",
                 static_cast<int>(settings.frame_budget / settings.sample_rate));
    return settings;
}

}  // namespace livedelay
