// The status of a run: the peak meters fed with tones and silence pass by pass, the line
// fitted to terminals of every width, the plain report, and the helpers the loop asks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "status.hpp"

namespace livedelay {
namespace {

// `frames` of a 1 kHz tone as 3-byte samples; an amplitude of 0 is silence.
std::vector<uint8_t> tone(int64_t rate, int64_t frames, double amplitude) {
    std::vector<uint8_t> bytes;
    for (int64_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int32_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * 1000 * i / rate)));
        bytes.insert(bytes.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)});
    }
    return bytes;
}

// Feeds lanes of equal length in passes of `pass_frames`, as the loop does.
void feed(peak_meter& meter, const std::vector<std::vector<uint8_t>>& lanes,
          int64_t pass_frames = 1021) {
    const auto frames = static_cast<int64_t>(lanes[0].size() / 3);
    for (int64_t at = 0; at < frames; at += pass_frames) {
        const int64_t n = std::min(pass_frames, frames - at);
        std::vector<std::span<const uint8_t>> spans;
        for (const auto& lane : lanes) {
            spans.push_back(std::span(lane).subspan(at * 3, n * 3));
        }
        meter_samples(meter, spans, n);
    }
}

constexpr double minus_20_db = 838860.8;

// The loud lane of a pair counts, whichever it is; silence reads -inf.
TEST(PeakMeter, ReadsTheLevelOfAToneOnEitherLane) {
    for (const int64_t rate : {44100, 48000, 96000}) {
        for (const double db : {-6.0, -20.0, -45.0, -HUGE_VAL}) {
            for (const size_t loud : {0, 1}) {
                std::vector<std::vector<uint8_t>> lanes(2, tone(rate, rate / 2, 0));
                lanes[loud] = tone(rate, rate / 2, 8388608 * std::pow(10, db / 20));
                peak_meter meter;
                create_peak_meter(meter, rate);
                feed(meter, lanes);
                const meter_reading r = read_meter(meter);
                EXPECT_TRUE(std::isinf(db) ? r.peak_db == db : std::abs(r.peak_db - db) <= 0.5)
                    << rate << " Hz, " << db << " dB, lane " << loud << ": " << r.peak_db;
                EXPECT_FALSE(r.clipped);
            }
        }
    }
}

// Full scale is +8388607 or -8388608, on either lane; one step short of it is no clip. The
// mark stays for the hold time after the last full-scale sample, then goes.
TEST(PeakMeter, ClipsAtFullScaleAndHoldsTheMark) {
    const int64_t rate = 48000;
    peak_meter meter;
    create_peak_meter(meter, rate);
    feed(meter, {tone(rate, rate / 2, 8388607)});
    EXPECT_NEAR(read_meter(meter).peak_db, 0, 0.01);
    EXPECT_TRUE(read_meter(meter).clipped);
    const int64_t hold_frames = rate * clip_hold_ns / 1'000'000'000;
    feed(meter, {tone(rate, hold_frames - 2048, minus_20_db)});
    EXPECT_TRUE(read_meter(meter).clipped);
    feed(meter, {tone(rate, 4096, minus_20_db)});
    EXPECT_FALSE(read_meter(meter).clipped);

    for (const auto& [sample, clips] : {std::pair{8388606, false}, std::pair{-8388607, false},
                                        std::pair{8388607, true}, std::pair{-8388608, true}}) {
        std::vector<std::vector<uint8_t>> lanes(2, tone(rate, 100, 0));
        lanes[1][150] = uint8_t(sample);  // frame 50 of the second lane
        lanes[1][151] = uint8_t(sample >> 8);
        lanes[1][152] = uint8_t(sample >> 16);
        create_peak_meter(meter, rate);
        feed(meter, lanes);
        EXPECT_EQ(read_meter(meter).clipped, clips) << sample;
    }
}

// A sample counts for at least a quarter second, so readings a quarter second apart miss
// nothing, and for at most a step of the window (1/32 s) longer.
TEST(PeakMeter, HoldsAQuarterSecondThenFallsBack) {
    for (const int64_t rate : {44100, 48000}) {
        for (const int64_t pass_frames : {1, 333, 4096}) {
            peak_meter meter;
            create_peak_meter(meter, rate);
            feed(meter, {tone(rate, rate, minus_20_db)}, pass_frames);
            const int64_t quarter_frames = (rate + 3) / 4;
            feed(meter, {tone(rate, quarter_frames - 1, 0)}, pass_frames);
            EXPECT_NEAR(read_meter(meter).peak_db, -20, 0.5) << rate << " " << pass_frames;
            // Under 0.29 s after the tone, wherever it ended in a step.
            feed(meter, {tone(rate, rate * 29 / 100 - quarter_frames + 1, 0)}, pass_frames);
            EXPECT_EQ(read_meter(meter).peak_magnitude, 0) << rate << " " << pass_frames;
        }
    }
}

// The example, with the meters' own bars: a line and its fields.
const status_fields example{.counter_seconds = 12,
                            .delay_asked_seconds = 0.51,
                            .heard_known = true,
                            .delay_heard_seconds = 0.5104,
                            .in = {.peak_db = -14.2},
                            .out = {.peak_db = -17.6, .clipped = true},
                            .drift_known = true,
                            .drift_ppm = 3.2};

int32_t columns_of(const std::string& text) {
    return static_cast<int32_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xc0) != 0x80; }));
}

// At every width the line is "\r", the first fields whole, then the erase; the fields that do
// not fit are the rightmost ones, and the last column stays free.
TEST(StatusLine, FitsEveryWidthDroppingWholeFieldsFromTheRight) {
    for (const bool utf8 : {true, false}) {
        const std::string fields[] = {"12 sec",
                                      "delay 0.510 s (heard 0.510)",
                                      utf8 ? "in ██████▁▁ -14 dB" : "in ######.. -14 dB",
                                      utf8 ? "out █████▅▁▁   CLIP" : "out #####=..   CLIP",
                                      "drift +3 ppm",
                                      "xruns 0"};
        for (int32_t width = 20; width <= 200; ++width) {
            status_text text;
            build_status_line(text, example, utf8, width);
            const std::string all(text.bytes, static_cast<size_t>(text.length_bytes));
            ASSERT_TRUE(all.starts_with("\r") && all.ends_with("\x1b[K")) << width;
            const std::string line = all.substr(1, all.size() - 4);
            EXPECT_EQ(columns_of(line), text.line_columns) << width;

            std::string expected = fields[0];
            for (size_t i = 1; i < std::size(fields); ++i) {
                if (columns_of(expected + "  " + fields[i]) > width - 1) {
                    break;
                }
                expected += "  " + fields[i];
            }
            EXPECT_EQ(line, expected) << width << (utf8 ? " UTF-8" : " ASCII");
        }
    }
}

TEST(StatusReport, CarriesEveryFieldInPlainAscii) {
    status_text text;
    build_status_report(text, example);
    EXPECT_STREQ(text.bytes,
                 "livedelay: 12 sec, delay 0.510 s, heard 0.510 s, in -14 dBFS, "
                 "out -18 dBFS (clipped), drift +3 ppm, xruns 0\n");
}

// Before the delay is judged or the drift measured, and for digital silence.
TEST(StatusReport, LeavesOutWhatIsNotKnownYet) {
    status_fields s = example;
    s.heard_known = false;
    s.drift_known = false;
    s.in = {.peak_db = -HUGE_VAL};
    s.xruns = 12;
    status_text text;
    build_status_line(text, s, false, 200);
    EXPECT_STREQ(text.bytes,
                 "\r12 sec  delay 0.510 s  in ........ -inf dB  out #####=..   CLIP  "
                 "xruns 12\x1b[K");
    build_status_report(text, s);
    EXPECT_STREQ(text.bytes,
                 "livedelay: 12 sec, delay 0.510 s, in -inf dBFS, out -18 dBFS (clipped), "
                 "xruns 12\n");
}

TEST(Terminal, UsesUtf8BlocksOnlyWhereTheLocaleIsUtf8) {
    for (const char* name : {"UTF-8", "utf8"}) {
        EXPECT_TRUE(codeset_is_utf8(name)) << name;
    }
    for (const char* name : {"ANSI_X3.4-1968", "ISO-8859-15", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(codeset_is_utf8(name));
    }
    for (const auto& [locale, utf8] : {std::pair{"C.UTF-8", true}, std::pair{"C", false},
                                       std::pair{"xx_NOWHERE.UTF-8", false}}) {
        ASSERT_EQ(setenv("LC_ALL", locale, 1), 0);
        EXPECT_EQ(locale_is_utf8(), utf8) << locale;
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");  // numbers keep the full stop
    }
    unsetenv("LC_ALL");
    std::setlocale(LC_CTYPE, "C");
}

TEST(Terminal, ReadsTheWidthOrFallsBackTo80) {
    const int pty = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
    const int side = open(ptsname(pty), O_RDWR | O_NOCTTY);
    int pipe_fds[2];
    ASSERT_TRUE(side >= 0 && pipe(pipe_fds) == 0);
    int32_t columns = 0;
    for (const auto& [set, fd, code, got] :
         {std::tuple{132, side, 0, 132}, std::tuple{0, side, -ENOTTY, 80},
          std::tuple{132, pipe_fds[1], -ENOTTY, 80}}) {
        winsize size{};
        size.ws_col = static_cast<unsigned short>(set);
        ASSERT_EQ(ioctl(pty, TIOCSWINSZ, &size), 0);
        EXPECT_EQ(terminal_columns(fd, columns), code) << set;
        EXPECT_EQ(columns, got) << set;
    }
    for (const int fd : {pty, side, pipe_fds[0], pipe_fds[1]}) {
        close(fd);
    }
}

// A loop that wakes every 85 ms (a pass of 4096 frames at 48000 Hz) for ten seconds redraws
// at its first wake, then never sooner than a quarter second after the last, nor a wake later.
TEST(RedrawPacing, AtMostFourTimesASecond) {
    redraw_pacing pacing;
    const int64_t start_ns = 5'000'000'000;
    const int64_t wake_ns = 85'000'000;
    int64_t last_ns = start_ns - redraw_interval_ns;
    int redraws = 0;
    for (int64_t now_ns = start_ns; now_ns < start_ns + 10'000'000'000; now_ns += wake_ns) {
        if (redraw_due(pacing, now_ns)) {
            EXPECT_GE(now_ns - last_ns, redraw_interval_ns) << now_ns;
            EXPECT_LT(now_ns - last_ns, redraw_interval_ns + wake_ns) << now_ns;
            last_ns = now_ns;
            ++redraws;
        }
    }
    EXPECT_EQ(redraws, 40);
}

}  // namespace
}  // namespace livedelay
