#!/usr/bin/env bash
# Delays a generated click train on the bundled virtual device and shows where it came out.
set -euo pipefail

bin=${1:-build/release/livedelay}
delay=${DELAY:-1.5}
rate=48000
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/livedelay-demo.XXXXXX)
out_wav=${OUT:-$here/build/demo-delayed.wav}

sed "s|@DIR@|$dir|g" "$here/tests/alsa/virtual.conf.in" >"$dir/asound.conf"

# Stereo 24-bit clicks: a 10 ms burst at 0.5 s, then every second.
sox -q -n -r $rate -b 24 -e signed-integer -c 2 "$dir/click.wav" synth 0.01 sine 1000 pad 0.5 0.49
sox -q "$dir/click.wav" "$dir/clicks.wav" repeat 5
sox -q "$dir/clicks.wav" -t raw "$dir/captured.raw"

ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$dir/asound.conf" \
    "$bin" loop 2 1 1 "$delay" $rate 6

sox -q -t raw -r $rate -b 24 -e signed-integer -c 2 "$dir/played.raw" "$out_wav"

# Seconds of silence before the first sound of a file.
onset() {
    local total trimmed
    total=$(sox --i -D "$1")
    sox -q "$1" "$dir/trimmed.wav" silence 1 1s 2%
    trimmed=$(sox --i -D "$dir/trimmed.wav")
    awk -v a="$total" -v b="$trimmed" 'BEGIN { printf "%.3f", a - b }'
}
in_at=$(onset "$dir/clicks.wav")
out_at=$(onset "$out_wav")
echo
echo "Delayed stream written to $out_wav"
echo "First click went in at $in_at s and came out at $out_at s:" \
    "$(awk -v a="$in_at" -v b="$out_at" 'BEGIN { printf "%.3f", b - a }') s later" \
    "(asked for $delay s)."
rm -rf "$dir"
