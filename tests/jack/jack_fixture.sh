#!/usr/bin/env bash
# Private JACK server for the livedelay tests, the twin of tests/pulse/pulse_fixture.sh.
#
#   jack_fixture.sh start DIR   start jackd (dummy driver, 48000 Hz, periods of 1024 frames)
#                               under a server name made from DIR (absolute path without
#                               blanks or quotes); its pid, log and ALSA configuration live
#                               in DIR; returns once jack_lsp answers on that name
#   jack_fixture.sh restart DIR stop what an earlier start left running in DIR, then start
#   jack_fixture.sh stop DIR    stop the server started with that DIR (by its pid only)
#   jack_fixture.sh env DIR     print shell assignments for manual use (eval-able): what
#                               measure gives COMMAND, also in DIR/program.env
#   jack_fixture.sh measure DIR [--lead S] [--tail S] [--limit S] [--wait] [--stall AT FOR]
#                           SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]
#       Starts the rig (a JACK client, tests/tools/jack_rig.cpp; the binary is taken from
#       $JACK_RIG, else from PATH), which records 4 channels of raw s16le 48000 Hz to OUT.raw:
#       1-2 what it plays on rig:sig_1/2, 3-4 what comes back on rig:ret_1/2, frame for frame
#       on the server's clock.  Then starts COMMAND in the background with ALSA_CONFIG_PATH
#       pointing at DIR/asound.conf and JACK_DEFAULT_SERVER at the server; the rig plays
#       SIGNAL --lead seconds (default 1.5) after it started, then the script waits --tail
#       seconds (default 1.5; make it longer than the delay under test) and stops COMMAND
#       (TERM, KILL after 3 s) unless it has ended; with --wait it first gives COMMAND until
#       --limit to end by itself.  --stall stops COMMAND (the child of its timeout) AT seconds
#       into the signal and continues it FOR seconds later.  Every process gets at most
#       --limit seconds (default 120).  Prints "measure: recording=.. seconds=..
#       command_status=N command_stopped=0|1" and writes COMMAND's exit status to
#       OUT.raw.status, its output to OUT.raw.cmd.log and the rig's to OUT.raw.rig.log.  Exit
#       status 1 if recording or playing failed.  Analyse OUT.raw with click_delay.
#
# Works as root without a user session, D-Bus or sound card; clients never start a server.
# jackd2 keeps its sockets, semaphores and shared memory in /dev/shm whatever TMPDIR says
# (JACK_PROMISCUOUS_SERVER only opens them to a group); each file there carries the server
# name, so a private name keeps them apart from any other server.
#
# DIR/asound.conf defines, for ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:DIR/asound.conf
# (the plugin joins the server named by JACK_DEFAULT_SERVER):
#   rig_raw  the jack PCM: capture from rig:sig_1/2, playback to rig:ret_1/2 (float only)
#   rig      plug over rig_raw (what the program uses; it converts the sample format)
# The stock "jack" and "plug:jack" PCMs (alsa.conf.d/50-jack.conf) connect to system:*
# ports, silent with the dummy driver; the rig connects itself to their clients as well, so
# they can be measured too.
#
# What this fixture shares with the PulseAudio and PipeWire ones is in
# tests/support/fixture_common.sh.
FIXTURE=jack_fixture
START_TIMEOUT_S=10
RATE=48000
PERIOD=1024
# shellcheck source=SCRIPTDIR/../support/fixture_common.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/fixture_common.sh" || exit 1

usage() {
    echo "usage: $0 start|restart|stop|env DIR" >&2
    echo "       $0 measure DIR [--lead S] [--tail S] [--limit S] [--wait]" \
        "[--stall AT FOR]" \
        "SIGNAL.wav OUT.raw [-- COMMAND [ARGS...]]" >&2
    exit 2
}

# JACK keeps the names of at most eight servers in a registry in /dev/shm, and the entry of a
# server that died is taken back only by a server of the same name: names made afresh for
# every fixture fill it, and then no server starts ("Too many servers already active"). The
# fixtures share a few names instead, each claimed by a file that holds the fixture directory,
# the shell that starts the server and the server. A claim is free once both processes are
# gone; JACK counts a server that died and was never reaped as running, and so does this.
NAME_CLAIMS=/dev/shm/livedelay-jack-names
NAME_POOL=(0 1 2 3 4 5)

claim_held() {
    local claimed_dir starter server_pid pid
    read -r claimed_dir starter server_pid <"$1" 2>/dev/null || return 1
    for pid in $starter $server_pid; do
        kill -0 "$pid" 2>/dev/null && return 0
    done
    return 1
}

# Prints the name claimed for DIR, or fails when every name is taken.
claim_server_name() {
    local dir=$1 lock n claim
    mkdir -p "$NAME_CLAIMS" || return 1
    exec {lock}>"$NAME_CLAIMS/lock" || return 1
    flock -w 10 "$lock" || return 1
    for n in "${NAME_POOL[@]}"; do
        claim="$NAME_CLAIMS/livedelay_$n"
        if ! claim_held "$claim"; then
            echo "$dir $$" >"$claim"
            exec {lock}>&-
            echo "livedelay_$n"
            return 0
        fi
    done
    exec {lock}>&-
    return 1
}

write_asound_conf() {
    local dir=$1 server=$2
    cat >"$dir/asound.conf" <<EOF
# written by jack_fixture.sh for the JACK server $server (JACK_DEFAULT_SERVER names it)
pcm.rig_raw {
    type jack
    capture_ports { 0 "rig:sig_1"; 1 "rig:sig_2" }
    playback_ports { 0 "rig:ret_1"; 1 "rig:ret_2" }
}
pcm.rig {
    type plug
    slave.pcm "rig_raw"
}
EOF
}

server_ready() {
    local server=$1
    JACK_NO_START_SERVER=1 timeout 5 jack_lsp -s "$server" 2>/dev/null |
        grep -q '^system:playback_1$'
}

# A server that died without its cleanup (KILL) leaves its socket and semaphores behind; they
# carry the server name, so only this server's files go.
remove_server_files() {
    local server=$1
    rm -f /dev/shm/jack_"${server}"_* /dev/shm/jack_sem.*_"${server}"_* \
        /dev/shm/jack_sem."${server}"_*
}

# A jackd killed before it answered had no time for its cleanup.
server_killed() {
    remove_server_files "$(cat "$1/server")"
}

cmd_start() {
    [ $# -eq 1 ] || usage
    local dir
    # The ALSA configuration cannot carry blanks or quotes in DIR; JACK's sockets are not in
    # it, so its length does not matter.
    dir=$(fixture_dir "$1") || exit 1
    if [ -f "$dir/pid" ] && pid_alive "$(cat "$dir/pid")"; then
        die "a server is already running for $dir (pid $(cat "$dir/pid"))"
    fi
    command -v jackd >/dev/null || die "jackd is not installed (package jackd2)"
    command -v jack_lsp >/dev/null || die "jack_lsp is not installed (package jackd2)"
    local server
    server=$(claim_server_name "$dir") ||
        die "every JACK server name of the fixtures is taken (claims in $NAME_CLAIMS)"
    if server_ready "$server"; then
        die "a JACK server named $server is already running"
    fi
    # What a killed server of this name left behind.
    remove_server_files "$server"

    rm -f "$dir/pid" "$dir/log"
    mkdir -p "$dir/home"
    echo "$server" >"$dir/server"
    write_asound_conf "$dir" "$server"
    write_program_env "$dir" ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$dir/asound.conf" \
        JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1

    # setsid: the server gets its own session, so it survives the shell (and the test) that
    # started it and no terminal signal reaches it; no stdin for runs without a terminal.
    # JACK_NO_AUDIO_RESERVATION: no D-Bus device reservation (there is no session bus).
    env -u JACK_DEFAULT_SERVER -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY \
        HOME="$dir/home" JACK_NO_AUDIO_RESERVATION=1 \
        setsid jackd --name "$server" -d dummy -r $RATE -p $PERIOD \
        </dev/null >"$dir/log" 2>&1 &
    local pid=$!
    echo "$pid" >"$dir/pid"
    echo "$dir $$ $pid" >"$NAME_CLAIMS/$server"

    await_server "$dir" "$pid" jackd server_ready "$server"
    echo "jack_fixture: server pid $pid named $server"
}

cmd_stop() {
    local dir=$1
    stop_recorded_server "$dir" jackd || return 0
    # The files of a server that is gone, cleanly or not, may go; a live one still uses them.
    if ! pid_alive "$(cat "$dir/pid")" && [ -f "$dir/server" ]; then
        remove_server_files "$(cat "$dir/server")"
    fi
    rm -f "$dir/pid"
    echo "jack_fixture: stopped"
}

# For poll_until: a line starting with $2 is in the log $1, or (2) pid $3 has ended.
line_logged() {
    grep -q "^$2" "$1" 2>/dev/null && return 0
    pid_alive "$3" || return 2
    return 1
}

# Waits (bounded, $3 seconds) for a line starting with $2 in the log $1, while pid $4 lives.
wait_for_line() {
    poll_until "$3" line_logged "$1" "$2" "$4"
}

# Starts the rig in the background; sets REC_PID (the pid of its timeout).
start_rig() {
    local server=$1 signal=$2 out=$3 lead=$4 limit=$5 rig=$6
    rm -f "$out"
    timeout -s TERM -k 2 "$limit" env JACK_NO_START_SERVER=1 \
        "$rig" --server "$server" --lead "$lead" "$signal" "$out" \
        </dev/null >"$out.rig.log" 2>&1 &
    REC_PID=$!
}

# --sep is the PulseAudio fixture's second arrangement, with a clock per sink.
measure_option() {
    case $1 in
        --sep) die "--sep: the JACK fixture has one clock only" ;;
        *) return 1 ;;
    esac
}

cmd_measure() {
    local dir=$1
    shift
    parse_measure_args "$@"
    if [ ! -f "$dir/pid" ] || ! pid_alive "$(cat "$dir/pid")"; then
        die "no server running for $dir (run start first)"
    fi
    [ -r "$SIGNAL" ] || die "cannot read $SIGNAL"
    local server rig=${JACK_RIG:-}
    server=$(cat "$dir/server") || die "no server name in $dir"
    if [ -z "$rig" ]; then
        rig=$(command -v jack_rig) || die "no rig: set JACK_RIG to the jack_rig binary"
    fi
    [ -x "$rig" ] || die "JACK_RIG=$rig is not executable"

    start_rig "$server" "$SIGNAL" "$OUT" "$LEAD" "$LIMIT" "$rig"
    if ! wait_for_line "$OUT.rig.log" "rig: ready" 5 "$REC_PID"; then
        stop_child "$REC_PID" TERM 3
        wait "$REC_PID" 2>/dev/null
        cat "$OUT.rig.log" >&2
        die "the rig did not come up within 5 s"
    fi

    local failed=0 stall_pid=""
    read_program_env "$dir"
    start_command "${PROGRAM_ENV[@]}"
    # The rig plays the signal by itself, --lead seconds after it started; its log says when.
    if [ -n "$STALL_AT" ] && [ -n "$CMD_PID" ]; then
        (
            wait_for_line "$OUT.rig.log" "rig: signal_start" "$LIMIT" "$REC_PID" || exit 0
            stall_command
        ) &
        stall_pid=$!
    fi
    if ! wait_for_line "$OUT.rig.log" "rig: signal_end" "$LIMIT" "$REC_PID"; then
        warn "the rig did not play the signal to its end:"
        cat "$OUT.rig.log" >&2
        failed=1
    fi
    sleep "$TAIL"
    if [ -n "$stall_pid" ]; then
        wait "$stall_pid" 2>/dev/null
    fi

    finish_command
    stop_child "$REC_PID" TERM 5
    wait "$REC_PID" 2>/dev/null
    local rig_status=$?
    if [ $rig_status -ne 0 ]; then
        warn "the rig ended with status $rig_status:"
        cat "$OUT.rig.log" >&2
        failed=1
    fi
    print_measure
    return $failed
}

fixture_main "$@"
