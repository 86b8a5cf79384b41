# What the private sound-server fixtures of the real-time tests share
# (tests/pulse/pulse_fixture.sh, tests/pipewire/pipewire_fixture.sh, tests/jack/jack_fixture.sh).
# Sourced, never run.  The fixture sets before sourcing:
#   FIXTURE          the prefix of its messages, e.g. pulse_fixture
#   START_TIMEOUT_S  how long a server gets to answer (STOP_TIMEOUT_S here: to go after TERM)
# and defines:
#   usage                prints its usage and exits 2
#   cmd_start DIR [OPTIONS], cmd_stop DIR, cmd_measure DIR ARGS, which fixture_main calls
#   measure_option OPT   takes a measure option the fixtures do not share (false: unknown)
#   server_killed DIR    if it uses await_server: removes what a server killed during its
#                        start left behind
# Every process is started and stopped by its pid, never by name; every wait for a program
# polls for what shows its state (poll_until), bounded in time.

set -u
set +m  # no job control: a background child stays in our process group, so setsid execs

STOP_TIMEOUT_S=5
REC_PID=""  # the recorder measure starts

# Messages go to stderr with the fixture's prefix; the lines a test reads go to stdout.
warn() {
    echo "$FIXTURE: $*" >&2
}

die() {
    warn "$@"
    exit 1
}

# True while the process exists and is not a zombie (an orphaned server may be reaped late,
# or never, by an init that does not reap).
pid_alive() {
    local pid=$1 stat
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != "Z" ]
}

# Runs `CHECK ARGS...` every 50 ms until it holds (status 0), for at most LIMIT seconds
# (fractions allowed). Gives 0 once it holds, 1 when the time is up, and at once any status
# of 2 or more that CHECK gives: what it waits for can no longer come.
poll_until() {
    local limit=$1 status deadline_us
    shift
    deadline_us=$((${EPOCHREALTIME/./} + $(awk -v s="$limit" 'BEGIN { printf "%d", s * 1e6 }')))
    while true; do
        "$@"
        status=$?
        [ $status -eq 0 ] || [ $status -ge 2 ] && return $status
        [ "${EPOCHREALTIME/./}" -lt "$deadline_us" ] || return 1
        sleep 0.05
    done
}

# Checks for poll_until: pid gone; FILE holds TEXT (a file not there yet holds nothing).
pid_gone() {
    ! pid_alive "$1"
}

file_has() {
    grep -qF -- "$2" "$1" 2>/dev/null
}

# Waits until pid is gone, at most $2 seconds; true if it is gone.
wait_gone() {
    poll_until "$2" pid_gone "$1"
}

# Sends SIG to PID and waits at most LIMIT seconds for it to go, then sends KILL and waits
# 2 s more; false if it is still there.  LABEL names the process in the message.
end_process() {
    local pid=$1 sig=$2 limit=$3 label=$4
    kill "-$sig" "$pid" 2>/dev/null
    wait_gone "$pid" "$limit" && return 0
    warn "$label ignored $sig, sending KILL"
    kill -KILL "$pid" 2>/dev/null
    wait_gone "$pid" 2
}

# Stops a process this script started: signal, bounded wait, then KILL.  The caller reaps it
# with `wait` (which then gives its exit status).
stop_child() {
    local pid=$1 sig=$2 limit=$3
    if pid_alive "$pid"; then
        end_process "$pid" "$sig" "$limit" "pid $pid" || true
    fi
}

# Makes DIR and prints its absolute path, which the configuration files carry: no blanks or
# quotes, and at most MAX bytes if given (the fixture's longest socket path under DIR must fit
# the 107 bytes of a unix socket path).
fixture_dir() {
    local dir=$1 max=${2:-}
    mkdir -p "$dir" || die "cannot create $dir"
    dir=$(cd "$dir" && pwd) || die "cannot enter $dir"
    if [ -n "$max" ] && [ ${#dir} -gt "$max" ]; then
        die "directory path too long for a unix socket: $dir"
    fi
    case $dir in
        *[[:space:]\"\'\\]*) die "directory path must not contain blanks or quotes: $dir" ;;
    esac
    echo "$dir"
}

# --- A fixture of one server process, its pid in DIR/pid and its output in DIR/log ---------

show_log_and_die() {
    local dir=$1 msg=$2
    warn "$msg; server log ($dir/log):"
    sed 's/^/    /' "$dir/log" >&2 2>/dev/null
    die "$msg"
}

# For poll_until: `CHECK ARG` holds, or (2) the server PID has exited.
server_answers() {
    local pid=$1 check=$2 arg=$3
    "$check" "$arg" && return 0
    pid_alive "$pid" || return 2
    return 1
}

# Waits until `CHECK ARG` holds for the server PROGRAM just started as PID. A server that
# exits, or does not answer within START_TIMEOUT_S (it is then killed, and server_killed
# removes what it left), fails the start with its log.
await_server() {
    local dir=$1 pid=$2 program=$3 check=$4 arg=$5
    poll_until "$START_TIMEOUT_S" server_answers "$pid" "$check" "$arg"
    case $? in
        0) return 0 ;;
        1)
            kill -KILL "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            rm -f "$dir/pid"
            server_killed "$dir"
            show_log_and_die "$dir" "server did not answer within ${START_TIMEOUT_S}s"
            ;;
        *)
            wait "$pid" 2>/dev/null
            rm -f "$dir/pid"
            show_log_and_die "$dir" "$program (pid $pid) exited during startup"
            ;;
    esac
}

# Stops the server whose pid DIR/pid holds: TERM, KILL after STOP_TIMEOUT_S.  The pid is only
# signalled if it still runs the program COMM (it may have been reused since).  False, after
# saying so, when there is no pid file and so nothing to stop; the caller removes the file.
stop_recorded_server() {
    local dir=$1 comm=$2 pid
    if [ ! -f "$dir/pid" ]; then
        warn "no pid file in $dir, nothing to stop"
        return 1
    fi
    pid=$(cat "$dir/pid")
    case $pid in
        '' | *[!0-9]*) die "bad pid file $dir/pid" ;;
    esac
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null || true)" = "$comm" ]; then
        end_process "$pid" TERM "$STOP_TIMEOUT_S" "pid $pid" ||
            warn "pid $pid still there after KILL"
    fi
    return 0
}

# --- What a program run on the fixture needs -------------------------------------------------

# Writes DIR/program.env, the environment assignments (NAME=VALUE, one a line) a program run on
# this fixture needs and measure gives COMMAND; and DIR/env.sh, the same for a shell to eval
# (the env command prints it).
write_program_env() {
    local dir=$1 assignment
    shift
    printf '%s\n' "$@" >"$dir/program.env"
    for assignment in "$@"; do
        echo "export $assignment"
    done >"$dir/env.sh"
}

# The assignments of DIR/program.env into the array PROGRAM_ENV.
read_program_env() {
    [ -f "$1/program.env" ] || die "no fixture in $1 (run start first)"
    mapfile -t PROGRAM_ENV <"$1/program.env"
}

# --- measure --------------------------------------------------------------------------------

# Reads measure's arguments after DIR into LEAD, TAIL, LIMIT, WAIT_CMD, STALL_AT, STALL_FOR,
# SIGNAL, OUT and the array COMMAND (empty without `-- COMMAND`).  An option the fixtures do
# not share goes to the fixture's measure_option; one it does not know either is a usage
# error.
parse_measure_args() {
    LEAD=1.5
    TAIL=1.5
    LIMIT=120
    WAIT_CMD=no
    STALL_AT=""
    STALL_FOR=""
    while [ $# -gt 0 ]; do
        case $1 in
            --stall)
                [ $# -ge 3 ] || usage
                STALL_AT=$2
                STALL_FOR=$3
                shift 2
                ;;
            --lead) [ $# -ge 2 ] || usage; LEAD=$2; shift ;;
            --tail) [ $# -ge 2 ] || usage; TAIL=$2; shift ;;
            --limit) [ $# -ge 2 ] || usage; LIMIT=$2; shift ;;
            --wait) WAIT_CMD=yes ;;
            --*) measure_option "$1" || usage ;;
            *) break ;;
        esac
        shift
    done
    [ $# -ge 2 ] || usage
    SIGNAL=$1
    OUT=$2
    shift 2
    COMMAND=()
    if [ $# -gt 0 ]; then
        if [ "$1" != "--" ] || [ $# -lt 2 ]; then
            usage
        fi
        shift
        COMMAND=("$@")
    fi
}

# Starts COMMAND, if measure was given one, in the background under `timeout --limit` with
# the environment assignments given here (PROGRAM_ENV) and its output in OUT.raw.cmd.log;
# sets CMD_PID (empty without a command), the pid of the timeout, whose child the command is.
start_command() {
    CMD_PID=""
    rm -f "$OUT.status"
    if [ ${#COMMAND[@]} -gt 0 ]; then
        env "$@" timeout -k 2 "$LIMIT" "${COMMAND[@]}" </dev/null >"$OUT.cmd.log" 2>&1 &
        CMD_PID=$!
    fi
}

# --stall: the command (the child of its timeout) is stopped STALL_AT seconds from now and
# continued STALL_FOR seconds later, as a machine that stalls would stop it.  The caller runs
# this in the background when the signal starts.
stall_command() {
    local child
    sleep "$STALL_AT"
    child=$(pgrep -P "$CMD_PID" | head -n 1)
    [ -n "$child" ] && kill -STOP "$child" && sleep "$STALL_FOR" && kill -CONT "$child"
}

# Ends the command once the signal and the tail are over: with --wait it gets until --limit
# to end by itself; if it still runs it is stopped (TERM, KILL after 3 s).  Sets CMD_STATUS
# (none without a command) and STOPPED, and writes the status to OUT.raw.status.
finish_command() {
    CMD_STATUS=none
    STOPPED=0
    [ -n "$CMD_PID" ] || return 0
    if [ "$WAIT_CMD" = yes ]; then
        wait_gone "$CMD_PID" "$LIMIT" || true
    fi
    if pid_alive "$CMD_PID"; then
        STOPPED=1
        stop_child "$CMD_PID" TERM 3
    fi
    wait "$CMD_PID" 2>/dev/null
    CMD_STATUS=$?
    echo "$CMD_STATUS" >"$OUT.status"
}

# The line the tests read: OUT holds 4 channels of s16le at RATE.
print_measure() {
    local bytes seconds
    bytes=$(stat -c %s "$OUT" 2>/dev/null || echo 0)
    seconds=$(awk -v b="$bytes" -v r="$RATE" 'BEGIN { printf "%.3f", b / 8 / r }')
    echo "measure: recording=$OUT seconds=$seconds command_status=$CMD_STATUS" \
        "command_stopped=$STOPPED"
}

# --- Clients of a server that speaks the PulseAudio protocol (pulseaudio, pipewire-pulse) ---
# The server listens on DIR/native; DIR/client.conf is for our own clients.

# The channels of the 4-channel sink rig, which the recorder must name as the rig does.
FOUR_MAP=front-left,front-right,rear-left,rear-right

# Runs pactl against this fixture's server only; bounded in time.
fixture_pactl() {
    local dir=$1
    shift
    PULSE_CLIENTCONFIG="$dir/client.conf" timeout 5 pactl --server="unix:$dir/native" "$@"
}

# For our own clients: never autospawn a server, keep the cookie in DIR.
write_client_conf() {
    local dir=$1
    cat >"$dir/client.conf" <<EOF
autospawn = no
cookie-file = $dir/cookie
EOF
}

# DIR/desktop.conf makes `default` the pulse plugin on the server at DIR/native, described
# as WHAT in the file.
write_desktop_conf() {
    local dir=$1 what=$2
    cat >"$dir/desktop.conf" <<EOF
# written by $FIXTURE.sh: \`default\` is the pulse plugin on $what,
# whose default sink is rig_out and default source rig_in_mon
pcm.!default {
    type pulse
    server "unix:$dir/native"
    hint { show on; description "Playback/recording through the PulseAudio sound server" }
}
ctl.!default {
    type pulse
    server "unix:$dir/native"
}
EOF
}

# For poll_until: OUT has its first recorded bytes, or (2) the recorder has ended.
recording_started() {
    [ -s "$1" ] && return 0
    pid_alive "$REC_PID" || return 2
    return 1
}

# Records the 4-channel SOURCE as raw s16le at RATE to OUT with parecord in the background
# (REC_PID, its timeout's pid) and returns once the first bytes are in; fails the measure if
# none come.
start_recorder() {
    local dir=$1 source=$2 out=$3 limit=$4
    rm -f "$out"
    # The channel map must be given: for 4 channels parecord's default is
    # front-left,front-center,front-right,rear-center, and the server would remix into it.
    # --latency-msec keeps the data flowing in small pieces; by default a recording stream
    # gets fragments of up to 2 s, and what is still in flight when parecord stops is lost.
    timeout -s INT -k 2 "$limit" env PULSE_CLIENTCONFIG="$dir/client.conf" \
        parecord --server="unix:$dir/native" --device="$source" --raw --format=s16le \
        --rate="$RATE" --channels=4 --channel-map=$FOUR_MAP --latency-msec=20 "$out" \
        </dev/null >"$out.parecord.log" 2>&1 &
    REC_PID=$!
    # Once the first bytes are in, the recording surely spans the signal.
    if ! poll_until 5 recording_started "$out"; then
        stop_child "$REC_PID" INT 3
        wait "$REC_PID" 2>/dev/null
        cat "$out.parecord.log" >&2
        die "parecord on $source recorded nothing within 5 s"
    fi
}

# Plays SIGNAL into SINK with paplay, bounded by LIMIT; false, with paplay's output shown, if
# that failed.
play_signal() {
    local dir=$1 sink=$2 signal=$3 out=$4 limit=$5
    # --latency-msec: with paplay's default 2 s buffer, the start of the stream made the
    # monitor of PulseAudio's null sink sep_a skip or pause (17-80 ms dropouts in what was
    # captured from sep_a.monitor).
    if ! timeout "$limit" env PULSE_CLIENTCONFIG="$dir/client.conf" \
        paplay --server="unix:$dir/native" --device="$sink" --latency-msec=20 "$signal" \
        </dev/null >"$out.paplay.log" 2>&1; then
        warn "paplay into $sink failed:"
        cat "$out.paplay.log" >&2
        return 1
    fi
}

# measure, once its arguments are read and checked: records SOURCE, starts the command with
# the fixture's program environment, plays the signal into SINK after --lead seconds, waits
# --tail seconds, ends the command and then the recording (INT, so parecord writes out what
# it has) and prints the line.  False if playing failed.
pulse_measure() {
    local dir=$1 source=$2 sink=$3 failed=0
    read_program_env "$dir"
    start_recorder "$dir" "$source" "$OUT" "$LIMIT"
    start_command "${PROGRAM_ENV[@]}"
    sleep "$LEAD"
    if [ -n "$STALL_AT" ] && [ -n "$CMD_PID" ]; then
        stall_command &
    fi
    play_signal "$dir" "$sink" "$SIGNAL" "$OUT" "$LIMIT" || failed=1
    sleep "$TAIL"

    finish_command
    stop_child "$REC_PID" INT 3
    wait "$REC_PID" 2>/dev/null
    print_measure
    return $failed
}

# --- The command line ---------------------------------------------------------------------

fixture_main() {
    [ $# -ge 2 ] || usage
    case $1 in
        start)
            shift
            cmd_start "$@"
            ;;
        stop)
            [ $# -eq 2 ] || usage
            cmd_stop "$2"
            ;;
        restart)
            # A start after stopping whatever an earlier start in DIR left running.
            shift
            cmd_stop "$1" >/dev/null
            cmd_start "$@"
            ;;
        env)
            [ $# -eq 2 ] || usage
            [ -f "$2/env.sh" ] || die "no fixture in $2"
            cat "$2/env.sh"
            ;;
        measure)
            shift
            cmd_measure "$@"
            ;;
        *) usage ;;
    esac
}
