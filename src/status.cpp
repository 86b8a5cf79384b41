#include "status.hpp"

#include <langinfo.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace livedelay {

namespace {

constexpr double full_scale_magnitude = 8388608.0;

// Each sample is read as the top three bytes of a 32-bit word: the sample times 256, its sign
// kept without a step of its own. Folded as v ^ (v >> 31) it is |v| for a positive sample and
// |v| - 1 for a negative one, so one comparison a sample finds the peak. Full scale folds to
// 0x7fffff00 (+8388607) or 0x7fffffff (-8388608), and nothing else reaches 0x7fffff00.
constexpr int32_t folded_full_scale = 0x7fffff00;

int32_t fold(uint32_t word) {
    const auto v = static_cast<int32_t>(word << 8);
    return v ^ (v >> 31);
}

int32_t magnitude_of(int32_t folded) {
    return static_cast<int32_t>((static_cast<uint32_t>(folded) + 255) >> 8);
}

// The highest folded sample of `frames` 3-byte samples, at least `peak`.
int32_t folded_peak(const uint8_t* bytes, int64_t frames, int32_t peak) {
    if (frames <= 0) {
        return peak;
    }
    // A word from each sample on reads the next sample's first byte too, and past the end for
    // the last sample, which is read on its own.
    for (int64_t i = 0; i + 1 < frames; ++i) {
        uint32_t word;
        std::memcpy(&word, bytes + i * 3, 4);
        peak = std::max(peak, fold(word));
    }
    const uint8_t* b = bytes + (frames - 1) * 3;
    return std::max(peak, fold(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16));
}

}  // namespace

void create_peak_meter(peak_meter& meter, int64_t rate) {
    meter = peak_meter{};
    // Steps of whole frames that together hold at least the window.
    const int64_t window_frames = (rate * meter_window_ns + 999'999'999) / 1'000'000'000;
    meter.step_frames = std::max<int64_t>(1, (window_frames + meter_steps - 1) / meter_steps);
    meter.clip_hold_frames = rate * clip_hold_ns / 1'000'000'000;
}

void meter_samples(peak_meter& meter, std::span<const std::span<const uint8_t>> lanes,
                   int64_t frames) {
    bool clipped = false;
    int64_t done = 0;
    while (done < frames) {
        const int64_t n = std::min(frames - done, meter.step_frames - meter.open_frames);
        int32_t folded = 0;
        for (const std::span<const uint8_t> lane : lanes) {
            folded = folded_peak(lane.data() + done * 3, n, folded);
        }
        clipped = clipped || folded >= folded_full_scale;
        meter.open_peak = std::max(meter.open_peak, magnitude_of(folded));
        meter.open_frames += n;
        done += n;
        if (meter.open_frames == meter.step_frames) {
            meter.step_peak[meter.next_step] = meter.open_peak;
            meter.next_step = (meter.next_step + 1) % meter_steps;
            meter.open_peak = 0;
            meter.open_frames = 0;
        }
    }
    meter.clip_left_frames =
        clipped ? meter.clip_hold_frames : std::max<int64_t>(0, meter.clip_left_frames - frames);
}

meter_reading read_meter(const peak_meter& meter) {
    meter_reading reading;
    reading.peak_magnitude = meter.open_peak;
    for (const int32_t peak : meter.step_peak) {
        reading.peak_magnitude = std::max(reading.peak_magnitude, peak);
    }
    reading.peak_db = reading.peak_magnitude == 0
                          ? -std::numeric_limits<double>::infinity()
                          : 20 * std::log10(reading.peak_magnitude / full_scale_magnitude);
    reading.clipped = meter.clip_left_frames > 0;
    return reading;
}

namespace {

// The bar of a meter: 8 cells over -60..0 dBFS filled from the left, 7.5 dB a cell in seven
// steps of about a dB; a cell with none shows the baseline. Gives the bytes written.
constexpr double bar_floor_db = -60;
constexpr int bar_cells = 8;

int32_t write_meter_bar(char* cells, double peak_db, bool utf8) {
    constexpr int steps_per_cell = 7;
    constexpr int total_steps = bar_cells * steps_per_cell;
    const double filled = (peak_db - bar_floor_db) / -bar_floor_db * total_steps;
    const int steps = filled > 0 ? static_cast<int>(std::min<double>(filled, total_steps)) : 0;
    static constexpr const char* blocks[steps_per_cell + 1] = {"▁", "▂", "▃", "▄",
                                                               "▅", "▆", "▇", "█"};
    int32_t bytes = 0;
    for (int cell = 0; cell < bar_cells; ++cell) {
        const int fill = std::clamp(steps - cell * steps_per_cell, 0, steps_per_cell);
        if (utf8) {
            std::memcpy(cells + bytes, blocks[fill], 3);
            bytes += 3;
        } else {
            cells[bytes++] = fill == steps_per_cell ? '#' : fill > 0 ? '=' : '.';
        }
    }
    return bytes;
}

// One field of text, built on the stack.
struct field {
    char bytes[96];
    int32_t length_bytes = 0;
    int32_t columns = 0;
};

void add(field& f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(field& f, const char* format, ...) {
    const int32_t room = static_cast<int32_t>(sizeof f.bytes) - f.length_bytes;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(f.bytes + f.length_bytes, static_cast<size_t>(room), format, args);
    va_end(args);
    // ASCII only here: a byte a column.
    const int32_t added = std::clamp(n, 0, room - 1);
    f.length_bytes += added;
    f.columns += added;
}

void add_bar(field& f, double peak_db, bool utf8) {
    if (static_cast<int32_t>(sizeof f.bytes) - f.length_bytes > bar_cells * 3) {
        f.length_bytes += write_meter_bar(f.bytes + f.length_bytes, peak_db, utf8);
        f.bytes[f.length_bytes] = '\0';
        f.columns += bar_cells;
    }
}

// Whole decibels, right-aligned in three columns on the line; digital silence as -inf.
void add_db(field& f, double db, bool aligned) {
    if (std::isinf(db)) {
        add(f, "%s", "-inf");
    } else {
        add(f, aligned ? "%3ld" : "%ld", static_cast<long>(std::lround(db)));
    }
}

// The fields in the order they are shown. On the line the delay heard goes with the delay
// asked, as "(heard 0.510)"; the report gives it a field of its own.
enum class field_id { counter, delay, heard, rebuild, in, out, drift, xruns };
constexpr field_id field_order[] = {field_id::counter, field_id::delay, field_id::heard,
                                    field_id::rebuild, field_id::in,    field_id::out,
                                    field_id::drift,   field_id::xruns};

enum class form { line, report };

void write_meter(field& f, const char* name, const meter_reading& m, form how, bool utf8) {
    add(f, "%s ", name);
    if (how == form::line) {
        add_bar(f, m.peak_db, utf8);
        // While the clip mark is held it takes the place of the reading, in as many columns,
        // so the fields to its right do not come and go with it.
        if (m.clipped) {
            add(f, "   CLIP");
        } else {
            add(f, " ");
            add_db(f, m.peak_db, true);
            add(f, " dB");
        }
    } else {
        add_db(f, m.peak_db, false);
        add(f, " dBFS%s", m.clipped ? " (clipped)" : "");
    }
}

// Writes one field; gives false for one that is not shown (not known yet, or not in this form).
bool write_field(field& f, field_id id, const status_fields& s, form how, bool utf8) {
    switch (id) {
        case field_id::counter:
            add(f, "%.0f sec", s.counter_seconds);  // the counter's own text
            return true;
        case field_id::delay:
            add(f, "delay %.3f s", s.delay_asked_seconds);
            if (how == form::line && s.heard_known) {
                add(f, " (heard %.3f)", s.delay_heard_seconds);
            }
            return true;
        case field_id::heard:
            if (how == form::line || !s.heard_known) {
                return false;
            }
            add(f, "heard %.3f s", s.delay_heard_seconds);
            return true;
        case field_id::in:
            write_meter(f, "in", s.in, how, utf8);
            return true;
        case field_id::out:
            write_meter(f, "out", s.out, how, utf8);
            return true;
        case field_id::rebuild:
            if (!s.rebuild_known) {
                return false;
            }
            add(f, "rebuilding to %.3f s, %.0f s left", s.rebuild_goal_seconds,
                s.rebuild_left_seconds);
            return true;
        case field_id::drift:
            if (!s.drift_known) {
                return false;
            }
            add(f, "drift %+ld ppm", static_cast<long>(std::lround(s.drift_ppm)));
            return true;
        case field_id::xruns:
            add(f, "xruns %lld", static_cast<long long>(s.xruns));
            return true;
    }
    return false;
}

void append(status_text& text, const char* bytes, int32_t length_bytes, int32_t columns) {
    std::memcpy(text.bytes + text.length_bytes, bytes, static_cast<size_t>(length_bytes));
    text.length_bytes += length_bytes;
    text.bytes[text.length_bytes] = '\0';
    text.line_columns += columns;
}

void append(status_text& text, const char* ascii) {
    const auto length_bytes = static_cast<int32_t>(std::strlen(ascii));
    append(text, ascii, length_bytes, 0);
}

// The fields that fit in `room_columns`, whole and in order, between `start` and `end`; a
// field that does not fit is dropped with all to its right.
void build(status_text& text, const status_fields& fields, form how, bool utf8, const char* start,
           const char* separator, int32_t room_columns, const char* end) {
    text.length_bytes = 0;
    text.line_columns = 0;
    append(text, start);
    const int32_t start_bytes = text.length_bytes;
    const auto separator_bytes = static_cast<int32_t>(std::strlen(separator));
    const auto room_bytes = status_text_capacity_bytes - static_cast<int32_t>(std::strlen(end)) - 1;
    for (const field_id id : field_order) {
        field f;
        if (!write_field(f, id, fields, how, utf8)) {
            continue;
        }
        const int32_t gap = text.length_bytes == start_bytes ? 0 : separator_bytes;
        if (text.line_columns + gap + f.columns > room_columns ||
            text.length_bytes + gap + f.length_bytes > room_bytes) {
            break;
        }
        append(text, separator, gap, gap);
        append(text, f.bytes, f.length_bytes, f.columns);
    }
    append(text, end);
}

}  // namespace

void build_status_line(status_text& text, const status_fields& fields, bool utf8,
                       int32_t terminal_columns) {
    build(text, fields, form::line, utf8, "\r", "  ", terminal_columns - 1, "\x1b[K");
}

void build_status_report(status_text& text, const status_fields& fields) {
    build(text, fields, form::report, false, "livedelay: ", ", ", status_text_capacity_bytes, "\n");
}

bool codeset_is_utf8(const char* codeset) {
    return codeset != nullptr &&
           (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
}

bool locale_is_utf8() {
    if (std::setlocale(LC_CTYPE, "") == nullptr) {
        return false;  // the environment names a locale that is not installed: C stays
    }
    return codeset_is_utf8(nl_langinfo(CODESET));
}

int terminal_columns(int fd, int32_t& columns) {
    columns = 80;
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) < 0) {
        return -errno;
    }
    if (size.ws_col == 0) {
        return -ENOTTY;  // a pseudo-terminal nobody gave a size
    }
    columns = size.ws_col;
    return 0;
}

bool redraw_due(redraw_pacing& pacing, int64_t now_ns) {
    if (pacing.drawn && now_ns - pacing.last_ns < redraw_interval_ns) {
        return false;
    }
    pacing.drawn = true;
    pacing.last_ns = now_ns;
    return true;
}

}  // namespace livedelay
