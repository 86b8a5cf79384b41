#!/usr/bin/env bash
# The livedelay benchmark (make bench): CPU time per hour of audio beside sox and a bare
# copy, peak memory at long delays, the delay engine beside memcpy, and the real delay on a
# private PulseAudio server. Prints one plain-text table of medians measured side by side in
# this run. Nothing here passes or fails on a figure.
#
# usage: bench/run.sh [BUILD_DIR]
#   BUILD_DIR holds a Release build configured with -DLIVEDELAY_BENCH=ON (default build/bench).
#   BENCH_RUNS (default 5) repetitions of every figure; BENCH_PULSE=0 leaves out the
#   PulseAudio part; BENCH_DRIFT_SECONDS (default 40) the length of each two-clock run, which
#   runs in real time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/bench}" && pwd)
runs=${BENCH_RUNS:-5}
pulse=${BENCH_PULSE:-1}
drift_seconds=${BENCH_DRIFT_SECONDS:-40}

livedelay=$build/livedelay
floor=$build/bench/floor
engine=$build/bench/engine_bench
card_lib=$build/bench/libasound_module_pcm_fakecard.so
fixture=$root/tests/pulse/pulse_fixture.sh
for f in "$livedelay" "$floor" "$engine" "$card_lib"; do
    [ -x "$f" ] || {
        echo "bench: $f is missing; build with -DLIVEDELAY_BENCH=ON first (make bench)" >&2
        exit 1
    }
done
for tool in sox /usr/bin/time g++ awk; do
    command -v "$tool" >/dev/null || {
        echo "bench: $tool is missing (scripts/install-deps.sh --bench)" >&2
        exit 1
    }
done

# A short path: the PulseAudio server's socket lives in it.
work=$(mktemp -d /tmp/ldbench.XXXXXX)
pulse_dir=""
cleanup() {
    if [ -n "$pulse_dir" ]; then
        timeout 20 bash "$fixture" stop "$pulse_dir" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

sed "s|@DIR@|$work|g" "$root/bench/bench.conf.in" >"$work/asound.conf"
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$work/asound.conf"

log() { echo "bench: $*" >&2; }

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# Runs a command under /usr/bin/time, at most $1 seconds; appends "cpu_seconds max_rss_kB"
# to the file $2. Its output goes to $work/last.log. Fails when the command does.
timed() {
    local limit=$1 out=$2
    shift 2
    if ! timeout -k 5 "$limit" /usr/bin/time -o "$work/time.txt" -f '%U %S %M' "$@" \
        </dev/null >"$work/last.log" 2>&1; then
        log "failed: $*"
        tail -n 5 "$work/last.log" >&2
        return 1
    fi
    awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$work/time.txt" >>"$out"
}

# Runs a command on the counting device (zcount in place of zloop); gives the bytes it played.
played_bytes() {
    rm -f "$work/played.count"
    timeout -k 5 120 "$@" </dev/null >"$work/count.log" 2>&1 || {
        log "check run failed: $*"
        tail -n 5 "$work/count.log" >&2
        return 1
    }
    # The count is written by wc when the device closes; give it a moment.
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        [ -s "$work/played.count" ] && break
        sleep 0.2
    done
    cat "$work/played.count" 2>/dev/null || echo 0
}

col1() { awk '{ print $1 }' "$1" | median; }
col2() { awk '{ print $2 }' "$1" | median; }

table=$work/table.txt
: >"$table"
# The table's lines: printf with the format first.
# shellcheck disable=SC2059
row() { printf "$@" >>"$table"; }

# ---- 1. CPU time per hour of audio --------------------------------------------------------
cpu_seconds=1200
cpu_rate=48000
log "1/5 CPU: $runs x (livedelay, sox, floor), $cpu_seconds s of stereo audio at $cpu_rate Hz"
# sox picks its own format: read which one, so its played bytes can be turned into time.
sox_cmd=(sox -q -t alsa -c 2 -r "$cpu_rate" zloop -t alsa zloop delay 3 3 trim 0 "$cpu_seconds")
ld_cmd=("$livedelay" zloop 2 1 1 3 "$cpu_rate" "$cpu_seconds")
floor_cmd=("$floor" zloop 2 "$cpu_rate" "$cpu_seconds")
for ((i = 0; i < runs; ++i)); do
    timed 120 "$work/cpu_ld" "${ld_cmd[@]}"
    timed 120 "$work/cpu_sox" "${sox_cmd[@]}"
    timed 120 "$work/cpu_floor" "${floor_cmd[@]}"
done
# One more run of each on the counting device: did it play all the audio?
ld_bytes=$(played_bytes "$livedelay" zcount 2 1 1 3 "$cpu_rate" "$cpu_seconds")
floor_bytes=$(played_bytes "$floor" zcount 2 "$cpu_rate" "$cpu_seconds")
sox_bytes=$(played_bytes sox -V3 -q -t alsa -c 2 -r "$cpu_rate" zcount -t alsa zcount \
    delay 3 3 trim 0 "$cpu_seconds")
# sox -V3 describes the input, then the output: the last "Precision" is what it played.
sox_bits=$(awk -F': *' '/^Precision/ { p = $2 } END { print p + 0 }' "$work/count.log")
sox_sample_bytes=$(((sox_bits + 7) / 8))
[ "$sox_sample_bytes" -gt 0 ] || sox_sample_bytes=4
played_s() { calc "%.2f" "$1 / ($cpu_rate * 2 * $2)"; }

ld_cpu=$(col1 "$work/cpu_ld")
sox_cpu=$(col1 "$work/cpu_sox")
floor_cpu=$(col1 "$work/cpu_floor")
per_hour() { calc "%.2f" "$1 * 3600 / $cpu_seconds"; }
row "1. CPU time (user + system) per hour of audio: stereo, %d Hz, 3 s delay, %d s of audio\n" \
    "$cpu_rate" "$cpu_seconds"
row "   per run, on the unpaced virtual device zloop (capture reads /dev/zero, playback\n"
row "   writes /dev/null); median of %d runs, the three programs taking turns\n\n" "$runs"
row "   %-34s %12s %12s %16s %10s\n" "program" "CPU s/hour" "CPU s/run" "audio played s" "peak RSS"
row "   %-34s %12s %12s %16s %10s\n" "livedelay zloop 2 1 1 3 48000 1200" "$(per_hour "$ld_cpu")" \
    "$ld_cpu" "$(played_s "$ld_bytes" 3)" "$(col2 "$work/cpu_ld") kB"
row "   %-34s %12s %12s %16s %10s\n" "sox ... delay 3 3 trim 0 1200" "$(per_hour "$sox_cpu")" \
    "$sox_cpu" "$(played_s "$sox_bytes" "$sox_sample_bytes")" "$(col2 "$work/cpu_sox") kB"
row "   %-34s %12s %12s %16s %10s\n" "floor (readn + writen, no delay)" "$(per_hour "$floor_cpu")" \
    "$floor_cpu" "$(played_s "$floor_bytes" 3)" "$(col2 "$work/cpu_floor") kB"
# Ratios of runs made one after the other, the median over the rounds.
ratio() { paste -d ' ' "$1" "$2" | awk '$3 > 0 { print $1 / $3 }' | median; }
row "\n   livedelay / sox   = %.2f   (aim: at most 0.5)\n" "$(ratio "$work/cpu_ld" "$work/cpu_sox")"
row "   livedelay / floor = %.2f   (aim: at most 1.3)\n" "$(ratio "$work/cpu_ld" "$work/cpu_floor")"
row "   (each ratio: the median over the %d rounds of the two runs made side by side)\n" "$runs"
row "   sox played %d-bit samples (its own choice), livedelay and floor S24_3LE\n\n" "$sox_bits"

# ---- 2. Peak resident memory ------------------------------------------------------------
mem_rate=44100
log "2/5 memory: $runs x 3 cases x (livedelay, sox) at $mem_rate Hz, 600 s delay"
row "2. Peak resident memory (/usr/bin/time: maximum resident set size), %d Hz, 600 s delay,\n" \
    "$mem_rate"
row "   unpaced device; median of %d runs each (the figure barely moves between runs)\n\n" "$runs"
row "   %-34s %14s %15s %7s %15s %7s\n" "run" "audio held" "livedelay peak" "/ held" \
    "sox peak" "/ held"
memory_case() {
    local label=$1 mode=$2 seconds=$3 lanes=$4
    local tag="mem_${mode}_$seconds" sox_delay=(delay 600) sox_channels=1
    if [ "$lanes" -eq 2 ]; then
        sox_delay=(delay 600 600)
        sox_channels=2
    fi
    for ((i = 0; i < runs; ++i)); do
        timed 120 "$work/${tag}_ld" "$livedelay" zloop "$mode" 1 1 600 "$mem_rate" "$seconds"
        timed 120 "$work/${tag}_sox" sox -q -t alsa -c "$sox_channels" -r "$mem_rate" zloop \
            -t alsa zloop "${sox_delay[@]}" trim 0 "$seconds"
    done
    local held_kb ld_kb sox_kb
    held_kb=$(calc "%d" "$mem_rate * 600 * 3 * $lanes / 1024")
    ld_kb=$(col2 "$work/${tag}_ld")
    sox_kb=$(col2 "$work/${tag}_sox")
    row "   %-34s %10.1f MiB %11.1f MiB %7s %11.1f MiB %7s\n" "$label" \
        "$(calc "%.1f" "$held_kb / 1024")" "$(calc "%.1f" "$ld_kb / 1024")" \
        "$(calc "%.2f" "$ld_kb / $held_kb")" "$(calc "%.1f" "$sox_kb / 1024")" \
        "$(calc "%.2f" "$sox_kb / $held_kb")"
}
memory_case "mode 1, 10 s of audio" 1 10 1
memory_case "mode 2, 10 s of audio" 2 10 2
memory_case "mode 2, 1100 s (every ring wraps)" 2 1100 2
row "\n   audio held = rate x delay x 3 bytes x lanes (1 lane in mode 1, 2 in mode 2); sox runs\n"
row "   'delay 600' on 1 channel (mode 1) or 'delay 600 600' on 2 (mode 2), same rate and length\n\n"

# ---- 3. The delay engine alone ------------------------------------------------------------
log "3/5 engine: Google Benchmark, $runs repetitions"
timeout -k 5 300 "$engine" --benchmark_min_time=0.2 --benchmark_repetitions="$runs" \
    --benchmark_report_aggregates_only=true --benchmark_format=csv \
    >"$work/engine.csv" 2>"$work/engine.log" || {
    log "engine_bench failed"
    cat "$work/engine.log" >&2
    exit 1
}
# A benchmark's figure: column 3 = real ns per pass, 6 = bytes per second. With repetitions
# the median row, with one run the plain row.
engine_field() {
    awk -F, -v n="\"$1\"" -v m="\"$1_median\"" -v c="$2" \
        '$1 == m { med = $c } $1 == n { one = $c } END { print (med != "" ? med : one) }' \
        "$work/engine.csv"
}
memcpy_bps=$(engine_field memcpy_chunk 6)
row "3. The delay engine alone (bench/engine_bench, Google Benchmark): one pass of 4096 frames\n"
row "   (12288 bytes) of one lane through a 3 s ring at 48000 Hz that advances every pass;\n"
row "   median of %d repetitions\n\n" "$runs"
row "   %-42s %12s %10s %14s\n" "operation" "ns / pass" "GB/s" "/ memcpy"
for b in store_pass:"store" delay_copy_pass:"delay_copy" fetch_pass:"fetch" \
    whole_pass:"store + delay_copy + fetch + advance" memcpy_chunk:"memcpy of the 12288 bytes" \
    memcpy_three:"memcpy three times (in, across, out)" \
    memcpy_walking:"memcpy between two ring-sized blocks"; do
    name=${b%%:*}
    ns=$(engine_field "$name" 3)
    bps=$(engine_field "$name" 6)
    row "   %-42s %12.1f %10.2f %14.2f\n" "${b#*:}" "$ns" "$(calc "%.2f" "$bps / 1e9")" \
        "$(calc "%.2f" "$bps / $memcpy_bps")"
done
row "\n   GB/s = the 12288 bytes of a pass / time of a pass (a whole pass copies them 3 times);\n"
row "   memcpy: a cached 12288-byte block, or advancing through two blocks the size of a ring\n\n"
row "   The drift correction's resampler, 4096 stereo frames at a ratio of 1.0001:\n"
row "   %-42s %12s %10s\n" "resampler" "ns / pass" "ns / frame"
for b in stretch_pass:"livedelay's (32-tap windowed sinc)" \
    libsamplerate_pass:"libsamplerate SRC_SINC_FASTEST"; do
    name=${b%%:*}
    ns=$(engine_field "$name" 3)
    row "   %-42s %12.0f %10.1f\n" "${b#*:}" "$ns" "$(calc "%.1f" "$ns / 4096")"
done
row "\n"

# ---- 4. The real delay on a PulseAudio server ---------------------------------------------
if [ "$pulse" = 1 ]; then
    log "4/5 PulseAudio: $runs x (livedelay, sox) in real time, about 15 s each"
    tools=$work/tools
    mkdir -p "$tools"
    g++ -std=c++20 -O2 -Wall -Wextra -Werror "$root/tests/tools/make_clicks.cpp" -o "$tools/make_clicks"
    g++ -std=c++20 -O2 -Wall -Wextra -Werror "$root/tests/tools/click_delay.cpp" -o "$tools/click_delay"
    timeout 30 "$tools/make_clicks" --channels 2 --seconds 8 "$work/clicks.wav" >/dev/null
    pulse_dir=$work/pa
    timeout 40 bash "$fixture" start "$pulse_dir" >/dev/null
    real_delay() {
        local tag=$1
        shift
        local rec=$work/rec_$tag.raw
        timeout 90 bash "$fixture" measure "$pulse_dir" --wait --lead 2.5 --tail 1.5 --limit 40 \
            "$work/clicks.wav" "$rec" -- "$@" >"$work/measure.log" 2>&1 || {
            log "measure failed for $tag:"
            cat "$work/measure.log" >&2
        }
        timeout 60 "$tools/click_delay" --quiet --tolerance-ms 5 "$rec" | tail -n 1 >>"$work/pa_$tag" ||
            true
        echo "status=$(cat "$rec.status" 2>/dev/null || echo none)" >>"$work/pa_${tag}_status"
    }
    for ((i = 0; i < runs; ++i)); do
        real_delay ld "$livedelay" rig 2 1 1 0.5 48000 12
        real_delay sox sox -q -t alsa rig -t alsa rig delay 0.5 0.5 trim 0 12
    done
    timeout 20 bash "$fixture" stop "$pulse_dir" >/dev/null 2>&1 || true
    pulse_dir=""
    field() { sed -n "s/.*[[:space:]]$1=\([^[:space:]]*\).*/\1/p; s/^$1=\([^[:space:]]*\).*/\1/p" "$2"; }
    row "4. The real delay on a private PulseAudio server (tests/pulse/pulse_fixture.sh, device\n"
    row "   rig, one clock): an 8 s click train in, the delayed copy recorded beside it;\n"
    row "   per run the median of its clicks (click_delay), then the median of %d runs\n\n" "$runs"
    row "   %-34s %12s %11s %10s %16s %7s %5s\n" "program" "requested" "measured" "extra" \
        "runs' range ms" "matched" "gaps"
    for tag in ld sox; do
        med=$(field delay_ms_median "$work/pa_$tag" | grep -v none | median)
        lo=$(field delay_ms_median "$work/pa_$tag" | grep -v none | sort -g | head -n 1)
        hi=$(field delay_ms_median "$work/pa_$tag" | grep -v none | sort -g | tail -n 1)
        matched=$(field matched "$work/pa_$tag" | awk '{ s += $1 } END { print s + 0 }')
        clicks=$(field clicks_in "$work/pa_$tag" | awk '{ s += $1 } END { print s + 0 }')
        gaps=$(field gaps "$work/pa_$tag" | awk '{ s += $1 } END { print s + 0 }')
        label="livedelay rig 2 1 1 0.5 48000 12"
        [ "$tag" = sox ] && label="sox ... delay 0.5 0.5 trim 0 12"
        row "   %-34s %9.1f ms %8.1f ms %7.1f ms %8.1f-%-7.1f %7s %5s\n" "$label" 500 "$med" \
            "$(calc "%.1f" "$med - 500")" "${lo:-nan}" "${hi:-nan}" "$matched/$clicks" "$gaps"
    done
    row "\n   exit statuses: livedelay %s, sox %s\n" "$(sort "$work/pa_ld_status" | uniq -c | xargs)" \
        "$(sort "$work/pa_sox_status" | uniq -c | xargs)"
    row "   extra = measured - requested; matched and gaps summed over the runs (a gap: at least\n"
    row "   5 ms of digital silence where the delayed tone should sound)\n\n"
else
    row "4. PulseAudio part left out (BENCH_PULSE=0)\n\n"
fi

# ---- 5. The cost of correcting a drift ----------------------------------------------------
log "5/5 drift: $runs x (one clock, two clocks 100 ppm apart), $drift_seconds s each in real time"
card=$work/card
mkdir -p "$card"
sed -e "s|@DIR@|$card|g" -e "s|@LIB@|$card_lib|g" "$root/tests/alsa/fake_card.conf.in" \
    >"$card/asound.conf"
for ((i = 0; i < runs; ++i)); do
    for ppm in 0 100; do
        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$card/asound.conf" \
            timed $((drift_seconds + 30)) "$work/drift_$ppm" "$livedelay" \
            "faulty:PACE=clock,CPPM=$ppm" 2 1 1 0.5 48000 "$drift_seconds"
        cp "$work/last.log" "$work/drift_$ppm.log"
    done
done
corrected=no
grep -q "correcting the drift" "$work/drift_100.log" && corrected=yes
drift_hour() { calc "%.2f" "$(col1 "$1") * 3600 / $drift_seconds"; }
row "5. CPU time (user + system) per hour of audio with the drift corrected: stereo, 48000 Hz,\n"
row "   0.5 s delay, %d s runs in real time on the tests' card (its clocks on CLOCK_MONOTONIC);\n" \
    "$drift_seconds"
row "   median of %d runs each, the two taking turns\n\n" "$runs"
row "   %-44s %12s %12s\n" "run" "CPU s/hour" "CPU s/run"
row "   %-44s %12s %12s\n" "one clock (bit for bit, nothing resampled)" "$(drift_hour "$work/drift_0")" \
    "$(col1 "$work/drift_0")"
row "   %-44s %12s %12s\n" "capture 100 ppm fast (resampled once seen)" \
    "$(drift_hour "$work/drift_100")" "$(col1 "$work/drift_100")"
row "\n   two clocks / one clock = %.2f; the correction started in the last run: %s\n" \
    "$(ratio "$work/drift_100" "$work/drift_0")" "$corrected"
row "   (on the card's clean readings the correction starts a few seconds into a run at 100 ppm,\n   so a run resamples all but its first seconds)\n\n"

commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
# The figures are those of the program as built: say when its sources differ from the commit.
dirty=""
if git -C "$root" status --porcelain -- src CMakeLists.txt 2>/dev/null | grep -q .; then
    dirty=" + uncommitted changes in src/"
fi
echo "livedelay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit$dirty"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
    "alsa-lib $(pkg-config --modversion alsa 2>/dev/null || echo '?'), $(sox --version 2>&1 | awk '{ print $NF }' | head -n 1)"
echo "command: make bench   (= bench/run.sh ${1:-build/bench} after a Release build with -DLIVEDELAY_BENCH=ON)"
echo
cat "$table"
