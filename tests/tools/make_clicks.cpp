// make_clicks: writes a 16-bit PCM WAV test signal for the delay measurements.
//
// The signal is a quiet continuous tone on every channel (so a dropout in the delayed copy
// shows up as digital silence) with short loud clicks at irregular intervals (so a delay
// cannot line up one click with a different one).  A click is a square wave of +A/-A with a
// period of 8 samples; its first sample is +A, so the onset is exact to the sample.
//
// With two channels the clicks alternate between left and right (or go to both with
// --both), so a swap of the channels is visible.
//
// usage: make_clicks [options] OUT.wav
//   --channels N        1 or 2 (default 1)
//   --rate R            sample rate (default 48000)
//   --seconds S         length (default 8)
//   --click-ms MS       length of one click (default 2)
//   --amplitude A       click amplitude, fraction of full scale (default 0.5)
//   --tone-amplitude A  amplitude of the tone under the clicks, 0 for none (default 0.01)
//   --tone-hz F         tone frequency (default 441; the right channel gets F*1.25)
//   --first-ms MS       time of the first click (default 300)
//   --min-gap-ms MS     shortest distance between clicks (default 230)
//   --max-gap-ms MS     longest distance between clicks (default 610)
//   --tail-ms MS        no click in the last MS of the file (default 300)
//   --seed N            seed of the interval sequence (default 1)
//   --both              with 2 channels, put every click on both channels
//   --list FILE         also write "channel time_ms sample" for every click to FILE
//                       (channel 0 means every channel)

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool_io.hpp"

namespace {

using tool_io::parse_double;

struct Options {
    int channels = 1;
    int rate = 48000;
    double seconds = 8.0;
    double click_ms = 2.0;
    double amplitude = 0.5;
    double tone_amplitude = 0.01;
    double tone_hz = 441.0;
    double first_ms = 300.0;
    double min_gap_ms = 230.0;
    double max_gap_ms = 610.0;
    double tail_ms = 300.0;
    unsigned long seed = 1;
    bool both = false;
    std::string list_path;
    std::string out_path;
};

struct Click {
    int channel;  // 0-based; -1 means every channel
    long sample;
};

void usage() {
    std::fprintf(stderr,
                 "usage: make_clicks [--channels 1|2] [--rate R] [--seconds S] [--click-ms MS]\n"
                 "       [--amplitude A] [--tone-amplitude A] [--tone-hz F] [--first-ms MS]\n"
                 "       [--min-gap-ms MS] [--max-gap-ms MS] [--tail-ms MS] [--seed N] [--both]\n"
                 "       [--list FILE] OUT.wav\n");
}

bool parse_args(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--both") {
            opt->both = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            if (!opt->out_path.empty())
                return false;
            opt->out_path = arg;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* val = argv[++i];
        double num = 0;
        if (arg == "--list") {
            opt->list_path = val;
            continue;
        }
        if (!parse_double(val, &num))
            return false;
        if (arg == "--channels") {
            opt->channels = static_cast<int>(num);
        } else if (arg == "--rate") {
            opt->rate = static_cast<int>(num);
        } else if (arg == "--seconds") {
            opt->seconds = num;
        } else if (arg == "--click-ms") {
            opt->click_ms = num;
        } else if (arg == "--amplitude") {
            opt->amplitude = num;
        } else if (arg == "--tone-amplitude") {
            opt->tone_amplitude = num;
        } else if (arg == "--tone-hz") {
            opt->tone_hz = num;
        } else if (arg == "--first-ms") {
            opt->first_ms = num;
        } else if (arg == "--min-gap-ms") {
            opt->min_gap_ms = num;
        } else if (arg == "--max-gap-ms") {
            opt->max_gap_ms = num;
        } else if (arg == "--tail-ms") {
            opt->tail_ms = num;
        } else if (arg == "--seed") {
            opt->seed = static_cast<unsigned long>(num);
        } else {
            return false;
        }
    }
    if (opt->out_path.empty())
        return false;
    if (opt->channels < 1 || opt->channels > 2)
        return false;
    if (opt->rate < 1000 || opt->seconds <= 0 || opt->click_ms <= 0)
        return false;
    if (opt->amplitude + opt->tone_amplitude > 1.0 || opt->amplitude <= 0)
        return false;
    if (opt->min_gap_ms <= opt->click_ms || opt->max_gap_ms < opt->min_gap_ms)
        return false;
    return true;
}

// A small deterministic generator, so the same seed gives the same file everywhere.
double next_unit(unsigned long* state) {
    *state = (*state * 6364136223846793005ULL + 1442695040888963407ULL) & 0xFFFFFFFFFFFFULL;
    return static_cast<double>(*state >> 16) / 4294967296.0;
}

std::vector<Click> schedule_clicks(const Options& opt) {
    std::vector<Click> clicks;
    unsigned long state = opt.seed * 2654435761UL + 12345UL;
    const long total = static_cast<long>(opt.seconds * opt.rate);
    const long last_allowed = total - static_cast<long>(opt.tail_ms * opt.rate / 1000.0);
    double t_ms = opt.first_ms;
    int index = 0;
    while (true) {
        long sample = static_cast<long>(std::lround(t_ms * opt.rate / 1000.0));
        if (sample >= last_allowed)
            break;
        int channel = 0;
        if (opt.channels == 2)
            channel = opt.both ? -1 : index % 2;
        clicks.push_back({channel, sample});
        ++index;
        t_ms += opt.min_gap_ms + (opt.max_gap_ms - opt.min_gap_ms) * next_unit(&state);
    }
    return clicks;
}

std::vector<int16_t> render(const Options& opt, const std::vector<Click>& clicks) {
    const long frames = static_cast<long>(opt.seconds * opt.rate);
    std::vector<double> buf(static_cast<size_t>(frames) * opt.channels, 0.0);
    const double pi = 3.14159265358979323846;
    for (int ch = 0; ch < opt.channels; ++ch) {
        double hz = opt.tone_hz * (ch == 0 ? 1.0 : 1.25);
        for (long n = 0; n < frames; ++n) {
            buf[n * opt.channels + ch] = opt.tone_amplitude * std::sin(2 * pi * hz * n / opt.rate);
        }
    }
    const long click_len = std::max(1L, std::lround(opt.click_ms * opt.rate / 1000.0));
    for (const Click& c : clicks) {
        for (long k = 0; k < click_len && c.sample + k < frames; ++k) {
            double v = (k % 8) < 4 ? opt.amplitude : -opt.amplitude;
            for (int ch = 0; ch < opt.channels; ++ch) {
                if (c.channel != -1 && c.channel != ch)
                    continue;
                buf[(c.sample + k) * opt.channels + ch] += v;
            }
        }
    }
    std::vector<int16_t> out(buf.size());
    for (size_t i = 0; i < buf.size(); ++i) {
        double v = std::lround(buf[i] * 32767.0);
        if (v > 32767)
            v = 32767;
        if (v < -32768)
            v = -32768;
        out[i] = static_cast<int16_t>(v);
    }
    return out;
}

void put_u32(std::FILE* f, uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

void put_u16(std::FILE* f, uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    std::fwrite(b, 1, 2, f);
}

bool write_wav(const std::string& path, const Options& opt, const std::vector<int16_t>& data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const uint32_t data_bytes = static_cast<uint32_t>(data.size() * 2);
    std::fwrite("RIFF", 1, 4, f);
    put_u32(f, 36 + data_bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    put_u32(f, 16);
    put_u16(f, 1);
    put_u16(f, static_cast<uint16_t>(opt.channels));
    put_u32(f, static_cast<uint32_t>(opt.rate));
    put_u32(f, static_cast<uint32_t>(opt.rate * opt.channels * 2));
    put_u16(f, static_cast<uint16_t>(opt.channels * 2));
    put_u16(f, 16);
    std::fwrite("data", 1, 4, f);
    put_u32(f, data_bytes);
    for (int16_t s : data)
        put_u16(f, static_cast<uint16_t>(s));
    bool ok = !std::ferror(f);
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

bool write_list(const std::string& path, const Options& opt, const std::vector<Click>& clicks) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    for (const Click& c : clicks) {
        std::fprintf(f, "%d %.3f %ld\n", c.channel + 1, c.sample * 1000.0 / opt.rate, c.sample);
    }
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse_args(argc, argv, &opt)) {
        usage();
        return 2;
    }
    std::vector<Click> clicks = schedule_clicks(opt);
    if (clicks.empty()) {
        std::fprintf(stderr, "make_clicks: the file is too short for a single click\n");
        return 2;
    }
    if (!write_wav(opt.out_path, opt, render(opt, clicks))) {
        std::fprintf(stderr, "make_clicks: cannot write %s\n", opt.out_path.c_str());
        return 1;
    }
    if (!opt.list_path.empty() && !write_list(opt.list_path, opt, clicks)) {
        std::fprintf(stderr, "make_clicks: cannot write %s\n", opt.list_path.c_str());
        return 1;
    }
    std::printf("clicks=%zu channels=%d rate=%d seconds=%.3f\n", clicks.size(), opt.channels,
                opt.rate, opt.seconds);
    return 0;
}
