// click_delay: measures how far a click train in some channels of a recording reappears in
// other channels of the same recording.
//
// The recording normally comes from `parecord` on the 4-channel monitor of the test sink:
// channels 1-2 hold the signal that went into the program, channels 3-4 what it played.
// Because both halves were recorded on one clock, the distance between a click and its copy
// is the real delay of the program.
//
// usage: click_delay [options] RECORDING
//   RECORDING is a WAV file (16/24/32-bit integer or 32-bit float PCM) or raw interleaved
//   samples; a file that starts with "RIFF" is read as WAV, anything else as raw.
//   --channels N        channels of a raw file (default 4)
//   --rate R            sample rate of a raw file (default 48000)
//   --format F          raw sample format: s16le (default), s24le (3 bytes), s32le, f32le
//   --in LIST           1-based channels that carry the input, e.g. 1,2 (default 1,2)
//   --out LIST          1-based channels that carry the delayed output (default 3,4)
//   --threshold A       onset threshold, fraction of full scale (default 0.25)
//   --holdoff-ms MS     no new onset within MS after one (default 50)
//   --min-delay-ms MS   shortest delay searched (default 0)
//   --max-delay-ms MS   longest delay searched (default 60000)
//   --tolerance-ms MS   how far a copy may be from the common delay and still match (default 20)
//   --gap-ms MS         shortest unexpected digital silence counted as a gap (default 5)
//   --quiet             print only the summary line
// Checks; when one fails, a line "FAIL: ..." is printed and the exit status is 1:
//   --expect-min-ms MS  every matched delay is at least MS
//   --expect-max-ms MS  every matched delay is at most MS
//   --max-spread-ms MS  largest minus smallest matched delay is at most MS
//   --min-matched N     at least N clicks matched
//   --max-missing N     at most N input clicks without a copy (a click whose copy would fall
//                       past the end of the recording is not counted as missing)
//   --max-extra N       at most N output clicks without an input click
//   --max-gaps N        at most N gaps
//
// Output: one line per input click ("click in_ms=.. out_ms=.. delay_ms=.." or "click in_ms=..
// missing" or "click in_ms=.. beyond_end"), one per unmatched output click ("extra
// out_ms=.."), one per gap ("gap out_ms=.. length_ms=.."), then the summary:
//   clicks_in=N clicks_out=M matched=K missing=X extra=E delay_ms_min=.. delay_ms_median=..
//   delay_ms_max=.. gaps=G
// The delay fields are "none" when nothing matched.
//
// Onsets: the largest absolute sample over the selected channels is compared with the
// threshold; the first sample at or above it is an onset, and the next hold-off is skipped.
// Delay: the distance d that lets the most input clicks find an output click within the
// tolerance (ties: the smaller total error) is refined to the median of the matched
// distances, and every input click is matched with the nearest unused output click within
// the tolerance of in + d.
// Gaps: a gap is a run of at least --gap-ms of exact zeros in all output channels at a
// place where the input, d earlier, was sounding (runs of input zeros shorter than --gap-ms,
// as at the zero crossings of a tone, count as sounding, and a copy of longer ones is the
// signal's own silence; each sounding stretch is shortened by the tolerance at both ends).
// The output's silence before it first sounds is the program's start, not a gap.  This
// needs a continuous signal under the clicks, as the one make_clicks writes; with silence
// between the clicks nothing can be a gap.
//
// Exit status: 0 all well, 1 a check failed, 2 bad usage or unreadable recording.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tool_io.hpp"

namespace {

using tool_io::get_u16;
using tool_io::get_u32;
using tool_io::parse_double;
using tool_io::parse_long;

struct Options {
    int channels = 4;
    int rate = 48000;
    std::string format = "s16le";
    std::vector<int> in_channels = {0, 1};
    std::vector<int> out_channels = {2, 3};
    double threshold = 0.25;
    double holdoff_ms = 50.0;
    double min_delay_ms = 0.0;
    double max_delay_ms = 60000.0;
    double tolerance_ms = 20.0;
    double gap_ms = 5.0;
    bool quiet = false;
    double expect_min_ms = NAN;
    double expect_max_ms = NAN;
    double max_spread_ms = NAN;
    long min_matched = -1;
    long max_missing = -1;
    long max_extra = -1;
    long max_gaps = -1;
    std::string path;
};

// Samples as floats in [-1, 1], interleaved.
struct Recording {
    int channels = 0;
    int rate = 0;
    long frames = 0;
    std::vector<float> samples;
};

struct Match {
    long in_onset;
    long out_onset;  // -1: missing; -2: its copy would lie past the end of the recording
};

struct Gap {
    long start;
    long length;
};

struct Result {
    std::vector<long> in_onsets;
    std::vector<long> out_onsets;
    std::vector<Match> matches;
    std::vector<long> extra;
    std::vector<Gap> gaps;
    std::vector<double> delays_ms;  // sorted
    long delay = 0;                 // samples
    long missing = 0;
};

void usage() {
    std::fprintf(stderr,
                 "usage: click_delay [--channels N] [--rate R] [--format s16le|s24le|s32le|f32le]\n"
                 "       [--in LIST] [--out LIST] [--threshold A] [--holdoff-ms MS]\n"
                 "       [--min-delay-ms MS] [--max-delay-ms MS] [--tolerance-ms MS]\n"
                 "       [--gap-ms MS] [--quiet] [--expect-min-ms MS] [--expect-max-ms MS]\n"
                 "       [--max-spread-ms MS]"
                 " [--min-matched N] [--max-missing N] [--max-extra N]\n"
                 "       [--max-gaps N] RECORDING\n");
}

// "1,2" -> {0, 1}
bool parse_channel_list(const std::string& text, std::vector<int>* out) {
    out->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        long ch = 0;
        if (!parse_long(text.substr(pos, comma - pos).c_str(), &ch) || ch < 1 || ch > 64) {
            return false;
        }
        out->push_back(static_cast<int>(ch - 1));
        pos = comma + 1;
    }
    return !out->empty();
}

bool parse_option(const std::string& name, const char* val, Options* opt) {
    double num = 0;
    long count = 0;
    if (name == "--format") {
        opt->format = val;
        return true;
    }
    if (name == "--in")
        return parse_channel_list(val, &opt->in_channels);
    if (name == "--out")
        return parse_channel_list(val, &opt->out_channels);
    if (name == "--channels" || name == "--rate" || name == "--min-matched" ||
        name == "--max-missing" || name == "--max-extra" || name == "--max-gaps") {
        if (!parse_long(val, &count) || count < 0)
            return false;
        if (name == "--channels")
            opt->channels = static_cast<int>(count);
        if (name == "--rate")
            opt->rate = static_cast<int>(count);
        if (name == "--min-matched")
            opt->min_matched = count;
        if (name == "--max-missing")
            opt->max_missing = count;
        if (name == "--max-extra")
            opt->max_extra = count;
        if (name == "--max-gaps")
            opt->max_gaps = count;
        return true;
    }
    if (!parse_double(val, &num))
        return false;
    if (name == "--threshold") {
        opt->threshold = num;
    } else if (name == "--holdoff-ms") {
        opt->holdoff_ms = num;
    } else if (name == "--min-delay-ms") {
        opt->min_delay_ms = num;
    } else if (name == "--max-delay-ms") {
        opt->max_delay_ms = num;
    } else if (name == "--tolerance-ms") {
        opt->tolerance_ms = num;
    } else if (name == "--gap-ms") {
        opt->gap_ms = num;
    } else if (name == "--expect-min-ms") {
        opt->expect_min_ms = num;
    } else if (name == "--expect-max-ms") {
        opt->expect_max_ms = num;
    } else if (name == "--max-spread-ms") {
        opt->max_spread_ms = num;
    } else {
        return false;
    }
    return true;
}

bool parse_args(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quiet") {
            opt->quiet = true;
        } else if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc || !parse_option(arg, argv[i + 1], opt))
                return false;
            ++i;
        } else if (opt->path.empty()) {
            opt->path = arg;
        } else {
            return false;
        }
    }
    if (opt->path.empty() || opt->channels < 1 || opt->rate < 1)
        return false;
    if (opt->threshold <= 0 || opt->threshold > 1 || opt->holdoff_ms < 0)
        return false;
    if (opt->tolerance_ms < 0 || opt->gap_ms <= 0)
        return false;
    return opt->min_delay_ms >= 0 && opt->max_delay_ms >= opt->min_delay_ms;
}

int bytes_per_sample(const std::string& format) {
    if (format == "s16le")
        return 2;
    if (format == "s24le")
        return 3;
    if (format == "s32le" || format == "f32le")
        return 4;
    return 0;
}

float decode_sample(const unsigned char* p, const std::string& format) {
    if (format == "s16le")
        return static_cast<int16_t>(get_u16(p)) / 32768.0f;
    if (format == "s24le") {
        int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        if (v & 0x800000)
            v -= 0x1000000;
        return v / 8388608.0f;
    }
    if (format == "s32le")
        return static_cast<int32_t>(get_u32(p)) / 2147483648.0f;
    uint32_t bits = get_u32(p);
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return std::isfinite(f) ? f : 0.0f;
}

bool decode(const std::vector<unsigned char>& bytes, size_t offset, size_t length,
            const std::string& format, Recording* rec) {
    const int width = bytes_per_sample(format);
    if (width == 0 || rec->channels < 1)
        return false;
    const size_t frame_bytes = static_cast<size_t>(width) * rec->channels;
    rec->frames = static_cast<long>(length / frame_bytes);
    rec->samples.resize(static_cast<size_t>(rec->frames) * rec->channels);
    for (size_t i = 0; i < rec->samples.size(); ++i) {
        rec->samples[i] = decode_sample(&bytes[offset + i * width], format);
    }
    return true;
}

// Reads the fmt and data chunks.  A data size of 0 or one past the end of the file (as left
// by a recorder that was killed) means "up to the end of the file".
bool read_wav(const std::vector<unsigned char>& bytes, Recording* rec, std::string* error) {
    if (bytes.size() < 12 || std::memcmp(&bytes[8], "WAVE", 4) != 0) {
        *error = "not a WAVE file";
        return false;
    }
    std::string format;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const unsigned char* chunk = &bytes[pos];
        size_t size = get_u32(chunk + 4);
        size_t body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || body + 16 > bytes.size())
                break;
            int tag = get_u16(&bytes[body]);
            rec->channels = get_u16(&bytes[body + 2]);
            rec->rate = static_cast<int>(get_u32(&bytes[body + 4]));
            int bits = get_u16(&bytes[body + 14]);
            if (tag == 0xFFFE && size >= 40 && body + 26 <= bytes.size()) {
                tag = get_u16(&bytes[body + 24]);  // first bytes of the sub-format GUID
            }
            if (tag == 1 && bits == 16)
                format = "s16le";
            if (tag == 1 && bits == 24)
                format = "s24le";
            if (tag == 1 && bits == 32)
                format = "s32le";
            if (tag == 3 && bits == 32)
                format = "f32le";
            if (format.empty()) {
                *error = "unsupported WAV sample format (tag " + std::to_string(tag) + ", " +
                         std::to_string(bits) + " bits)";
                return false;
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (format.empty()) {
                *error = "WAV data chunk before fmt chunk";
                return false;
            }
            if (size == 0 || size > bytes.size() - body)
                size = bytes.size() - body;
            return decode(bytes, body, size, format, rec);
        }
        pos = body + size + (size & 1);
    }
    *error = "no data chunk in WAV file";
    return false;
}

bool read_file(const std::string& path, std::vector<unsigned char>* bytes, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        bytes->insert(bytes->end(), chunk, chunk + n);
    }
    const bool failed = std::ferror(f) != 0;
    const int saved = errno;
    std::fclose(f);
    if (failed) {
        *error = "cannot read " + path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

bool read_recording(const Options& opt, Recording* rec, std::string* error) {
    std::vector<unsigned char> bytes;
    if (!read_file(opt.path, &bytes, error))
        return false;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "RIFF", 4) == 0) {
        return read_wav(bytes, rec, error);
    }
    rec->channels = opt.channels;
    rec->rate = opt.rate;
    if (!decode(bytes, 0, bytes.size(), opt.format, rec)) {
        *error = "unknown raw format " + opt.format;
        return false;
    }
    return true;
}

float peak_at(const Recording& rec, const std::vector<int>& channels, long frame) {
    const float* row = &rec.samples[static_cast<size_t>(frame) * rec.channels];
    float peak = 0;
    for (int ch : channels)
        peak = std::max(peak, std::fabs(row[ch]));
    return peak;
}

bool all_zero_at(const Recording& rec, const std::vector<int>& channels, long frame) {
    const float* row = &rec.samples[static_cast<size_t>(frame) * rec.channels];
    for (int ch : channels) {
        if (row[ch] != 0.0f)
            return false;
    }
    return true;
}

std::vector<long> find_onsets(const Recording& rec, const std::vector<int>& channels,
                              float threshold, long holdoff) {
    std::vector<long> onsets;
    for (long n = 0; n < rec.frames; ++n) {
        if (peak_at(rec, channels, n) >= threshold) {
            onsets.push_back(n);
            n += holdoff;
        }
    }
    return onsets;
}

// Index of the output onset nearest to target, or -1 if none is within tol.
long nearest(const std::vector<long>& sorted, long target, long tol) {
    auto it = std::lower_bound(sorted.begin(), sorted.end(), target);
    long best = -1;
    long best_dist = tol + 1;
    if (it != sorted.end() && *it - target < best_dist) {
        best = it - sorted.begin();
        best_dist = *it - target;
    }
    if (it != sorted.begin() && target - *(it - 1) < best_dist) {
        best = (it - 1) - sorted.begin();
    }
    return best;
}

// The delay (in samples) that matches the most input clicks.
long estimate_delay(const std::vector<long>& in, const std::vector<long>& out, long min_delay,
                    long max_delay, long tol) {
    long best_delay = -1;
    long best_count = 0;
    long best_error = 0;
    for (long a : in) {
        for (long b : out) {
            long d = b - a;
            if (d < min_delay || d > max_delay)
                continue;
            long count = 0;
            long error = 0;
            for (long x : in) {
                long j = nearest(out, x + d, tol);
                if (j < 0)
                    continue;
                ++count;
                error += std::labs(out[j] - (x + d));
            }
            if (count > best_count || (count == best_count && error < best_error)) {
                best_delay = d;
                best_count = count;
                best_error = error;
            }
        }
    }
    return best_delay;
}

std::vector<Match> match_clicks(const std::vector<long>& in, const std::vector<long>& out,
                                long delay, long tol, long frames, std::vector<bool>* used) {
    std::vector<Match> matches;
    used->assign(out.size(), false);
    for (long x : in) {
        long target = x + delay;
        long best = -1;
        for (size_t j = 0; j < out.size(); ++j) {
            if ((*used)[j] || std::labs(out[j] - target) > tol)
                continue;
            if (best < 0 || std::labs(out[j] - target) < std::labs(out[best] - target)) {
                best = static_cast<long>(j);
            }
        }
        if (best >= 0) {
            (*used)[best] = true;
            matches.push_back({x, out[best]});
        } else {
            matches.push_back({x, target + tol >= frames ? -2L : -1L});
        }
    }
    return matches;
}

long median_distance(const std::vector<Match>& matches) {
    std::vector<long> d;
    for (const Match& m : matches) {
        if (m.out_onset >= 0)
            d.push_back(m.out_onset - m.in_onset);
    }
    if (d.empty())
        return -1;
    std::sort(d.begin(), d.end());
    return d[d.size() / 2];
}

// Input frames where a signal is present, with short silent runs filled in and every
// sounding stretch shortened by `shrink` at both ends.
std::vector<bool> input_sounding(const Recording& rec, const std::vector<int>& channels, long fill,
                                 long shrink) {
    std::vector<bool> sound(static_cast<size_t>(rec.frames), false);
    for (long n = 0; n < rec.frames; ++n)
        sound[n] = !all_zero_at(rec, channels, n);
    // Fill silent runs shorter than `fill` that lie between two sounding samples.
    long last_sound = -1;
    for (long n = 0; n < rec.frames; ++n) {
        if (!sound[n])
            continue;
        if (last_sound >= 0 && n - last_sound - 1 < fill) {
            for (long k = last_sound + 1; k < n; ++k)
                sound[k] = true;
        }
        last_sound = n;
    }
    std::vector<bool> shrunk(sound.size(), false);
    long n = 0;
    while (n < rec.frames) {
        if (!sound[n]) {
            ++n;
            continue;
        }
        long start = n;
        while (n < rec.frames && sound[n])
            ++n;
        for (long k = start + shrink; k < n - shrink; ++k)
            shrunk[k] = true;
    }
    return shrunk;
}

std::vector<Gap> find_gaps(const Recording& rec, const Options& opt, long delay) {
    const long min_len = std::max(1L, std::lround(opt.gap_ms * rec.rate / 1000.0));
    const long shrink = std::lround(opt.tolerance_ms * rec.rate / 1000.0);
    std::vector<bool> sounding = input_sounding(rec, opt.in_channels, min_len, shrink);
    // Until the output first sounds the program had not started: that silence is no gap.
    long first_sound = 0;
    while (first_sound < rec.frames && all_zero_at(rec, opt.out_channels, first_sound))
        ++first_sound;
    std::vector<Gap> gaps;
    long run_start = -1;
    for (long n = first_sound; n <= rec.frames; ++n) {
        bool bad = false;
        if (n < rec.frames && n - delay >= 0) {
            bad = sounding[n - delay] && all_zero_at(rec, opt.out_channels, n);
        }
        if (bad && run_start < 0)
            run_start = n;
        if (!bad && run_start >= 0) {
            if (n - run_start >= min_len)
                gaps.push_back({run_start, n - run_start});
            run_start = -1;
        }
    }
    return gaps;
}

Result analyse(const Recording& rec, const Options& opt) {
    const double per_ms = rec.rate / 1000.0;
    const long holdoff = std::lround(opt.holdoff_ms * per_ms);
    const long tol = std::lround(opt.tolerance_ms * per_ms);
    const float threshold = static_cast<float>(opt.threshold);
    Result r;
    r.in_onsets = find_onsets(rec, opt.in_channels, threshold, holdoff);
    r.out_onsets = find_onsets(rec, opt.out_channels, threshold, holdoff);
    long d = estimate_delay(r.in_onsets, r.out_onsets, std::lround(opt.min_delay_ms * per_ms),
                            std::lround(opt.max_delay_ms * per_ms), tol);
    std::vector<bool> used(r.out_onsets.size(), false);
    if (d >= 0) {
        r.matches = match_clicks(r.in_onsets, r.out_onsets, d, tol, rec.frames, &used);
        long refined = median_distance(r.matches);
        if (refined >= 0 && refined != d) {
            d = refined;
            r.matches = match_clicks(r.in_onsets, r.out_onsets, d, tol, rec.frames, &used);
        }
        r.delay = d;
        r.gaps = find_gaps(rec, opt, d);
    } else {
        for (long x : r.in_onsets)
            r.matches.push_back({x, -1});
    }
    for (size_t j = 0; j < r.out_onsets.size(); ++j) {
        if (!used[j])
            r.extra.push_back(r.out_onsets[j]);
    }
    for (const Match& m : r.matches) {
        if (m.out_onset >= 0)
            r.delays_ms.push_back((m.out_onset - m.in_onset) / per_ms);
        if (m.out_onset == -1)
            ++r.missing;
    }
    std::sort(r.delays_ms.begin(), r.delays_ms.end());
    return r;
}

void print_details(const Result& r, int rate) {
    const double per_ms = rate / 1000.0;
    for (const Match& m : r.matches) {
        if (m.out_onset >= 0) {
            std::printf("click in_ms=%.3f out_ms=%.3f delay_ms=%.3f\n", m.in_onset / per_ms,
                        m.out_onset / per_ms, (m.out_onset - m.in_onset) / per_ms);
        } else {
            std::printf("click in_ms=%.3f %s\n", m.in_onset / per_ms,
                        m.out_onset == -2 ? "beyond_end" : "missing");
        }
    }
    for (long x : r.extra)
        std::printf("extra out_ms=%.3f\n", x / per_ms);
    for (const Gap& g : r.gaps) {
        std::printf("gap out_ms=%.3f length_ms=%.3f\n", g.start / per_ms, g.length / per_ms);
    }
}

std::string format_ms(const std::vector<double>& sorted, int which) {
    if (sorted.empty())
        return "none";
    double v = which < 0 ? sorted.front() : which > 0 ? sorted.back() : sorted[sorted.size() / 2];
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

void print_summary(const Result& r) {
    std::printf(
        "clicks_in=%zu clicks_out=%zu matched=%zu missing=%ld extra=%zu delay_ms_min=%s "
        "delay_ms_median=%s delay_ms_max=%s gaps=%zu\n",
        r.in_onsets.size(), r.out_onsets.size(), r.delays_ms.size(), r.missing, r.extra.size(),
        format_ms(r.delays_ms, -1).c_str(), format_ms(r.delays_ms, 0).c_str(),
        format_ms(r.delays_ms, 1).c_str(), r.gaps.size());
}

// Prints a FAIL line for every check that does not hold; returns how many failed.
int run_checks(const Result& r, const Options& opt) {
    int failed = 0;
    auto fail = [&failed](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failed;
    };
    const bool any = !r.delays_ms.empty();
    const bool delay_checks = !std::isnan(opt.expect_min_ms) || !std::isnan(opt.expect_max_ms) ||
                              !std::isnan(opt.max_spread_ms);
    if (delay_checks && !any)
        fail("no click matched, so no delay was measured");
    if (any && !std::isnan(opt.expect_min_ms) && r.delays_ms.front() < opt.expect_min_ms) {
        fail("smallest delay " + format_ms(r.delays_ms, -1) + " ms is below the expected " +
             std::to_string(opt.expect_min_ms) + " ms");
    }
    if (any && !std::isnan(opt.expect_max_ms) && r.delays_ms.back() > opt.expect_max_ms) {
        fail("largest delay " + format_ms(r.delays_ms, 1) + " ms is above the expected " +
             std::to_string(opt.expect_max_ms) + " ms");
    }
    if (any && !std::isnan(opt.max_spread_ms) &&
        r.delays_ms.back() - r.delays_ms.front() > opt.max_spread_ms) {
        fail("delays spread over " + std::to_string(r.delays_ms.back() - r.delays_ms.front()) +
             " ms, more than " + std::to_string(opt.max_spread_ms) + " ms");
    }
    if (opt.min_matched >= 0 && static_cast<long>(r.delays_ms.size()) < opt.min_matched) {
        fail(std::to_string(r.delays_ms.size()) + " clicks matched, fewer than " +
             std::to_string(opt.min_matched));
    }
    if (opt.max_missing >= 0 && r.missing > opt.max_missing) {
        fail(std::to_string(r.missing) + " clicks missing, more than " +
             std::to_string(opt.max_missing));
    }
    if (opt.max_extra >= 0 && static_cast<long>(r.extra.size()) > opt.max_extra) {
        fail(std::to_string(r.extra.size()) + " extra output clicks, more than " +
             std::to_string(opt.max_extra));
    }
    if (opt.max_gaps >= 0 && static_cast<long>(r.gaps.size()) > opt.max_gaps) {
        fail(std::to_string(r.gaps.size()) + " gaps, more than " + std::to_string(opt.max_gaps));
    }
    return failed;
}

bool channels_fit(const std::vector<int>& channels, int count) {
    for (int ch : channels) {
        if (ch >= count)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse_args(argc, argv, &opt)) {
        usage();
        return 2;
    }
    if (bytes_per_sample(opt.format) == 0) {
        std::fprintf(stderr, "click_delay: unknown format %s\n", opt.format.c_str());
        return 2;
    }
    Recording rec;
    std::string error;
    if (!read_recording(opt, &rec, &error)) {
        std::fprintf(stderr, "click_delay: %s\n", error.c_str());
        return 2;
    }
    if (rec.rate < 1000 || rec.frames == 0) {
        std::fprintf(stderr, "click_delay: %s holds no usable audio\n", opt.path.c_str());
        return 2;
    }
    if (!channels_fit(opt.in_channels, rec.channels) ||
        !channels_fit(opt.out_channels, rec.channels)) {
        std::fprintf(stderr, "click_delay: %s has only %d channels\n", opt.path.c_str(),
                     rec.channels);
        return 2;
    }
    Result r = analyse(rec, opt);
    if (!opt.quiet)
        print_details(r, rec.rate);
    print_summary(r);
    return run_checks(r, opt) == 0 ? 0 : 1;
}
