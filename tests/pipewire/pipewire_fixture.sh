#!/usr/bin/env bash
# Private PipeWire server for the livedelay tests: the twin of tests/pulse/pulse_fixture.sh,
# with the same commands, devices and measurement.
#
#   pipewire_fixture.sh start DIR [--rate R] [--quantum Q] [--alsa-plugin LIB]
#       Starts a private D-Bus session bus, pipewire, wireplumber and pipewire-pulse whose
#       every file (sockets, configuration, state, pids, logs) lives in DIR (an absolute path
#       of at most 80 bytes, no blanks or quotes), builds the rig below and returns once it is
#       linked and answers (about 0.4 s; nothing needs to settle after that).  R: the clock
#       rate (default 48000).  Q: the quantum, fixed (default 1024, what PipeWire uses on a
#       virtual machine anyway).  LIB: PipeWire's ALSA plugin; default $PIPEWIRE_ALSA_PLUGIN,
#       else the installed one, else one unpacked into DIR/pipewire-alsa by
#       scripts/unpack-pipewire-alsa.sh.
#   pipewire_fixture.sh restart DIR [OPTIONS]
#                                    stop what an earlier start left running in DIR, then start
#   pipewire_fixture.sh stop DIR     stop every process start started (by pid only)
#   pipewire_fixture.sh env DIR      print shell assignments for manual use (eval-able): what
#                                    measure gives COMMAND, also in DIR/program.env
#   pipewire_fixture.sh measure DIR [--lead S] [--tail S] [--limit S] [--wait]
#                            [--stall AT FOR] SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]
#       Records the 4-channel rig.monitor as raw s16le at the fixture's rate to OUT.raw,
#       starts COMMAND in the background, after --lead seconds (default 1.5) plays SIGNAL
#       into rig_in, waits --tail seconds (default 1.5; make it longer than the delay under
#       test), then stops COMMAND (TERM, KILL after 3 s) unless it has ended; with --wait it
#       first gives COMMAND until --limit to end by itself.  --stall stops COMMAND AT seconds
#       into the signal and continues it FOR seconds later.  Every process gets at most
#       --limit seconds (default 120).  Prints "measure: recording=.. seconds=..
#       command_status=N command_stopped=0|1" and writes COMMAND's exit status to
#       OUT.raw.status and its output to OUT.raw.cmd.log.  Exit status 1 if recording or
#       playing failed.  Analyse OUT.raw with click_delay (--rate R when R is not 48000).
#       COMMAND runs with ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:DIR/asound.conf:
#       DIR/desktop.conf, PULSE_SERVER and PIPEWIRE_REMOTE naming this fixture's sockets
#       and JACK_DEFAULT_SERVER none that runs (see env).
#
# Nothing here reaches the user's or the system's servers: the servers listen on sockets in
# DIR (DIR/runtime/pipewire-0, DIR/native, DIR/runtime/bus), wireplumber's device monitors
# are off (no sound card, camera or Bluetooth device is opened) and its state is in DIR.
#
# The rig, on one clock (the null sink rig drives the whole graph):
#   rig        null sink, 4 channels (FL,FR,RL,RR); rig.monitor records it
#   rig_in     stereo remap sink -> rig channels 1-2   (play the test signal here)
#   rig_in_mon stereo remap source <- rig.monitor 1-2  (the program captures here)
#   rig_out    stereo remap sink -> rig channels 3-4   (the program plays here)
# A recording of rig.monitor holds the input (1-2) and the program's output (3-4) exact to
# the sample.  The server's default sink is rig_out and its default source rig_in_mon.
# Unlike PulseAudio's null sink, an idle rig (or one that wireplumber suspended after 5 s)
# gives a new stream its first frames within a few periods, so no idle source is needed.
#
# DIR/asound.conf, for ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:DIR/asound.conf:
#   rig        PipeWire's ALSA plugin on this server: capture rig_in_mon, playback rig_out
#   rig_plug   plug over rig
#   rigmon     capture of the 4-channel rig.monitor (through pipewire-pulse)
# DIR/desktop.conf, added after it, makes `default` the pulse plugin on this fixture's
# pipewire-pulse and defines `pipewire`, PipeWire's own plugin, as on a Debian desktop that
# runs PipeWire with both plugins installed, whatever the machine's own configuration says.
# DIR/pulse_only.conf, in its place, is the same desktop without PipeWire's plugin.
#
# What this fixture shares with the PulseAudio and JACK ones is in
# tests/support/fixture_common.sh.
FIXTURE=pipewire_fixture
START_TIMEOUT_S=20
# Started in this order, stopped in the reverse one; each name is also the process's comm.
DAEMONS=(dbus-daemon pipewire wireplumber pipewire-pulse)
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
RATE=48000
QUANTUM=1024
# shellcheck source=SCRIPTDIR/../support/fixture_common.sh
. "$HERE/../support/fixture_common.sh" || exit 1

usage() {
    echo "usage: $0 start|restart DIR [--rate R] [--quantum Q] [--alsa-plugin LIB]" >&2
    echo "       $0 stop|env DIR" >&2
    echo "       $0 measure DIR [--lead S] [--tail S] [--limit S] [--wait]" \
        "[--stall AT FOR] SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]" >&2
    exit 2
}

# The pid recorded for a daemon, if it still runs under that daemon's name (a pid may have
# been reused since).
daemon_pid() {
    local dir=$1 name=$2 pid comm
    pid=$(cat "$dir/$name.pid" 2>/dev/null) || return 1
    case $pid in
        '' | *[!0-9]*) return 1 ;;
    esac
    comm=$(cat "/proc/$pid/comm" 2>/dev/null) || return 1
    [ "$comm" = "$name" ] && pid_alive "$pid" && echo "$pid"
}

load_settings() {
    local dir=$1
    [ -f "$dir/fixture.env" ] || die "no fixture in $dir (run start first)"
    # shellcheck source=/dev/null
    . "$dir/fixture.env"
}

write_dbus_conf() {
    local dir=$1
    # A session bus of our own: no service directories, so it never starts anything itself.
    cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/runtime/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

# The plugins both daemons load.
spa_libs() {
    cat <<EOF
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
EOF
}

write_pipewire_conf() {
    local dir=$1
    # min = max = the quantum: the graph runs at one period whatever its clients ask for,
    # so every machine measures the same thing.  Only what the rig needs is loaded.
    cat >"$dir/pipewire.conf" <<EOF
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    link.max-buffers = 16
    default.clock.rate = $RATE
    default.clock.allowed-rates = [ $RATE ]
    default.clock.quantum = $QUANTUM
    default.clock.min-quantum = $QUANTUM
    default.clock.max-quantum = $QUANTUM
    vm.overrides = { default.clock.min-quantum = $QUANTUM }
}
$(spa_libs)
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-profiler }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access args = { } }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Freewheel-Driver
            priority.driver = 19000
            node.group = pipewire.freewheel
            node.freewheel = true
        }
    }
]
EOF
    # No module-always-sink: the rig is the only sink.
    cat >"$dir/pipewire-pulse.conf" <<EOF
context.properties = { }
$(spa_libs)
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { } }
]
pulse.properties = {
    server.address = [ "unix:$dir/native" ]
}
EOF
}

# wireplumber reads its own configuration as installed; these files, found first through
# XDG_CONFIG_HOME, only switch off the monitors that would open the machine's devices.
write_wireplumber_conf() {
    local dir=$1
    mkdir -p "$dir/config/wireplumber/main.lua.d" "$dir/config/wireplumber/bluetooth.lua.d"
    cat >"$dir/config/wireplumber/main.lua.d/51-livedelay-fixture.lua" <<EOF
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
    echo "bluez_monitor.enabled = false" \
        >"$dir/config/wireplumber/bluetooth.lua.d/51-livedelay-fixture.lua"
}

write_asound_conf() {
    local dir=$1 plugin=$2
    cat >"$dir/asound.conf" <<EOF
# written by pipewire_fixture.sh for the server at $dir/runtime/pipewire-0
pcm_type.pipewire {
    lib "$plugin"
}
pcm.rig {
    type pipewire
    server "$dir/runtime/pipewire-0"
    capture_node "rig_in_mon"
    playback_node "rig_out"
    hint { show on; description "livedelay PipeWire fixture rig" }
}
pcm.rig_plug {
    type plug
    slave.pcm "rig"
}
pcm.rigmon {
    type plug
    slave.pcm { type pulse; device "rig.monitor"; server "unix:$dir/native" }
}
EOF
    write_desktop_conf "$dir" "this fixture's pipewire-pulse"
    cp "$dir/desktop.conf" "$dir/pulse_only.conf"
    cat >>"$dir/desktop.conf" <<EOF
# PipeWire's own plugin beside it, as pipewire-alsa defines it
pcm.pipewire {
    type pipewire
    server "$dir/runtime/pipewire-0"
    hint { show on; description "PipeWire Sound Server" }
}
EOF
}

write_settings() {
    local dir=$1
    cat >"$dir/fixture.env" <<EOF
RATE=$RATE
QUANTUM=$QUANTUM
EOF
    write_program_env "$dir" \
        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$dir/asound.conf:$dir/desktop.conf" \
        PULSE_SERVER="unix:$dir/native" PULSE_CLIENTCONFIG="$dir/client.conf" \
        PIPEWIRE_RUNTIME_DIR="$dir/runtime" PIPEWIRE_REMOTE="$dir/runtime/pipewire-0" \
        JACK_DEFAULT_SERVER=livedelay_absent JACK_NO_START_SERVER=1
}

find_plugin() {
    local dir=$1 given=$2 lib
    if [ -n "$given" ]; then
        [ -f "$given" ] || die "no ALSA plugin at $given"
        echo "$given"
        return 0
    fi
    for lib in /usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so; do
        if [ -f "$lib" ]; then
            echo "$lib"
            return 0
        fi
    done
    "$HERE/../../scripts/unpack-pipewire-alsa.sh" "$dir/pipewire-alsa" ||
        die "PipeWire's ALSA plugin is neither given, installed nor to be unpacked"
}

fixture_pw_link() {
    local dir=$1
    shift
    PIPEWIRE_REMOTE="$dir/runtime/pipewire-0" timeout 5 pw-link "$@"
}

# Starts one daemon in its own session with the private environment; records its pid.
launch() {
    local dir=$1 name=$2
    shift 2
    env -u PULSE_SERVER -u PIPEWIRE_REMOTE -u PIPEWIRE_CORE -u DISPLAY -u WAYLAND_DISPLAY \
        -u PIPEWIRE_CONFIG_DIR -u WIREPLUMBER_CONFIG_DIR \
        -u PULSE_CLIENTCONFIG -u JACK_DEFAULT_SERVER \
        HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime" \
        XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/home" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/runtime/bus" \
        setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
    echo $! >"$dir/$name.pid"
}

show_logs() {
    local dir=$1 name
    for name in "${DAEMONS[@]}"; do
        [ -s "$dir/$name.log" ] || continue
        warn "$name log ($dir/$name.log):"
        tail -n 20 "$dir/$name.log" | sed 's/^/    /' >&2
    done
}

# Stops whatever of this fixture runs, shows the logs and fails.
fail_start() {
    local dir=$1 msg=$2
    show_logs "$dir"
    stop_daemons "$dir" >/dev/null
    die "$msg"
}

# For poll_until: `check DIR` holds, or (2) a daemon started so far has exited (named in
# DIR/exited).
daemons_and() {
    local dir=$1 check=$2 name pid
    "$check" "$dir" && return 0
    for name in "${DAEMONS[@]}"; do
        [ -f "$dir/$name.pid" ] || continue
        pid=$(cat "$dir/$name.pid")
        if ! pid_alive "$pid"; then
            echo "$name (pid $pid)" >"$dir/exited"
            return 2
        fi
    done
    return 1
}

# Waits until `check DIR` holds; fails the start when a daemon has died or the start has
# taken too long.
wait_until() {
    local dir=$1 what=$2 check=$3
    poll_until $((DEADLINE - SECONDS)) daemons_and "$dir" "$check"
    case $? in
        0) ;;
        1) fail_start "$dir" "no $what within ${START_TIMEOUT_S}s" ;;
        *) fail_start "$dir" "$(cat "$dir/exited") exited while waiting for $what" ;;
    esac
}

bus_ready() { [ -S "$1/runtime/bus" ]; }
pipewire_ready() { [ -S "$1/runtime/pipewire-0" ]; }
pulse_ready() { [ -S "$1/native" ] && fixture_pactl "$1" info >/dev/null 2>&1; }

# wireplumber has linked every remap to the rig (so it runs its policy), and the server's
# defaults are the rig's.
rig_ready() {
    local dir=$1 links info
    links=$(fixture_pw_link "$dir" -l 2>/dev/null) || return 1
    info=$(fixture_pactl "$dir" info 2>/dev/null) || return 1
    grep -q "^Default Sink: rig_out$" <<<"$info" &&
        grep -q "^Default Source: rig_in_mon$" <<<"$info" &&
        [ "$(grep -cE '^ +\|-> (rig:playback_(FL|FR|RL|RR)|input\.rig_in_mon:input_F[LR])$' \
            <<<"$links")" -eq 6 ]
}

load_rig() {
    local dir=$1
    local two="channels=2 channel_map=front-left,front-right remix=no"
    local left="master_channel_map=front-left,front-right"
    local right="master_channel_map=rear-left,rear-right"
    local m
    while read -r m; do
        # shellcheck disable=SC2086  # the module arguments are words
        fixture_pactl "$dir" load-module $m >/dev/null ||
            fail_start "$dir" "pipewire-pulse refused: load-module $m"
    done <<EOF
module-null-sink sink_name=rig rate=$RATE format=s16le channels=4 channel_map=$FOUR_MAP
module-remap-sink sink_name=rig_in master=rig $two $left
module-remap-sink sink_name=rig_out master=rig $two $right
module-remap-source source_name=rig_in_mon master=rig.monitor $two $left
EOF
    if ! fixture_pactl "$dir" set-default-sink rig_out >/dev/null ||
        ! fixture_pactl "$dir" set-default-source rig_in_mon >/dev/null; then
        fail_start "$dir" "cannot set the default sink and source"
    fi
}

cmd_start() {
    local dir=$1 plugin_arg=${PIPEWIRE_ALSA_PLUGIN:-}
    shift
    while [ $# -gt 0 ]; do
        case $1 in
            --rate) [ $# -ge 2 ] || usage; RATE=$2; shift ;;
            --quantum) [ $# -ge 2 ] || usage; QUANTUM=$2; shift ;;
            --alsa-plugin) [ $# -ge 2 ] || usage; plugin_arg=$2; shift ;;
            *) usage ;;
        esac
        shift
    done
    case $RATE$QUANTUM in
        '' | *[!0-9]*) die "rate and quantum must be whole numbers" ;;
    esac
    # DIR/runtime/pipewire-0 must fit a unix socket path; the configuration files cannot
    # carry blanks or quotes in it.
    dir=$(fixture_dir "$dir" 80) || exit 1
    local name pid
    for name in "${DAEMONS[@]}"; do
        if pid=$(daemon_pid "$dir" "$name"); then
            die "$name is already running for $dir (pid $pid)"
        fi
    done
    for name in "${DAEMONS[@]}" pactl pw-link; do
        command -v "$name" >/dev/null || die "$name is not installed"
    done
    local plugin
    plugin=$(find_plugin "$dir" "$plugin_arg") || exit 1

    # State left by an earlier start (wireplumber's remembered defaults and streams) would
    # make this one depend on it.
    rm -rf "$dir/runtime" "$dir/state" "$dir/config"
    rm -f "$dir/native" "$dir"/*.pid "$dir"/*.log "$dir/exited"
    mkdir -p "$dir/runtime" "$dir/state" "$dir/home" "$dir/config" || die "cannot populate $dir"
    chmod 700 "$dir/runtime"
    write_dbus_conf "$dir"
    write_pipewire_conf "$dir"
    write_wireplumber_conf "$dir"
    write_client_conf "$dir"
    write_asound_conf "$dir" "$plugin"
    write_settings "$dir"

    DEADLINE=$((SECONDS + START_TIMEOUT_S))
    launch "$dir" dbus-daemon dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile
    wait_until "$dir" "D-Bus socket" bus_ready
    launch "$dir" pipewire pipewire -c "$dir/pipewire.conf"
    wait_until "$dir" "PipeWire socket" pipewire_ready
    launch "$dir" wireplumber wireplumber
    launch "$dir" pipewire-pulse pipewire-pulse -c "$dir/pipewire-pulse.conf"
    wait_until "$dir" "answer from pipewire-pulse" pulse_ready
    load_rig "$dir"
    wait_until "$dir" "linked rig" rig_ready
    echo "pipewire_fixture: pipewire pid $(cat "$dir/pipewire.pid") at $dir/runtime/pipewire-0," \
        "pulse at unix:$dir/native, rate $RATE, quantum $QUANTUM"
}

# Stops the daemons in the reverse order of their start; gives 1 if one would not go.
stop_daemons() {
    local dir=$1 i name pid status=0
    for ((i = ${#DAEMONS[@]} - 1; i >= 0; --i)); do
        name=${DAEMONS[i]}
        if pid=$(daemon_pid "$dir" "$name") &&
            ! end_process "$pid" TERM "$STOP_TIMEOUT_S" "$name (pid $pid)"; then
            warn "$name (pid $pid) still there after KILL"
            status=1
        fi
        rm -f "$dir/$name.pid"
    done
    rm -f "$dir/native" "$dir/runtime/pipewire-0" "$dir/runtime/bus"
    return $status
}

cmd_stop() {
    local dir=$1
    if ! ls "$dir"/*.pid >/dev/null 2>&1; then
        warn "no pid file in $dir, nothing to stop"
        return 0
    fi
    stop_daemons "$dir" || die "could not stop every process of $dir"
    echo "pipewire_fixture: stopped"
}

# No option beyond those every fixture has.
measure_option() {
    return 1
}

cmd_measure() {
    local dir=$1
    shift
    parse_measure_args "$@"
    load_settings "$dir"
    [ -S "$dir/native" ] || die "no pipewire-pulse socket at $dir/native (run start first)"
    [ -r "$SIGNAL" ] || die "cannot read $SIGNAL"
    pulse_measure "$dir" rig.monitor rig_in
}

fixture_main "$@"
