#include "drift.hpp"

#include <algorithm>
#include <cmath>

namespace livedelay {

namespace {

constexpr double ns_per_second = 1e9;
// A bucket holds a tenth of a second of readings: a period of most devices, and one reading
// right after a period ends is all it needs.
constexpr int64_t bucket_ns = 100000000;
// The line is fitted through the last 32 s; the clocks' difference barely moves in that time.
constexpr size_t track_points = 320;
// A line needs half a second of buckets before it says anything.
constexpr size_t fit_points = 4;
// A bucket further from the line than four times the buckets' typical distance (and than a
// twentieth of a millisecond) was read while the program or the device ran late.
constexpr double outlier_spreads = 4.0;
constexpr double least_outlier_ns = 50000;
constexpr int trim_rounds = 3;
// The clocks differ for real when the difference is eight times what the readings leave open,
// beyond a part per million, and the delay heard has moved by this much.
constexpr double drift_sigmas = 8.0;
constexpr double least_drift = 1e-6;
constexpr double moved_ns = 200000;
// ... and each stream's two halves run at its slope, within half of it and two of their
// own uncertainties, and have moved along it eight times their scatter: a server's reports
// wander, and a line through them slopes for a while.
constexpr double half_slope_share = 0.5;
constexpr double half_sigmas = 2.0;
constexpr double straightness = 8.0;
// Two crystals differ by a few hundred ppm at most; a larger difference is a stream that
// stalled or was read wrong, and is not resampled away.
constexpr double widest_drift = 2000e-6;
// ... over lines of six seconds at least, and all of that has held for three: a sound server
// eases its reported timing in after a stream starts, at up to a few thousand ppm for a
// second or two, for six or more on a machine whose every core is busy, and its smoothed
// reports lie a tenth of a millisecond or more off their lines. Readings within a twentieth of
// one are a card's pointer, read as its periods end, which does not wander: lines of 0.4 s
// that have shown the drift for a tenth of a second will do, and a drift of 1000 ppm moves the
// delay by half a millisecond at most.
struct watch {
    double least_span_ns;
    int64_t persistence_ns;
};
constexpr watch server_watch{6e9, 3000000000};
constexpr watch card_watch{0.4e9, 100000000};
constexpr double card_scatter_ns = 50000;
// The delay heard comes back to its reference over about this long, and the ratio never
// leaves this range: a clock that far out is broken, not drifting.
constexpr double steer_seconds = 0.5;
constexpr double widest_ratio = 0.005;

// Least squares through the points that `keep` accepts.
template <typename Keep>
clock_line fit(const std::vector<clock_point>& points, Keep keep) {
    double n = 0;
    double mean_t = 0;
    double mean_v = 0;
    double first_ns = 0;
    double last_ns = 0;
    for (const clock_point& p : points) {
        if (keep(p)) {
            first_ns = n == 0 ? static_cast<double>(p.at_ns) : first_ns;
            last_ns = static_cast<double>(p.at_ns);
            n += 1;
            mean_t += static_cast<double>(p.at_ns);
            mean_v += static_cast<double>(p.value_ns);
        }
    }
    clock_line l;
    if (n < 2) {
        return l;
    }
    mean_t /= n;
    mean_v /= n;
    double stt = 0;
    double stv = 0;
    for (const clock_point& p : points) {
        if (keep(p)) {
            const double dt = static_cast<double>(p.at_ns) - mean_t;
            stt += dt * dt;
            stv += dt * (static_cast<double>(p.value_ns) - mean_v);
        }
    }
    if (stt <= 0) {
        return l;
    }
    l.mean_ns = mean_t;
    l.value_at_mean = mean_v;
    l.slope = stv / stt;
    l.used = static_cast<size_t>(n);
    double residuals = 0;
    for (const clock_point& p : points) {
        if (keep(p)) {
            const double r = static_cast<double>(p.value_ns) - mean_v -
                             l.slope * (static_cast<double>(p.at_ns) - mean_t);
            residuals += r * r;
        }
    }
    // A floor for the readings' own spread: a few microseconds of the program's waking.
    const double spread = std::max(residuals / std::max(1.0, n - 2), 1e7);
    l.slope_error = std::sqrt(spread / stt);
    l.scatter_ns = std::sqrt(spread);
    l.span_ns = last_ns - first_ns;
    return l;
}

double value_at(const clock_line& l, int64_t at_ns) {
    return l.value_at_mean + l.slope * (static_cast<double>(at_ns) - l.mean_ns);
}

// A bucket far from the line was read while the program or the device ran late. Each round
// measures the distances from the line of the round before, so a stray bucket that bent the
// first line is left out and the rest come back in.
clock_line robust_line(const std::vector<clock_point>& points) {
    auto kept_by = [](const clock_line& from, double limit) {
        return [&from, limit](const clock_point& p) {
            return std::fabs(static_cast<double>(p.value_ns) - value_at(from, p.at_ns)) < limit;
        };
    };
    clock_line from;
    double limit = INFINITY;
    clock_line l = fit(points, kept_by(from, limit));
    for (int round = 0; round < trim_rounds && l.used >= fit_points; ++round) {
        std::vector<double> distances;
        for (const clock_point& p : points) {
            distances.push_back(std::fabs(static_cast<double>(p.value_ns) - value_at(l, p.at_ns)));
        }
        std::nth_element(distances.begin(), distances.begin() + distances.size() / 2,
                         distances.end());
        // The median distance, scaled to what a root mean square would be for normal scatter.
        const double typical = 1.4826 * distances[distances.size() / 2];
        const double next_limit = std::max(outlier_spreads * typical, least_outlier_ns);
        const clock_line kept = fit(points, kept_by(l, next_limit));
        if (kept.used < fit_points) {
            break;
        }
        from = l;
        limit = next_limit;
        l = kept;
    }
    if (l.used < fit_points) {
        return l;
    }
    // A stream that drifts runs at one slope in both halves of its track; one whose latency
    // jumped once lies flat on either side of the jump, and only the whole line slopes.
    l.straight = true;
    for (const bool older : {true, false}) {
        const auto on_line = kept_by(from, limit);
        const clock_line half = fit(points, [&](const clock_point& p) {
            return on_line(p) && (static_cast<double>(p.at_ns) < l.mean_ns) == older;
        });
        const double allowed =
            half_slope_share * std::fabs(l.slope) + half_sigmas * half.slope_error;
        l.straight = l.straight && half.used >= 2 && std::fabs(half.slope - l.slope) <= allowed;
    }
    return l;
}

void close_bucket(clock_track& track) {
    if (!track.bucket_open) {
        return;
    }
    track.points.push_back(track.best);
    if (track.points.size() > track_points) {
        track.points.erase(track.points.begin());
    }
    track.bucket_open = false;
    track.line = robust_line(track.points);
}

}  // namespace

void note_position(clock_track& track, int64_t now_ns, int64_t frames, int64_t rate) {
    if (track.bucket_open && now_ns - track.bucket_start_ns >= bucket_ns) {
        close_bucket(track);
    }
    const auto as_ns = static_cast<int64_t>(static_cast<__int128>(frames) * 1000000000 / rate);
    const clock_point reading{now_ns, as_ns - now_ns};
    if (!track.bucket_open) {
        track.bucket_open = true;
        track.bucket_start_ns = now_ns;
        track.best = reading;
    } else if (reading.value_ns > track.best.value_ns) {
        track.best = reading;
    }
}

clock_fit fit_clock(const clock_track& track, int64_t at_ns) {
    clock_fit result;
    const clock_line& l = track.line;
    if (l.used < fit_points) {
        return result;
    }
    result.valid = true;
    result.value_ns = value_at(l, at_ns);
    result.slope = l.slope;
    result.slope_error = l.slope_error;
    result.straight = l.straight;
    result.scatter_ns = l.scatter_ns;
    result.span_ns = l.span_ns;
    return result;
}

drift_state start_drift(int64_t rate) {
    drift_state drift;
    drift.rate = rate;
    return drift;
}

void restart_capture_clock(drift_state& drift) {
    drift.capture = clock_track{};
    drift.referenced = false;
    drift.seen_since_ns = -1;
}

void restart_playback_clock(drift_state& drift) {
    drift.playback = clock_track{};
    drift.referenced = false;
    drift.seen_since_ns = -1;
}

void move_reference(drift_state& drift, int64_t frames) {
    drift.reference_frames += static_cast<double>(frames);
    drift.reference_counted += static_cast<double>(frames);
}

namespace {

// The delay heard, as the two lines show it at `now_ns`; NAN before both have one.
double heard_frames(const drift_state& drift, const clock_fit& capture, const clock_fit& playback,
                    int64_t counted_frames) {
    if (!capture.valid || !playback.valid) {
        return NAN;
    }
    return static_cast<double>(counted_frames) +
           (capture.value_ns - playback.value_ns) * static_cast<double>(drift.rate) / ns_per_second;
}

}  // namespace

bool steer_drift(drift_state& drift, int64_t now_ns, int64_t counted_frames, bool judged) {
    const clock_fit capture = fit_clock(drift.capture, now_ns);
    const clock_fit playback = fit_clock(drift.playback, now_ns);
    const double heard = heard_frames(drift, capture, playback, counted_frames);
    if (std::isnan(heard)) {
        return false;
    }
    if (!drift.referenced) {
        if (judged) {
            drift.reference_frames = heard;
            drift.reference_ns = now_ns;
            drift.reference_counted = static_cast<double>(counted_frames);
            drift.referenced = true;
        }
        return false;
    }
    if (drift.reference_ns >= drift.capture.points.front().at_ns &&
        drift.reference_ns >= drift.playback.points.front().at_ns) {
        drift.reference_frames = heard_frames(drift, fit_clock(drift.capture, drift.reference_ns),
                                              fit_clock(drift.playback, drift.reference_ns), 0) +
                                 drift.reference_counted;
    }
    const double difference = capture.slope - playback.slope;
    const double error = heard - drift.reference_frames;
    bool started = false;
    if (!drift.engaged) {
        const double uncertainty =
            std::hypot(capture.slope_error, playback.slope_error) * drift_sigmas;
        const double moved = moved_ns * static_cast<double>(drift.rate) / ns_per_second;
        const double span_ns = std::min(capture.span_ns, playback.span_ns);
        const double along = std::fabs(difference) * span_ns;
        const watch& w = std::max(capture.scatter_ns, playback.scatter_ns) <= card_scatter_ns
                             ? card_watch
                             : server_watch;
        if (std::fabs(difference) <= std::max(uncertainty, least_drift) ||
            std::fabs(difference) > widest_drift || std::fabs(error) < moved ||
            (error > 0) != (difference > 0) || !capture.straight || !playback.straight ||
            along < straightness * (capture.scatter_ns + playback.scatter_ns) ||
            span_ns < w.least_span_ns) {
            drift.seen_since_ns = -1;
            return false;
        }
        if (drift.seen_since_ns < 0) {
            drift.seen_since_ns = now_ns;
        }
        if (now_ns - drift.seen_since_ns < w.persistence_ns) {
            return false;
        }
        drift.engaged = true;
        started = true;
    }
    drift.ppm = difference * 1e6;
    // Playback's clock over capture's, and a little less while the delay is too long.
    const double clocks = (1.0 + playback.slope) / (1.0 + capture.slope);
    const double steer = 1.0 - error / (static_cast<double>(drift.rate) * steer_seconds);
    drift.ratio = std::clamp(clocks * steer, 1.0 - widest_ratio, 1.0 + widest_ratio);
    return started;
}

}  // namespace livedelay
