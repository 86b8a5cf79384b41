// The click analyser that judges every real-time test, run on recordings built here: every
// click, delay, dropout and channel is placed by the test, so the summary must give back
// exactly what was put in, and the checks must pass or fail on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace {

constexpr double pi = 3.14159265358979323846;

// Interleaved samples at full scale 1, in no file format yet.
struct recording {
    int rate = 48000;
    int channels = 4;
    long frames = 0;
    std::vector<double> samples;
};

// The channels (0-based) of the test signal's two sides and of their delayed copy.
struct layout {
    int channels = 4;
    int in[2] = {0, 1};
    int out[2] = {2, 3};
};

struct signal_shape {
    int rate = 48000;
    double seconds = 6.0;
    long delay = 48000 / 2 + 37;  // half a second and a few samples: exact to the sample
    double tone_hz[2] = {441.0, 551.25};
    double tone_level = 0.01;
    double first_click_ms = 300.0;
    layout where;
};

// A recording of the test signal and its copy; click k sounds on side k % 2.
struct test_signal {
    recording rec;
    layout where;
    long delay = 0;
    std::vector<long> clicks;
};

double& sample(recording& r, long frame, int channel) {
    return r.samples[static_cast<size_t>(frame * r.channels + channel)];
}

long frames_of(double ms, int rate) {
    return std::lround(ms * rate / 1000.0);
}

double ms_of(long frames, int rate) {
    return frames * 1000.0 / rate;
}

std::string ms_text(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

// A click as make_clicks writes it: 2 ms of square wave, period 8 samples, starting high.
void add_click(recording& r, int channel, long onset, double level) {
    const long length = frames_of(2.0, r.rate);
    for (long k = 0; k < length && onset + k < r.frames; ++k) {
        sample(r, onset + k, channel) += (k % 8) < 4 ? level : -level;
    }
}

// Clicks at irregular distances: no two pairs of the first 12 lie within 14 ms of the same
// distance, so with a tolerance of 5 ms no delay but the true one lines up two of them.
std::vector<long> click_times(int rate, double first_ms, double last_ms) {
    static const double steps_ms[] = {607, 447, 464, 538, 254, 231, 293, 552, 566, 385, 326};
    std::vector<long> clicks;
    double t = first_ms;
    for (size_t k = 0; t <= last_ms; ++k) {
        clicks.push_back(frames_of(t, rate));
        t += steps_ms[k % std::size(steps_ms)];
    }
    return clicks;
}

// With the default signal, 1700 ms lies 150 ms and more from any click and far from the
// moments where both sides of the tone cross zero together (every 32000 frames).
constexpr long quiet_spot = 81600;

// The output, from frame `from` to frame `to`, plays the input `delay` frames late.
void copy_input(test_signal& s, long from, long to, long delay) {
    for (long n = std::max(from, delay); n < to; ++n) {
        for (int side = 0; side < 2; ++side) {
            sample(s.rec, n, s.where.out[side]) = sample(s.rec, n - delay, s.where.in[side]);
        }
    }
}

void silence(test_signal& s, int channel, long from, long length) {
    for (long n = from; n < from + length && n < s.rec.frames; ++n) {
        sample(s.rec, n, channel) = 0.0;
    }
}

// Both sides of the output silent where they play the input from frame `at` on.
void drop_out(test_signal& s, long at, long length) {
    silence(s, s.where.out[0], at + s.delay, length);
    silence(s, s.where.out[1], at + s.delay, length);
}

// The input only: a tone on each side over the whole recording, clicks up to where their
// copy still fits with room to spare.
test_signal input_only(const signal_shape& shape) {
    test_signal s;
    s.where = shape.where;
    s.delay = shape.delay;
    s.rec.rate = shape.rate;
    s.rec.channels = shape.where.channels;
    s.rec.frames = std::lround(shape.seconds * shape.rate);
    s.rec.samples.assign(static_cast<size_t>(s.rec.frames * s.rec.channels), 0.0);
    for (int side = 0; side < 2; ++side) {
        for (long n = 0; n < s.rec.frames; ++n) {
            sample(s.rec, n, s.where.in[side]) =
                shape.tone_level * std::sin(2 * pi * shape.tone_hz[side] * n / shape.rate);
        }
    }
    const double last_ms = shape.seconds * 1000.0 - ms_of(shape.delay, shape.rate) - 300.0;
    s.clicks = click_times(shape.rate, shape.first_click_ms, last_ms);
    for (size_t k = 0; k < s.clicks.size(); ++k) {
        add_click(s.rec, s.where.in[k % 2], s.clicks[k], 0.5);
    }
    return s;
}

// What a faultless program leaves: silence, then the input `delay` late.
test_signal delayed_copy(const signal_shape& shape) {
    test_signal s = input_only(shape);
    copy_input(s, 0, s.rec.frames, s.delay);
    return s;
}

// Where the copy of click k starts.
long copy_of(const test_signal& s, size_t k) {
    return s.clicks[k] + s.delay;
}

void remove_copy(test_signal& s, size_t k) {
    add_click(s.rec, s.where.out[k % 2], copy_of(s, k), -0.5);
}

void cut_after(test_signal& s, long frames) {
    s.rec.frames = frames;
    s.rec.samples.resize(static_cast<size_t>(frames * s.rec.channels));
}

std::string le(uint32_t value, int bytes) {
    std::string out;
    for (int k = 0; k < bytes; ++k) {
        out.push_back(static_cast<char>((value >> (8 * k)) & 0xff));
    }
    return out;
}

// Little-endian samples, written in place: a byte at a time into a growing string, the
// recordings of these tests took most of their time to build.
std::string s16le(const recording& r) {
    std::string bytes(r.samples.size() * 2, '\0');
    char* at = bytes.data();
    for (const double v : r.samples) {
        const auto q = static_cast<uint16_t>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
        *at++ = static_cast<char>(q & 0xff);
        *at++ = static_cast<char>(q >> 8);
    }
    return bytes;
}

std::string f32le(const recording& r) {
    std::string bytes(r.samples.size() * 4, '\0');
    char* at = bytes.data();
    for (const double v : r.samples) {
        const float f = static_cast<float>(v);
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            *at++ = static_cast<char>((bits >> (8 * k)) & 0xff);
        }
    }
    return bytes;
}

std::string fmt_chunk(int tag, int channels, int rate, int bits) {
    const int block = channels * bits / 8;
    return le(tag, 2) + le(channels, 2) + le(rate, 4) + le(rate * block, 4) + le(block, 2) +
           le(bits, 2);
}

// `data_size` other than the real one stands for a header its recorder never finished.
std::string wav_file(const std::string& fmt, const std::string& data, uint32_t data_size) {
    return "RIFF" + le(static_cast<uint32_t>(20 + fmt.size() + data.size()), 4) + "WAVEfmt " +
           le(static_cast<uint32_t>(fmt.size()), 4) + fmt + "data" + le(data_size, 4) + data;
}

std::string wav_pcm16(const recording& r) {
    const std::string data = s16le(r);
    return wav_file(fmt_chunk(1, r.channels, r.rate, 16), data, static_cast<uint32_t>(data.size()));
}

// 32-bit float in the extensible layout, as recorders write files of more than two channels.
std::string wav_float_extensible(const recording& r) {
    static const unsigned char float_guid_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const std::string fmt = fmt_chunk(0xFFFE, r.channels, r.rate, 32) + le(22, 2) + le(32, 2) +
                            le((1u << r.channels) - 1, 4) + le(3, 2) +
                            std::string(std::begin(float_guid_tail), std::end(float_guid_tail));
    const std::string data = f32le(r);
    return wav_file(fmt, data, static_cast<uint32_t>(data.size()));
}

struct analysis {
    int status = -1;
    std::string out;
    std::string err;
    std::map<std::string, std::string> summary;
};

analysis analyse(const std::string& path, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv{CLICK_DELAY_BIN};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    const process_result run = run_program(argv, {}, 30);
    analysis a{run.status, run.out, run.err, {}};
    // The summary comes after the detail lines and before any FAIL line.
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("clicks_in=")) {
            continue;
        }
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            const size_t eq = word.find('=');
            a.summary[word.substr(0, eq)] = eq == std::string::npos ? "" : word.substr(eq + 1);
        }
    }
    return a;
}

std::string text(const analysis& a, const std::string& name) {
    const auto it = a.summary.find(name);
    return it == a.summary.end() ? "(absent)" : it->second;
}

// A summary field as a number; NaN when it is absent or "none".
double field(const analysis& a, const std::string& name) {
    const auto it = a.summary.find(name);
    if (it == a.summary.end()) {
        return NAN;
    }
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    return *end == '\0' && end != it->second.c_str() ? value : NAN;
}

// The delays are printed to the microsecond; one sample is at least 1/48 ms.
void expect_delays(const analysis& a, long min, long max, int rate) {
    EXPECT_NEAR(field(a, "delay_ms_min"), ms_of(min, rate), 0.001) << a.out;
    EXPECT_NEAR(field(a, "delay_ms_max"), ms_of(max, rate), 0.001) << a.out;
    const double median = field(a, "delay_ms_median");
    EXPECT_TRUE(median >= ms_of(min, rate) - 0.001 && median <= ms_of(max, rate) + 0.001) << a.out;
}

// Numbers of the detail lines that start with `kind`, e.g. every length_ms of the gaps.
std::vector<double> listed(const std::string& out, const std::string& kind,
                           const std::string& name) {
    std::vector<double> values;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" " + name + "=");
        if (line.rfind(kind + " ", 0) == 0 && at != std::string::npos) {
            values.push_back(std::strtod(line.c_str() + at + name.size() + 2, nullptr));
        }
    }
    return values;
}

long fail_lines(const analysis& a) {
    long count = 0;
    std::istringstream lines(a.out);
    for (std::string line; std::getline(lines, line);) {
        count += line.starts_with("FAIL: ") ? 1 : 0;
    }
    return count;
}

class Analyser : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir("ldclick"); }
    void TearDown() override {
        if (!HasFailure()) {
            remove_tree(dir);
        }
    }
    std::string raw(const test_signal& s, const std::string& name = "rec.raw") {
        write_file(dir + "/" + name, s16le(s.rec));
        return dir + "/" + name;
    }
    std::string dir;
};

// --- A faultless copy, in every file format the recorders leave --------------------------

enum class container { raw_s16, wav_pcm16, wav_unfinished, wav_float, make_clicks_wav };

struct format_case {
    std::string name;
    container kind;
    int rate;
};

void PrintTo(const format_case& c, std::ostream* os) {
    *os << c.name;
}

class Formats : public Analyser, public ::testing::WithParamInterface<format_case> {
protected:
    // make_clicks' own signal and click list, with its copy on channels 3-4 after it.
    test_signal from_make_clicks(int rate, long delay) {
        const std::string wav = dir + "/signal.wav";
        const std::string list = dir + "/signal.txt";
        const process_result made =
            run_program({MAKE_CLICKS_BIN, "--channels", "2", "--rate", std::to_string(rate),
                         "--seconds", "5", "--list", list, wav},
                        {}, 30);
        // make_clicks writes the 44-byte canonical header, then 16-bit frames.
        const std::string bytes = read_file(wav);
        test_signal s;
        if (made.status != 0 || bytes.size() < 44 || bytes.compare(36, 4, "data") != 0) {
            ADD_FAILURE() << "make_clicks did not write its signal:\n" << made.err;
            return s;
        }
        s.delay = delay;
        s.rec.rate = rate;
        s.rec.frames = static_cast<long>(bytes.size() - 44) / 4 + delay + rate / 4;
        s.rec.samples.assign(static_cast<size_t>(s.rec.frames * 4), 0.0);
        for (size_t i = 0; 44 + 2 * i + 1 < bytes.size(); ++i) {
            const auto lo = static_cast<unsigned char>(bytes[44 + 2 * i]);
            const auto hi = static_cast<unsigned char>(bytes[44 + 2 * i + 1]);
            sample(s.rec, static_cast<long>(i / 2), static_cast<int>(i % 2)) =
                static_cast<int16_t>(lo | (hi << 8)) / 32767.0;
        }
        std::istringstream lines(read_file(list));
        int channel = 0;
        double time_ms = 0;
        for (long at = 0; lines >> channel >> time_ms >> at;) {
            s.clicks.push_back(at);
        }
        copy_input(s, 0, s.rec.frames, delay);
        return s;
    }
};

// Every click back at the one delay, to the sample, and every check at its strictest holds.
TEST_P(Formats, ACleanCopyMatchesEveryClickAtTheExactDelay) {
    const format_case& c = GetParam();
    const long delay = c.rate / 2 + 37;
    signal_shape shape;
    shape.rate = c.rate;
    shape.delay = delay;
    const test_signal s = c.kind == container::make_clicks_wav ? from_make_clicks(c.rate, delay)
                                                               : delayed_copy(shape);
    ASSERT_GE(s.clicks.size(), 8u);

    std::string path = dir + "/rec.wav";
    std::vector<std::string> options;
    switch (c.kind) {
        case container::raw_s16:
            path = raw(s);
            options = {"--rate", std::to_string(c.rate)};
            break;
        case container::wav_pcm16:
        case container::make_clicks_wav:
            write_file(path, wav_pcm16(s.rec));
            break;
        case container::wav_unfinished:
            write_file(path, wav_file(fmt_chunk(1, 4, c.rate, 16), s16le(s.rec), 0));
            break;
        case container::wav_float:
            write_file(path, wav_float_extensible(s.rec));
            break;
    }
    const std::string n = std::to_string(s.clicks.size());
    const double delay_ms = ms_of(delay, c.rate);
    options.insert(options.end(),
                   {"--expect-min-ms", ms_text(delay_ms - 0.001), "--expect-max-ms",
                    ms_text(delay_ms + 0.001), "--max-spread-ms", "0", "--min-matched", n,
                    "--max-missing", "0", "--max-extra", "0", "--max-gaps", "0"});
    const analysis a = analyse(path, options);
    EXPECT_EQ(a.status, 0) << a.out << a.err;
    EXPECT_EQ(text(a, "clicks_in"), n);
    EXPECT_EQ(text(a, "clicks_out"), n);
    EXPECT_EQ(text(a, "matched"), n);
    EXPECT_EQ(text(a, "missing"), "0");
    EXPECT_EQ(text(a, "extra"), "0");
    EXPECT_EQ(text(a, "gaps"), "0");
    expect_delays(a, delay, delay, c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Formats,
    ::testing::Values(format_case{"RawS16At48000", container::raw_s16, 48000},
                      format_case{"RawS16At44100", container::raw_s16, 44100},
                      format_case{"WavPcm16At48000", container::wav_pcm16, 48000},
                      format_case{"WavLeftUnfinishedByItsRecorder", container::wav_unfinished,
                                  48000},
                      format_case{"WavFloatExtensibleAt44100", container::wav_float, 44100},
                      format_case{"MakeClicksSignalAt44100", container::make_clicks_wav, 44100}),
    [](const auto& info) { return info.param.name; });

// --- Gaps: digital silence where the delayed tone should sound --------------------------

struct gap_case {
    std::string name;
    long at;      // input frame whose copy the silence starts on
    long length;  // frames
    std::vector<int> sides;
    std::vector<std::string> options;
    long gaps;
    long missing = 0;
};

void PrintTo(const gap_case& c, std::ostream* os) {
    *os << c.name;
}

class Gaps : public Analyser, public ::testing::WithParamInterface<gap_case> {};

TEST_P(Gaps, AreCountedWhenSilenceLastsTheGapLength) {
    const gap_case& c = GetParam();
    test_signal s = delayed_copy({});
    for (int side : c.sides) {
        silence(s, s.where.out[side], c.at + s.delay, c.length);
    }
    const analysis a = analyse(raw(s), c.options);
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(field(a, "gaps"), c.gaps) << a.out;
    EXPECT_EQ(field(a, "missing"), c.missing) << a.out;
    if (c.gaps == 1) {
        EXPECT_EQ(listed(a.out, "gap", "out_ms"),
                  std::vector<double>{std::stod(ms_text(ms_of(c.at + s.delay, 48000)))});
        EXPECT_EQ(listed(a.out, "gap", "length_ms"),
                  std::vector<double>{std::stod(ms_text(ms_of(c.length, 48000)))});
    }
}

// At frame 96000 both sides of the tone are exactly 0; the fourth click starts at 87264.
INSTANTIATE_TEST_SUITE_P(
    Silences, Gaps,
    ::testing::Values(
        gap_case{"TwentyMilliseconds", quiet_spot, 960, {0, 1}, {}, 1},
        gap_case{"ShorterThanTheDefaultGapLength", quiet_spot, 4 * 48, {0, 1}, {}, 0},
        gap_case{"AsLongAsGapMs", quiet_spot, 4 * 48, {0, 1}, {"--gap-ms", "4"}, 1},
        gap_case{"OneSampleShortOfGapMs", quiet_spot, 4 * 48 - 1, {0, 1}, {"--gap-ms", "4"}, 0},
        gap_case{"StartingWhereTheToneCrossesZero", 96000, 960, {0, 1}, {}, 1},
        gap_case{"SwallowingAClick", 86880, 960, {0, 1}, {}, 1, 1},
        // The other side still sounds: over both channels that is no gap...
        gap_case{"OnOneSideOnly", quiet_spot, 960, {0}, {}, 0},
        // ...but that side on its own shows it.
        gap_case{"OnOneSideAnalysedAlone", quiet_spot, 960, {0}, {"--in", "1", "--out", "3"}, 1}),
    [](const auto& info) { return info.param.name; });

// A tone so low and quiet that each of its zero crossings is a millisecond of exact zeros,
// on both sides at once: the copy of such a crossing is the signal, not a dropout.
TEST_F(Analyser, TheTonesOwnZeroCrossingsAreNoGaps) {
    signal_shape shape;
    shape.tone_hz[0] = shape.tone_hz[1] = 40.0;
    shape.tone_level = 4.0 / 32767;
    test_signal s = delayed_copy(shape);
    const std::vector<std::string> options{"--gap-ms", "0.5", "--tolerance-ms", "1"};
    const analysis clean = analyse(raw(s), options);
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(text(clean, "matched"), std::to_string(s.clicks.size())) << clean.out;
    EXPECT_EQ(text(clean, "gaps"), "0") << clean.out;

    // A real dropout halfway between two crossings still counts.
    drop_out(s, quiet_spot + 150, 240);
    const analysis dropout = analyse(raw(s), options);
    EXPECT_EQ(text(dropout, "gaps"), "1") << dropout.out;
}

// The program started 0.6 s into the recording, while the tone already sounded: its
// output is silent until the first copy, and that silence is its start, not a gap.
TEST_F(Analyser, SilenceBeforeTheFirstCopyIsNoGap) {
    signal_shape shape;
    shape.first_click_ms = 900.0;
    test_signal s = input_only(shape);
    const long start = 28800;
    copy_input(s, start + s.delay, s.rec.frames, s.delay);
    const std::string n = std::to_string(s.clicks.size());
    const analysis a = analyse(raw(s), {"--max-gaps", "0", "--max-missing", "0"});
    EXPECT_EQ(a.status, 0) << a.out;
    EXPECT_EQ(text(a, "matched"), n);
    EXPECT_EQ(text(a, "gaps"), "0");

    // Once the copy has started, silence is a gap again.
    drop_out(s, quiet_spot, 960);
    const analysis later = analyse(raw(s), {"--max-gaps", "0"});
    EXPECT_EQ(later.status, 1) << later.out;
    EXPECT_EQ(text(later, "gaps"), "1");
}

// --- Clicks: lost, extra, and those whose copy the recording ends before -----------------

struct click_case {
    std::string name;
    void (*edit)(test_signal&);
    long unmatched;  // input clicks without a copy, whether missing or past the end
    long missing;
    long extra;
};

void PrintTo(const click_case& c, std::ostream* os) {
    *os << c.name;
}

class Clicks : public Analyser, public ::testing::WithParamInterface<click_case> {};

TEST_P(Clicks, AreAccountedForOneByOne) {
    const click_case& c = GetParam();
    test_signal s = delayed_copy({});
    c.edit(s);
    const analysis a = analyse(raw(s));
    EXPECT_EQ(a.status, 0) << a.err;
    const long n = static_cast<long>(s.clicks.size());
    EXPECT_EQ(field(a, "clicks_in"), n) << a.out;
    EXPECT_EQ(field(a, "matched"), n - c.unmatched) << a.out;
    EXPECT_EQ(field(a, "missing"), c.missing) << a.out;
    EXPECT_EQ(field(a, "extra"), c.extra) << a.out;
    EXPECT_EQ(listed(a.out, "extra", "out_ms").size(), static_cast<size_t>(c.extra));
    expect_delays(a, s.delay, s.delay, 48000);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, Clicks,
    ::testing::Values(
        click_case{"LostCopy", [](test_signal& s) { remove_copy(s, 4); }, 1, 1, 0},
        click_case{"TwoLostCopies",
                   [](test_signal& s) {
                       remove_copy(s, 1);
                       remove_copy(s, 6);
                   },
                   2, 2, 0},
        click_case{
            "ExtraOutputClick",
            [](test_signal& s) { add_click(s.rec, s.where.out[1], quiet_spot + s.delay, 0.5); }, 0,
            0, 1},
        click_case{"LostCopyAndAnExtraClickElsewhere",
                   [](test_signal& s) {
                       remove_copy(s, 3);
                       add_click(s.rec, s.where.out[0], quiet_spot + s.delay, 0.5);
                   },
                   1, 1, 1},
        // The recording ends 10 ms before the last copy would start.
        click_case{"CopyPastTheEnd",
                   [](test_signal& s) { cut_after(s, copy_of(s, s.clicks.size() - 1) - 480); }, 1,
                   0, 0},
        // Its start is still there, 1 ms of it.
        click_case{"CopyCutShortByTheEnd",
                   [](test_signal& s) { cut_after(s, copy_of(s, s.clicks.size() - 1) + 48); }, 0, 0,
                   0},
        // 30 ms before the end, more than the tolerance: the recording shows it is lost.
        click_case{"LostCopyJustBeforeTheEnd",
                   [](test_signal& s) {
                       remove_copy(s, s.clicks.size() - 1);
                       cut_after(s, copy_of(s, s.clicks.size() - 1) + 1440);
                   },
                   1, 1, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(Analyser, ALostClickIsListedAtItsInputTime) {
    test_signal s = delayed_copy({});
    remove_copy(s, 4);
    add_click(s.rec, s.where.out[1], quiet_spot + s.delay, 0.5);
    const analysis a = analyse(raw(s));
    std::vector<double> missing;
    std::istringstream lines(a.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with(" missing")) {
            missing.push_back(std::strtod(line.c_str() + line.find('=') + 1, nullptr));
        }
    }
    EXPECT_EQ(missing, std::vector<double>{std::stod(ms_text(ms_of(s.clicks[4], 48000)))});
    EXPECT_EQ(listed(a.out, "extra", "out_ms"),
              std::vector<double>{std::stod(ms_text(ms_of(quiet_spot + s.delay, 48000)))});
}

// --- Checks: each passes at its limit and fails one step past it --------------------------

// One recording with one of each fault: the delay grows by 3 ms halfway, one copy is lost,
// one click is extra and 20 ms of the copy are silent.
test_signal flawed() {
    test_signal s = input_only({});
    const long later = s.delay + 144;
    const long middle = (copy_of(s, 6) + copy_of(s, 7)) / 2;
    copy_input(s, 0, middle, s.delay);
    copy_input(s, middle, s.rec.frames, later);
    remove_copy(s, 2);
    add_click(s.rec, s.where.out[0], quiet_spot + s.delay, 0.5);
    drop_out(s, 48000 * 3, 960);
    return s;
}

TEST_F(Analyser, AMovingDelayShowsInItsSpread) {
    const test_signal s = flawed();
    const analysis a = analyse(raw(s));
    EXPECT_EQ(a.status, 0) << a.err;
    const long n = static_cast<long>(s.clicks.size());
    EXPECT_EQ(field(a, "matched"), n - 1) << a.out;
    EXPECT_EQ(field(a, "missing"), 1);
    EXPECT_EQ(field(a, "extra"), 1);
    EXPECT_EQ(field(a, "gaps"), 1);
    expect_delays(a, s.delay, s.delay + 144, 48000);
}

struct check_case {
    std::string name;
    // "first+MS" stands for the first delay plus MS (or minus), "matched" for the clicks that
    // match.
    std::vector<std::string> options;
    int status;
    long fails;
};

void PrintTo(const check_case& c, std::ostream* os) {
    *os << c.name;
}

class Checks : public Analyser, public ::testing::WithParamInterface<check_case> {};

TEST_P(Checks, PassAtTheirLimitAndFailPastIt) {
    const check_case& c = GetParam();
    const test_signal s = flawed();
    const long matched = static_cast<long>(s.clicks.size()) - 1;
    std::vector<std::string> options;
    for (const std::string& option : c.options) {
        if (option.starts_with("first")) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%.6f",
                          ms_of(s.delay, 48000) + std::stod(option.substr(5)));
            options.push_back(limit);
        } else if (option.starts_with("matched")) {
            options.push_back(std::to_string(matched + (option == "matched+1" ? 1 : 0)));
        } else {
            options.push_back(option);
        }
    }
    const analysis a = analyse(raw(s), options);
    EXPECT_EQ(a.status, c.status) << a.out;
    EXPECT_EQ(fail_lines(a), c.fails) << a.out;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, Checks,
    ::testing::Values(check_case{"None", {}, 0, 0},
                      check_case{"SpreadWithin", {"--max-spread-ms", "3.001"}, 0, 0},
                      check_case{"SpreadBeyond", {"--max-spread-ms", "2.999"}, 1, 1},
                      check_case{"MinimumReached", {"--expect-min-ms", "first-0.001"}, 0, 0},
                      check_case{"MinimumMissed", {"--expect-min-ms", "first+0.01"}, 1, 1},
                      check_case{"MaximumKept", {"--expect-max-ms", "first+3.001"}, 0, 0},
                      check_case{"MaximumExceeded", {"--expect-max-ms", "first+2.99"}, 1, 1},
                      check_case{"EnoughMatched", {"--min-matched", "matched"}, 0, 0},
                      check_case{"TooFewMatched", {"--min-matched", "matched+1"}, 1, 1},
                      check_case{"MissingAllowed", {"--max-missing", "1"}, 0, 0},
                      check_case{"MissingRefused", {"--max-missing", "0"}, 1, 1},
                      check_case{"ExtraAllowed", {"--max-extra", "1"}, 0, 0},
                      check_case{"ExtraRefused", {"--max-extra", "0"}, 1, 1},
                      check_case{"GapsAllowed", {"--max-gaps", "1"}, 0, 0},
                      check_case{"GapsRefused", {"--max-gaps", "0"}, 1, 1},
                      check_case{"AllAtTheirLimits",
                                 {"--max-spread-ms", "3.001", "--expect-min-ms", "first-0.001",
                                  "--expect-max-ms", "first+3.001", "--min-matched", "matched",
                                  "--max-missing", "1", "--max-extra", "1", "--max-gaps", "1"},
                                 0,
                                 0},
                      check_case{"EachFailureOnItsOwnLine",
                                 {"--max-spread-ms", "1", "--max-missing", "0", "--max-gaps", "0"},
                                 1,
                                 3}),
    [](const auto& info) { return info.param.name; });

// A delay check on a recording where nothing matched fails: no delay is no good delay.
TEST_F(Analyser, DelayChecksFailWhenNothingMatched) {
    test_signal s = input_only({});
    const analysis a = analyse(raw(s), {"--expect-max-ms", "1000"});
    EXPECT_EQ(a.status, 1) << a.out;
    EXPECT_EQ(text(a, "matched"), "0");
    EXPECT_EQ(text(a, "delay_ms_median"), "none");
    EXPECT_EQ(fail_lines(a), 1);
}

// --- Channels -------------------------------------------------------------------------

struct channel_case {
    std::string name;
    layout where;
    std::vector<std::string> options;
    bool left_only;  // only the clicks of the input's first side are selected
};

void PrintTo(const channel_case& c, std::ostream* os) {
    *os << c.name;
}

class Channels : public Analyser, public ::testing::WithParamInterface<channel_case> {};

// Channels outside the selection carry clicks of their own, at other times: reading one of
// them by mistake changes the counts.
TEST_P(Channels, OnlyTheSelectedOnesAreRead) {
    const channel_case& c = GetParam();
    signal_shape shape;
    shape.where = c.where;
    test_signal s = delayed_copy(shape);
    for (int ch = 0; ch < c.where.channels; ++ch) {
        if (std::count(std::begin(c.where.in), std::end(c.where.in), ch) == 0 &&
            std::count(std::begin(c.where.out), std::end(c.where.out), ch) == 0) {
            for (long at = 6000 + 1000 * ch; at < s.rec.frames; at += 10000) {
                add_click(s.rec, ch, at, 0.9);
            }
        }
    }
    std::vector<std::string> options = c.options;
    if (c.where.channels != 4) {
        options.insert(options.end(), {"--channels", std::to_string(c.where.channels)});
    }
    const analysis a = analyse(raw(s), options);
    EXPECT_EQ(a.status, 0) << a.err;
    const size_t n = c.left_only ? (s.clicks.size() + 1) / 2 : s.clicks.size();
    EXPECT_EQ(text(a, "clicks_in"), std::to_string(n)) << a.out;
    EXPECT_EQ(text(a, "matched"), std::to_string(n)) << a.out;
    EXPECT_EQ(text(a, "extra"), "0") << a.out;
    expect_delays(a, s.delay, s.delay, 48000);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Channels,
    ::testing::Values(
        channel_case{"Default", {}, {}, false},
        channel_case{"OutputFirst", {4, {2, 3}, {0, 1}}, {"--in", "3,4", "--out", "1,2"}, false},
        channel_case{
            "ScatteredOverSix", {6, {4, 1}, {5, 0}}, {"--in", "5,2", "--out", "6,1"}, false},
        channel_case{"OneSide", {}, {"--in", "1", "--out", "3"}, true},
        channel_case{"OneSideAmongSix", {6, {5, 1}, {0, 3}}, {"--in", "6", "--out", "1"}, true}),
    [](const auto& info) { return info.param.name; });

// With the roles of the channels mixed up, each "copy" comes before its input: the true
// delay is out of reach, and at most one pair of clicks lines up by chance.
TEST_F(Analyser, InputAndOutputTheWrongWayRoundMatchNothing) {
    const test_signal s = delayed_copy({});
    const analysis reversed = analyse(
        raw(s), {"--in", "3,4", "--out", "1,2", "--tolerance-ms", "5", "--min-matched", "2"});
    EXPECT_EQ(reversed.status, 1) << reversed.out;
    EXPECT_LE(field(reversed, "matched"), 1) << reversed.out;
}

// The clicks alternate between the sides, so a swap of the output channels shows when each
// side is analysed alone: its clicks do not come back on its own side. Over both sides
// together it cannot show, as the onsets are taken from the loudest selected channel; nor
// can it with the same clicks on both sides (make_clicks --both).
TEST_F(Analyser, SwappedOutputChannelsShowSideBySide) {
    test_signal s = input_only({});
    std::swap(s.where.out[0], s.where.out[1]);
    copy_input(s, 0, s.rec.frames, s.delay);
    const std::string path = raw(s);
    const std::string half = std::to_string(s.clicks.size() / 2);
    for (const std::string side : {"1", "2"}) {
        const analysis alone = analyse(path, {"--in", side, "--out", side == "1" ? "3" : "4",
                                              "--tolerance-ms", "5", "--min-matched", half});
        EXPECT_EQ(alone.status, 1) << side << "\n" << alone.out;
        EXPECT_LE(field(alone, "matched"), 1) << alone.out;
    }
    const analysis both = analyse(path, {"--tolerance-ms", "5"});
    EXPECT_EQ(text(both, "matched"), std::to_string(s.clicks.size())) << both.out;
}

// --- Bad usage and unreadable files -------------------------------------------------------

// A readable recording and unreadable ones beside it.
class RecordingFiles : public Analyser {
protected:
    void SetUp() override {
        Analyser::SetUp();
        signal_shape shape;
        shape.seconds = 3.0;
        const test_signal good = delayed_copy(shape);
        raw(good, "good.raw");
        good_clicks = std::to_string(good.clicks.size());
        write_file(dir + "/empty.raw", "");
        write_file(dir + "/short.wav", "RIFF" + le(4, 4));
        write_file(dir + "/u8.wav",
                   wav_file(fmt_chunk(1, 4, 48000, 8), std::string(400, '\x80'), 400));
        write_file(dir + "/nodata.wav",
                   "RIFF" + le(28, 4) + "WAVEfmt " + le(16, 4) + fmt_chunk(1, 4, 48000, 16));
        write_file(dir + "/datafirst.wav", "RIFF" + le(48, 4) + "WAVEdata" + le(8, 4) +
                                               std::string(8, '\0') + "fmt " + le(16, 4) +
                                               fmt_chunk(1, 4, 48000, 16));
        write_file(dir + "/zerorate.wav",
                   wav_file(fmt_chunk(1, 4, 0, 16), std::string(800, '\1'), 800));
    }
    // "@name" stands for the file of that name in the test's directory.
    process_result run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{CLICK_DELAY_BIN};
        for (const std::string& arg : args) {
            argv.push_back(arg.starts_with("@") ? dir + "/" + arg.substr(1) : arg);
        }
        return run_program(argv, {}, 30);
    }
    std::string good_clicks;
};

// What the refused cases below spoil, on its own, is fine.
TEST_F(RecordingFiles, TheGoodRecordingIsRead) {
    const process_result r = run({"--in", "1,2", "--out", "3,4", "@good.raw"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string n = good_clicks;
    EXPECT_NE(r.out.find("clicks_in=" + n + " clicks_out=" + n + " matched=" + n + " "),
              std::string::npos)
        << r.out;
}

struct refusal {
    std::string name;
    std::vector<std::string> args;
};

void PrintTo(const refusal& c, std::ostream* os) {
    *os << c.name;
}

class Refused : public RecordingFiles, public ::testing::WithParamInterface<refusal> {};

// Exit status 2 and a word on stderr, never a summary that a test could take for a result.
TEST_P(Refused, ExitsTwoWithoutASummary) {
    const process_result r = run(GetParam().args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out.find("clicks_in="), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Refused,
    ::testing::Values(refusal{"NoRecording", {}}, refusal{"OnlyAnOption", {"--quiet"}},
                      refusal{"TwoRecordings", {"@good.raw", "@good.raw"}},
                      refusal{"UnknownOption", {"--bogus", "1", "@good.raw"}},
                      refusal{"OptionWithoutValue", {"@good.raw", "--max-gaps"}},
                      refusal{"ChannelZero", {"--in", "0", "@good.raw"}},
                      refusal{"EmptyChannelInList", {"--in", "1,,2", "@good.raw"}},
                      refusal{"ChannelNotANumber", {"--out", "3,x", "@good.raw"}},
                      refusal{"ChannelTheFileLacks", {"--out", "5", "@good.raw"}},
                      refusal{"ThresholdZero", {"--threshold", "0", "@good.raw"}},
                      refusal{"ThresholdAboveFullScale", {"--threshold", "1.5", "@good.raw"}},
                      refusal{"GapLengthZero", {"--gap-ms", "0", "@good.raw"}},
                      refusal{"NegativeTolerance", {"--tolerance-ms", "-1", "@good.raw"}},
                      refusal{"DelayRangeUpsideDown",
                              {"--min-delay-ms", "600", "--max-delay-ms", "500", "@good.raw"}},
                      refusal{"NegativeCount", {"--max-missing", "-1", "@good.raw"}},
                      refusal{"RateNotANumber", {"--rate", "44.1k", "@good.raw"}},
                      refusal{"UnknownFormat", {"--format", "s8", "@good.raw"}},
                      refusal{"NoChannels", {"--channels", "0", "@good.raw"}},
                      refusal{"AbsentFile", {"@absent.raw"}}, refusal{"Directory", {"@"}},
                      refusal{"EmptyFile", {"@empty.raw"}},
                      refusal{"WavCutInItsHeader", {"@short.wav"}},
                      refusal{"WavOf8BitSamples", {"@u8.wav"}},
                      refusal{"WavWithoutData", {"@nodata.wav"}},
                      refusal{"WavDataBeforeFormat", {"@datafirst.wav"}},
                      refusal{"WavAtRateZero", {"@zerorate.wav"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
