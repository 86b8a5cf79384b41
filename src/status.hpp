// The status of a run as a person or a service sees it: a peak meter per direction over the
// routed samples, the line redrawn in place on a terminal, and the plain line written once on
// request. Pure: the transfer loop feeds the meters, fills the fields and writes the text.
#pragma once

#include <cstdint>
#include <span>

namespace livedelay {

// A peak meter over the last quarter second of one direction (one lane, or both sides of a
// stereo pair taken together). The window slides a step at a time: a sample counts in every
// reading for at least a quarter second and at most a step longer, so readings taken a
// quarter second apart miss nothing in between.
constexpr int meter_steps = 8;
constexpr int64_t meter_window_ns = 250'000'000;
// A sample at full scale marks the meter clipped for this long, so that a person looking at
// the line a moment later still sees it.
constexpr int64_t clip_hold_ns = 3'000'000'000;

struct peak_meter {
    int64_t step_frames = 0;  // frames one step of the window holds
    int64_t clip_hold_frames = 0;
    int32_t step_peak[meter_steps] = {};  // the closed steps' highest magnitudes, a ring
    int next_step = 0;                    // the slot the open step closes into
    int64_t open_frames = 0;              // frames in the open step so far
    int32_t open_peak = 0;
    int64_t clip_left_frames = 0;  // frames the clip mark still shows for
};

void create_peak_meter(peak_meter& meter, int64_t rate);

// What a pass routed in this direction: one span of 3-byte samples per lane, `frames` long.
void meter_samples(peak_meter& meter, std::span<const std::span<const uint8_t>> lanes,
                   int64_t frames);

struct meter_reading {
    int32_t peak_magnitude = 0;  // 0 to 8388608
    double peak_db = 0;          // dBFS; -infinity for digital silence
    bool clipped = false;
};

meter_reading read_meter(const peak_meter& meter);

// What the line and the report show. Fields not known yet are left out. A field added later
// (the delay now, the delay set and the time left to rebuild it) is a member here, and in
// status.cpp a name in `field_order`, where the line shows it, with its case in write_field.
struct status_fields {
    double counter_seconds = 0;  // the counter's value: the line starts with its own text
    double delay_asked_seconds = 0;
    bool heard_known = false;
    double delay_heard_seconds = 0;  // the delay held end to end, as the program measures it
    meter_reading in;
    meter_reading out;
    bool drift_known = false;
    double drift_ppm = 0;
    int64_t xruns = 0;
    // A rebuild of the delay under way: the delay set it runs to, and the time left.
    bool rebuild_known = false;
    double rebuild_goal_seconds = 0;
    double rebuild_left_seconds = 0;
};

// Text built into fixed memory, so a redraw allocates nothing.
constexpr int status_text_capacity_bytes = 512;
struct status_text {
    char bytes[status_text_capacity_bytes] = {};  // NUL-terminated
    int32_t length_bytes = 0;
    int32_t line_columns = 0;  // display columns of the line, control sequences aside
};

// The redraw: "\r", the fields that fit in `terminal_columns` - 1 columns (whole fields, the
// rightmost dropped first), then "\x1b[K" to erase what a longer line left. The last column
// stays unused: a character written there leaves the cursor waiting to wrap, and terminals
// disagree on what the erase does then. Each meter is a bar of 8 cells over -60..0 dBFS, filled
// from the left: block elements (▁ empty to █ full) with `utf8`, else ASCII (. empty, = part, #
// full), then the peak in whole dB, or CLIP in its place while the clip mark is held.
void build_status_line(status_text& text, const status_fields& fields, bool utf8,
                       int32_t terminal_columns);

// The same fields as one plain ASCII line, ending in a newline, for standard error:
// "livedelay: 12 sec, delay 0.510 s, heard 0.510 s, in -14 dBFS, out -18 dBFS (clipped), ..."
void build_status_report(status_text& text, const status_fields& fields);

// Whether a codeset name (nl_langinfo(CODESET)) is UTF-8.
bool codeset_is_utf8(const char* codeset);
// Takes the character type from the environment (LC_CTYPE only: numbers keep the C locale's
// full stop) and says whether it is UTF-8.
bool locale_is_utf8();

// The width of the terminal on `fd` in `columns`: gives 0, or a negative errno code with 80
// in `columns` when it cannot be had (not a terminal, or one that reports no width).
int terminal_columns(int fd, int32_t& columns);

// Redraws at most 4 times a second. redraw_due says whether one is due at `now_ns` (monotonic)
// and, when it is, counts it as made.
constexpr int64_t redraw_interval_ns = 250'000'000;
struct redraw_pacing {
    bool drawn = false;
    int64_t last_ns = 0;
};
bool redraw_due(redraw_pacing& pacing, int64_t now_ns);

}  // namespace livedelay
