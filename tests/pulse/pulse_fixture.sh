#!/usr/bin/env bash
# Private PulseAudio server for the livedelay tests.
#
#   pulse_fixture.sh start DIR [--rate R]
#                                start a server whose every file lives in DIR (absolute path
#                                of at most 90 bytes, no blanks or quotes), running its sinks
#                                and sources at R Hz (default 48000); returns once it answers
#                                and has settled (about 2 s; see sinks_settled)
#   pulse_fixture.sh restart DIR [--rate R]
#                                stop what an earlier start left running in DIR, then start
#   pulse_fixture.sh stop DIR    stop the server started with that DIR (by its pid only)
#   pulse_fixture.sh env DIR     print shell assignments for manual use (eval-able): what
#                                measure gives COMMAND, also in DIR/program.env
#   pulse_fixture.sh measure DIR [--sep] [--lead S] [--tail S] [--limit S] [--wait]
#                            SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]
#       Records the 4-channel monitor (rig.monitor, or sep_rec.monitor with --sep) as raw
#       s16le at the server's rate to OUT.raw, starts COMMAND in the background with
#       ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:DIR/asound.conf:DIR/desktop.conf,
#       PULSE_SERVER naming this server and JACK_DEFAULT_SERVER none that runs (see env),
#       after --lead seconds (default 1.5) plays SIGNAL into
#       rig_in (or sep_a), waits --tail seconds (default 1.5; make it longer than the delay
#       under test), then stops COMMAND (TERM, KILL after 3 s) unless it has ended; with
#       --wait it first gives COMMAND until --limit to end by itself.  Every process gets at
#       most --limit seconds (default 120).  Prints "measure: recording=.. seconds=..
#       command_status=N command_stopped=0|1" and writes COMMAND's exit status to
#       OUT.raw.status and its output to OUT.raw.cmd.log.  Exit status 1 if recording or
#       playing failed.  Analyse OUT.raw with click_delay.
#
# Works as root without a user session, D-Bus or sound card.  The server listens only on
# the unix socket DIR/native and never autospawns anything.  Devices it provides:
#
#   rig        null sink, 4 channels, s16le (FL,FR,RL,RR); rig.monitor records it
#   rig_in     stereo remap sink -> rig channels 1-2   (play the test signal here)
#   rig_in_mon stereo remap source <- rig.monitor 1-2  (the program captures here)
#   rig_out    stereo remap sink -> rig channels 3-4   (the program plays here)
#   rig_idle   null source whose silence a low-latency loopback mixes into rig.  It keeps
#              rig rendering in blocks of a few ms.  Without it an idle null sink sleeps in
#              2 s blocks, and a client that starts recording from it (parecord, or the
#              program through rig_in_mon) gets its first data only when that block ends,
#              up to 2 s late.
#   sep_a      stereo null sink (test signal goes here; capture from sep_a.monitor)
#   sep_b      stereo null sink (the program plays here)
#   sep_rec    4-channel null sink; module-loopback copies sep_a.monitor to its channels 1-2
#              and sep_b.monitor to channels 3-4, so one recording of sep_rec.monitor holds
#              both.  The two loopbacks have their own (adaptive) latency, so the distance
#              measured there is good to about 0.5 ms; rig is exact to the sample.
#
# DIR/asound.conf defines ALSA PCMs reached through the pulse plugin with the server named
# in the file, so no PULSE_SERVER is needed.  Use it with
#   ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:DIR/asound.conf
#   rig      plug over asym: capture rig_in_mon, playback rig_out
#   sep      plug over asym: capture sep_a.monitor, playback sep_b
#   rigmon   plug over pulse capture of rig.monitor (4 channels)
#   sepmon   plug over pulse capture of sep_rec.monitor (4 channels)
#   rig_raw, sep_raw  the same asym pairs without plug (interleaved access only)
# DIR/desktop.conf, added after it, makes `default` the pulse plugin on this server, as on a
# Debian desktop that runs PulseAudio (Debian's own pulse hook, which measure's PULSE_SERVER
# points here, agrees; an /etc/asound.conf or ~/.asoundrc, read after it, would not).  The
# server's default sink is rig_out and its default source rig_in_mon: `default` plays and
# captures where rig does.
#
# What this fixture shares with the PipeWire and JACK ones is in tests/support/fixture_common.sh.
FIXTURE=pulse_fixture
START_TIMEOUT_S=10
RATE=48000
ARRANGEMENT=rig
# shellcheck source=SCRIPTDIR/../support/fixture_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/fixture_common.sh" || exit 1

usage() {
    echo "usage: $0 start|restart DIR [--rate R]" >&2
    echo "       $0 stop|env DIR" >&2
    echo "       $0 measure DIR [--sep] [--lead S] [--tail S] [--limit S] [--wait]" \
        "[--stall AT FOR]" \
        "SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]" >&2
    exit 2
}

find_modules_dir() {
    local d
    for d in /usr/lib/pulse-*/modules /usr/lib/*/pulse-*/modules /usr/lib/*/pulseaudio/modules; do
        if [ -f "$d/module-null-sink.so" ]; then
            echo "$d"
            return 0
        fi
    done
    return 1
}

write_daemon_conf() {
    local dir=$1
    cat >"$dir/daemon.conf" <<EOF
daemonize = no
fail = yes
system-instance = no
allow-module-loading = yes
allow-exit = no
use-pid-file = no
exit-idle-time = -1
flat-volumes = no
default-sample-format = s16le
default-sample-rate = $RATE
alternate-sample-rate = $RATE
avoid-resampling = yes
default-sample-channels = 2
default-channel-map = front-left,front-right
enable-shm = yes
enable-memfd = no
log-target = stderr
EOF
}

write_default_pa() {
    local dir=$1
    local two="channels=2 channel_map=front-left,front-right"
    local four="channels=4 channel_map=$FOUR_MAP"
    local fmt="rate=$RATE format=s16le"
    local left="master_channel_map=front-left,front-right remix=no"
    local right="master_channel_map=rear-left,rear-right remix=no"
    local loop="latency_msec=20 remix=no source_dont_move=true sink_dont_move=true"
    local m=load-module
    cat >"$dir/default.pa" <<EOF
.fail
$m module-native-protocol-unix socket=$dir/native auth-anonymous=1
$m module-null-sink sink_name=rig $fmt $four
$m module-remap-sink sink_name=rig_in master=rig $two $left
$m module-remap-sink sink_name=rig_out master=rig $two $right
$m module-remap-source source_name=rig_in_mon master=rig.monitor $two $left
$m module-null-source source_name=rig_idle $fmt $four
$m module-loopback source=rig_idle sink=rig $loop
$m module-null-sink sink_name=sep_a $fmt $two
$m module-null-sink sink_name=sep_b $fmt $two
$m module-null-sink sink_name=sep_rec $fmt $four
$m module-remap-sink sink_name=sep_rec_a master=sep_rec $two $left
$m module-remap-sink sink_name=sep_rec_b master=sep_rec $two $right
$m module-loopback source=sep_a.monitor sink=sep_rec_a $loop
$m module-loopback source=sep_b.monitor sink=sep_rec_b $loop
set-default-sink rig_out
set-default-source rig_in_mon
EOF
}

# One asym PCM through the pulse plugin, plus a plug in front of it.
write_asym_pcm() {
    local name=$1 server=$2 capture=$3 playback=$4
    cat <<EOF
pcm.${name}_raw {
    type asym
    playback.pcm { type pulse; device "$playback"; server "$server" }
    capture.pcm { type pulse; device "$capture"; server "$server" }
}
pcm.$name {
    type plug
    slave.pcm "${name}_raw"
}
EOF
}

write_asound_conf() {
    local dir=$1
    local server="unix:$dir/native"
    {
        echo "# written by pulse_fixture.sh for the server at $server"
        write_asym_pcm rig "$server" rig_in_mon rig_out
        write_asym_pcm sep "$server" sep_a.monitor sep_b
        cat <<EOF
pcm.rigmon {
    type plug
    slave.pcm { type pulse; device "rig.monitor"; server "$server" }
}
pcm.sepmon {
    type plug
    slave.pcm { type pulse; device "sep_rec.monitor"; server "$server" }
}
EOF
    } >"$dir/asound.conf"
    write_desktop_conf "$dir" "the server at $server"
}

server_ready() {
    local dir=$1
    [ -S "$dir/native" ] || return 1
    fixture_pactl "$dir" list short sinks 2>/dev/null | grep -q "[[:space:]]sep_rec_b[[:space:]]"
}

# A null sink starts with a block of 2 s, and every sink it feeds with it: a stream that starts
# on it meanwhile gets its first data only when the block ends, and the loopbacks drop and add
# audio to reach their latency, so that a recording through sep_rec has a drifting offset.
# Settled: every sink's latency is down to a few ms (under 100).
sinks_settled() {
    fixture_pactl "$1" list sinks 2>/dev/null |
        awk '/^\tLatency:/ { ++sinks; if ($2 >= 100000) ++long } END { exit !(sinks > 0 && !long) }'
}

cmd_start() {
    local dir=$1
    shift
    while [ $# -gt 0 ]; do
        case $1 in
            --rate) RATE=$2; shift ;;
            *) usage ;;
        esac
        shift
    done
    case $RATE in
        '' | *[!0-9]*) die "bad rate: $RATE" ;;
    esac
    # DIR/native must fit a unix socket path; module arguments and the ALSA configuration
    # cannot carry blanks or quotes in it.
    dir=$(fixture_dir "$dir" 90) || exit 1
    if [ -f "$dir/pid" ] && pid_alive "$(cat "$dir/pid")"; then
        die "a server is already running for $dir (pid $(cat "$dir/pid"))"
    fi
    command -v pulseaudio >/dev/null || die "pulseaudio is not installed"
    command -v pactl >/dev/null || die "pactl is not installed"
    local modules
    modules=$(find_modules_dir) || die "no PulseAudio modules directory found"

    rm -f "$dir/native" "$dir/pid" "$dir/log"
    mkdir -p "$dir/state" "$dir/home" "$dir/runtime"
    chmod 700 "$dir/runtime"
    echo "$RATE" >"$dir/rate"
    write_daemon_conf "$dir"
    write_client_conf "$dir"
    write_default_pa "$dir"
    write_asound_conf "$dir"
    write_program_env "$dir" \
        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$dir/asound.conf:$dir/desktop.conf" \
        PULSE_SERVER="unix:$dir/native" PULSE_CLIENTCONFIG="$dir/client.conf" \
        JACK_DEFAULT_SERVER=livedelay_absent JACK_NO_START_SERVER=1

    # PulseAudio refuses nothing as root in user mode (it only warns), but it looks for its
    # runtime, state and config directories through these variables; all point into DIR.
    # setsid: the server gets its own session, so it survives the shell (and the test) that
    # started it and no terminal signal reaches it; no stdin for runs without a terminal.
    env -u PULSE_SERVER -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY \
        HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home" \
        PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
        PULSE_CONFIG="$dir/daemon.conf" PULSE_CLIENTCONFIG="$dir/client.conf" \
        setsid pulseaudio -n -F "$dir/default.pa" --daemonize=no --system=no \
        --exit-idle-time=-1 --disallow-exit --use-pid-file=no --dl-search-path="$modules" \
        --log-target=stderr --log-level=info --log-time=yes \
        </dev/null >"$dir/log" 2>&1 &
    local pid=$!
    echo "$pid" >"$dir/pid"

    await_server "$dir" "$pid" pulseaudio server_ready "$dir"
    await_server "$dir" "$pid" pulseaudio sinks_settled "$dir"
    echo "pulse_fixture: server pid $pid on unix:$dir/native"
}

# A pulseaudio killed before it answered leaves nothing behind that the next start does not
# replace.
server_killed() {
    :
}

cmd_stop() {
    local dir=$1
    stop_recorded_server "$dir" pulseaudio || return 0
    rm -f "$dir/pid" "$dir/native"
    echo "pulse_fixture: stopped"
}

# --sep: measure on sep_a and sep_rec instead of rig.
measure_option() {
    case $1 in
        --sep) ARRANGEMENT=sep ;;
        *) return 1 ;;
    esac
}

cmd_measure() {
    local dir=$1
    shift
    parse_measure_args "$@"
    [ -S "$dir/native" ] || die "no server socket at $dir/native (run start first)"
    RATE=$(cat "$dir/rate" 2>/dev/null || echo "$RATE")
    [ -r "$SIGNAL" ] || die "cannot read $SIGNAL"
    local play_dev=rig_in rec_dev=rig.monitor
    if [ $ARRANGEMENT = sep ]; then
        play_dev=sep_a
        rec_dev=sep_rec.monitor
    fi
    pulse_measure "$dir" "$rec_dev" "$play_dev"
}

fixture_main "$@"
