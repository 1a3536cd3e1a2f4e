#!/usr/bin/env bash
# Checks are single-quoted and run through eval, which reads the variables set before them.
# shellcheck disable=SC2016,SC2034
# End-to-end tests of `korvane pendant`: the pendant runs in a real terminal (a tmux pane)
# against korvane-sim on a pty. Keys go in with `tmux send-keys`, the screen comes out with
# `tmux capture-pane`, and what the machine did comes from the simulator's status file.
#   scripts/test-pendant.sh [BUILD_DIR]     (default build/default, built beforehand)
# Prints one line per check and a closing "N passed, N failed"; exit 0 only when none failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

build="${1:-build/default}"
tool="$PWD/$build/tools/korvane/korvane"
sim="$PWD/$build/sim/korvane-sim"
for program in "$tool" "$sim"; do
    [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 2; }
done
command -v tmux >/dev/null || { echo "tmux is missing (scripts/install-deps.sh test)" >&2; exit 2; }

work="$(mktemp -d /tmp/korvane-pendant-XXXXXX)"
socket="$work/tmux.sock"
status="$work/sim.status"
sim_pid=""
passed=0
failed=0

# A server of its own, without any tmux.conf of the machine or the user.
T() { tmux -S "$socket" -f /dev/null "$@"; }

cleanup() {
    T kill-server 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Without starting a process, so that a loop sending keys keeps its pace on a busy machine.
now_ms() {
    local now="${EPOCHREALTIME/[.,]/}"
    echo $((now / 1000))
}
exec {sleep_fd}<> <(:)
nap() { read -r -t "$1" -u "$sleep_fd" || true; }

check() { # check NAME CONDITION...
    local name="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok    $name"
    else
        failed=$((failed + 1))
        echo "FAIL  $name"
        echo "      screen:"
        T capture-pane -p -t pendant 2>/dev/null | sed 's/^/      | /'
        echo "      simulator:"
        tr '\n' ' ' <"$status" 2>/dev/null | fold -w 90 | sed 's/^/      | /'
        echo
    fi
}

# A value from the simulator's status file ("name value" lines).
sim_value() { awk -v name="$1" '$1 == name { print $2 }' "$status"; }

# until_true LIMIT_MS COMMAND...: polls COMMAND every 20 ms until it succeeds or the limit.
until_true() {
    local limit=$(($(now_ms) + $1))
    shift
    until "$@"; do
        [ "$(now_ms)" -ge "$limit" ] && return 1
        sleep 0.02
    done
}

screen() { T capture-pane -p -t pendant; }
screen_has() { screen | grep -q -- "$1"; }
sim_is() { [ "$(sim_value "$1")" = "$2" ]; }
sim_at_least() { [ "$(sim_value "$1")" -ge "$2" ]; }
pendant_gone() { ! kill -0 "$pendant_pid" 2>/dev/null; }

# start_sim [SIMULATOR OPTIONS...]
start_sim() {
    rm -f "$status" "$work/port"
    "$sim" --status-file "$status" --silence-signals --link "$work/port" "$@" >"$work/sim.out" \
        2>>"$work/stderr" &
    sim_pid=$!
    until_true 5000 test -s "$status"
}

stop_sim() {
    kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    sim_pid=""
}

# Starts the simulator and the pendant in a 100x30 pane. The pane's shell keeps the terminal
# settings from before and after the pendant and its exit code, then stays open. Both
# programs' stderr collects in one file. Arguments go to the simulator.
start_pendant() {
    start_sim "$@"
    rm -f "$work/exit" "$work/stty.before" "$work/stty.after"
    T new-session -d -s pendant -x 100 -y 30 \
        "stty -g >'$work/stty.before'; '$tool' pendant --port '$work/port' 2>>'$work/stderr'; \
         echo \$? >'$work/exit'; stty -g >'$work/stty.after'; sleep 600"
    until_true 5000 screen_has "State     Idle" || return 1
    pendant_pid="$(pgrep -P "$(T display -p -t pendant '#{pane_pid}')" korvane)"
    [ -n "$pendant_pid" ]
}

finish() {
    T kill-server 2>/dev/null
    stop_sim
}

# send_for MS KEY: sends KEY every 40 ms for MS milliseconds, as a held key repeats.
send_for() {
    local limit=$(($(now_ms) + $1))
    while [ "$(now_ms)" -lt "$limit" ]; do
        T send-keys -t pendant "$2" 2>/dev/null
        nap 0.04
    done
}

# hold_key MS KEY: KEY as a keyboard sends it while held for MS milliseconds: the press, the
# first repeat after the usual delay of 500 ms, then a repeat every 33 ms (30 a second).
hold_key() {
    local start limit
    start=$(now_ms)
    limit=$((start + $1))
    T send-keys -t pendant "$2" 2>/dev/null
    nap 0.5
    while [ "$(now_ms)" -lt "$limit" ]; do
        T send-keys -t pendant "$2" 2>/dev/null
        nap 0.033
    done
}

# x stays where it is for half a second: the machine has stopped. Judge it once the machine
# shows Idle: a held jog slows down in Hold first.
x_at_rest() {
    local before
    before="$(sim_value x)"
    sleep 0.5
    [ "$(sim_value x)" = "$before" ]
}

# above NAME LIMIT: the simulator's value NAME is greater than LIMIT.
above() { awk -v value="$(sim_value "$1")" -v limit="$2" 'BEGIN { exit !(value > limit) }'; }
x_above() { above x "$1"; }

terminal_restored() {
    [ -s "$work/stty.before" ] && cmp -s "$work/stty.before" "$work/stty.after" &&
        [ "$(T display -p -t pendant '#{alternate_on}')" = 0 ]
}

exited_with() { [ -s "$work/exit" ] && [ "$(cat "$work/exit")" = "$1" ]; }

echo "== pendant in tmux against korvane-sim ($work)"

# --- Hold to jog: moves while the key repeats, stops soon after the last repeat.
if check "pendant starts and shows the machine" start_pendant; then
    send_for 1000 Right &
    sender=$!
    sleep 0.6
    jog_screen="$(screen)"
    wait "$sender"
    last_repeat=$(now_ms)
    check "held Right shows the jog on screen" grep -q "X+ at F300" <<<"$jog_screen"
    check "held Right moves x forward" x_above 2
    until_true 3000 sim_at_least jog_cancel_bytes 1
    stop_ms=$(($(now_ms) - last_repeat))
    echo "      jog cancel ${stop_ms} ms after the last repeat (release 200 ms + status 100 ms)"
    # Loose bound: the cancel must come, and not absurdly late.
    check "release stops the jog with a jog cancel well within a second" \
        eval '[ "$stop_ms" -lt 1000 ] && sim_is jogs_since_cancel 0'
    check "the machine comes to rest in Idle" eval 'until_true 2000 sim_is state Idle && x_at_rest'
    # A stop and a new start while the key repeats would have written a second jog line.
    check "the repeats of the held key bridge without a stop and a new start" sim_is jog_lines 1
    echo "      screen during the jog:"
    printf "      | %s\n" "${jog_screen//$'\n'/$'\n      | '}"
fi
finish

# --- A keyboard's first repeat comes later than the rest: the jog must bridge that gap too.
if start_pendant; then
    check "the screen shows the first-repeat time a terminal emulator gets (600 ms)" \
        screen_has "first repeat 600 ms"
    hold_key 1500 Right &
    sender=$!
    # Half way through the 500 ms before the first repeat, past the 200 ms release time.
    sleep 0.4
    cancels_in_gap="$(sim_value jog_cancel_bytes)"
    state_in_gap="$(sim_value state)"
    wait "$sender"
    cancels_at_release="$(sim_value jog_cancel_bytes)"
    released=$(now_ms)
    until_true 3000 sim_at_least jog_cancel_bytes 1
    stop_ms=$(($(now_ms) - released))
    echo "      first repeat after 500 ms: jog cancel ${stop_ms} ms after the last repeat"
    check "no jog cancel while waiting for the first repeat, the machine jogging" \
        eval '[ "$cancels_in_gap" = 0 ] && [ "$state_in_gap" = Jog ]'
    check "a held key with a late first repeat jogs without a stop until released" \
        eval '[ "$cancels_at_release" = 0 ] && sim_is jog_lines 1'
    # Loose bound: prompt once repeating (the release time, not the first-repeat time).
    check "after the repeats end the jog cancel follows well within a second" \
        eval '[ "$stop_ms" -lt 1000 ] && sim_is jogs_since_cancel 0'
fi
finish

# --- The other keys: the opposite key reverses, another key switches the axis.
if start_pendant; then
    send_for 800 Right
    x_peak="$(sim_value x)"
    send_for 800 Left
    check "the opposite key reverses without a pause: x turns back" \
        eval 'until_true 2000 sim_is state Idle && ! above x "$(awk -v x="$x_peak" "BEGIN { print x - 1 }")"'
    send_for 600 Up
    send_for 600 PPage
    check "Up jogs y forward, then PgUp z forward" \
        eval 'until_true 2000 sim_is state Idle && above y 1 && above z 1'
    send_for 600 Down
    send_for 600 NPage
    check "Down jogs y back, then PgDn z back" \
        eval 'until_true 2000 sim_is state Idle && ! above y 1 && ! above z 1'
    T send-keys -t pendant + +
    send_for 800 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    sleep 0.3
    feed_seen="$(sim_value feed)"
    speed_screen="$(screen)"
    wait "$sender"
    check "+ twice: F3000 on screen and the machine jogs at F3000" \
        eval 'grep -q "Speed     F3000" <<<"$speed_screen" && [ "$feed_seen" = 3000.000 ]'
fi
finish

# --- Step jog: one press is one step of exactly the chosen size; repeats add nothing.
if start_pendant; then
    T send-keys -t pendant m 3 Right
    check "a step jog of 1 moves x by exactly 1.000" \
        eval 'until_true 3000 sim_is x 1.000 && until_true 2000 sim_is state Idle && x_at_rest'
    check "the screen shows the position the simulator holds" \
        until_true 2000 screen_has "X *$(sim_value x)"
    send_for 600 Right
    check "a held key in step mode moves one step, not one per repeat" \
        eval 'until_true 3000 sim_is x 2.000 && until_true 2000 sim_is state Idle && x_at_rest'
    # A 10 mm step at F100 takes six seconds; quitting in the middle must not leave it running.
    T send-keys -t pendant 4 - Right
    until_true 3000 sim_is state Jog
    T send-keys -t pendant q
    check "quitting during a step jog holds it: the machine stops short of the step" \
        eval 'until_true 3000 pendant_gone && until_true 1000 sim_is hold_bytes 1 &&
              until_true 2000 sim_is state Idle && x_at_rest && ! sim_is x 12.000'
fi
finish

# --- Feed hold and resume; the emergency stop; homing after a confirmation.
if start_pendant; then
    # A 10 mm step at F100 takes six seconds: time to hold it.
    T send-keys -t pendant m 4 - Right
    until_true 3000 sim_is state Jog
    T send-keys -t pendant Space
    check "Space sends a feed hold" until_true 2000 sim_is hold_bytes 1
    check "the held machine stops short of the step" \
        eval 'until_true 2000 sim_is state Idle && x_at_rest && ! sim_is x 10.000'
    T send-keys -t pendant r
    check "r sends a resume" until_true 2000 sim_is resume_bytes 1
    T send-keys -t pendant e
    check "e leaves the machine in Alarm and the screen says so" \
        eval 'until_true 2000 sim_is state Alarm && sim_is estop_lines 1 &&
              until_true 2000 screen_has "State     Alarm" && screen_has "EMERGENCY STOP"'
    T send-keys -t pendant h n
    sleep 0.3
    check "h then another key does not home" sim_is home_lines 0
    T send-keys -t pendant h y
    check "h then y homes, clears the alarm and says so" \
        eval 'until_true 5000 sim_is home_lines 1 && until_true 5000 screen_has "State     Idle" &&
              until_true 2000 screen_has "homing done"'
fi
finish

# --- Homing runs beside the keys: a 20 s cycle, and the keys still act during it.
if start_pendant --homing-ms 20000; then
    T send-keys -t pendant h y
    check "the screen shows the cycle under way" \
        eval 'until_true 3000 sim_is state Home && until_true 2000 screen_has "State     Home"'
    send_for 300 Right
    check "jog keys during homing move nothing and say why" \
        eval 'sim_is jog_lines 0 && until_true 1000 screen_has "nothing while homing"'
    sleep 1
    T send-keys -t pendant e
    pressed=$(now_ms)
    until_true 5000 sim_at_least hold_bytes 1
    hold_ms=$(($(now_ms) - pressed))
    until_true 5000 sim_is estop_lines 1
    estop_ms=$(($(now_ms) - pressed))
    echo "      e during homing: hold byte after ${hold_ms} ms, \$ES after ${estop_ms} ms"
    # Loose bound: far below the cycle, which would hold every key back otherwise.
    check "e during homing reaches the simulator within 2 s and ends the cycle in Alarm" \
        eval '[ "$estop_ms" -lt 2000 ] && until_true 2000 sim_is state Alarm'
    # After the failed cycle's result is in: the stop is what the operator must see.
    check "the screen shows the emergency stop after the cycle returned" \
        eval 'until_true 2000 screen_has "State     Alarm" && sleep 0.5 && screen_has "EMERGENCY STOP"'
    T send-keys -t pendant q
    check "after homing the pendant ends cleanly (exit 0, terminal restored)" \
        eval 'until_true 3000 pendant_gone && until_true 3000 exited_with 0 &&
              until_true 2000 terminal_restored'
fi
finish

if start_pendant --homing-ms 20000; then
    T send-keys -t pendant h y
    until_true 3000 sim_is state Home
    T send-keys -t pendant q
    check "quitting during homing stops the cycle and waits for it before closing (exit 0)" \
        eval 'until_true 3000 pendant_gone && until_true 2000 sim_is estop_lines 1 &&
              until_true 2000 sim_is state Alarm && until_true 3000 exited_with 0'
fi
finish

if start_pendant --homing-ms 300 --homing-fails; then
    T send-keys -t pendant h y
    check "a failed homing cycle shows the library's error" \
        until_true 5000 screen_has "Korvane_Home failed: .*Homing failed"
fi
finish

# --- Stops that keep a still-held key from moving the machine again.
if start_pendant; then
    send_for 1500 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    sleep 0.2
    T send-keys -t pendant Space
    until_true 1000 sim_is hold_bytes 1
    lines_after_hold="$(sim_value jog_lines)"
    wait "$sender"
    check "after Space the still-held Right starts no jog" \
        eval 'until_true 2000 sim_is state Idle && x_at_rest && sim_is jog_lines "$lines_after_hold"'
    send_for 1000 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    T send-keys -t pendant e
    until_true 2000 sim_is state Alarm
    lines_after_estop="$(sim_value jog_lines)"
    wait "$sender"
    check "after e the still-held Right sends no jog line" \
        eval 'sleep 0.3 && sim_is jog_lines "$lines_after_estop" && sim_is state Alarm'
fi
finish

# --- Ways out in the middle of a jog: each stops the machine first.
for way in kill-pane sighup sigterm ctrl-c quit; do
    start_pendant || { check "pendant starts ($way)" false; finish; continue; }
    send_for 2500 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    sleep 0.3
    case "$way" in
        kill-pane) T kill-pane -t pendant ;; # the terminal closes under the pendant
        sighup) kill -HUP "$pendant_pid" ;; # as when an SSH session ends
        sigterm) kill -TERM "$pendant_pid" ;;
        ctrl-c) T send-keys -t pendant C-c ;;
        quit) T send-keys -t pendant q ;;
    esac
    check "$way during a jog: the simulator receives the jog cancel and the pendant ends" \
        eval 'until_true 3000 sim_at_least jog_cancel_bytes 1 && until_true 3000 pendant_gone &&
              sim_is jogs_since_cancel 0'
    wait "$sender" 2>/dev/null
    check "$way during a jog: the machine comes to rest" \
        eval 'until_true 2000 sim_is state Idle && x_at_rest'
    if [ "$way" != kill-pane ]; then
        check "$way: exit code 0 and the terminal restored" \
            eval 'until_true 3000 exited_with 0 && until_true 2000 terminal_restored'
    fi
    finish
done

# --- The controller goes silent in the middle of a jog.
if start_pendant; then
    send_for 2500 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    sleep 0.3
    kill -USR1 "$sim_pid"
    silenced_cancels="$(sim_value jog_cancel_bytes)"
    silenced_lines="$(sim_value jog_lines)"
    check "a silent controller: the error is on the message line" \
        until_true 3000 screen_has "Timeout waiting for response"
    check "a silent controller: jogging stops with a jog cancel" \
        eval 'until_true 3000 sim_at_least jog_cancel_bytes $((silenced_cancels + 1))'
    wait "$sender"
    check "a silent controller: the held key sends no further jog line" \
        sim_is jog_lines "$silenced_lines"
    kill -USR2 "$sim_pid"
    check "the controller answering again is shown" \
        until_true 3000 screen_has "the controller answers again"
fi
finish

# --- A terminal too small to draw in.
if start_pendant; then
    send_for 2000 Right &
    sender=$!
    until_true 2000 sim_is state Jog
    T resize-window -t pendant -x 40 -y 10
    check "a too small terminal shows a one-line notice" \
        eval 'until_true 2000 screen_has "terminal too small" &&
              [ "$(screen | grep -c .)" -eq 1 ]'
    check "shrinking the terminal stops the jog" \
        eval 'until_true 2000 sim_at_least jog_cancel_bytes 1 && until_true 2000 sim_is state Idle'
    lines_small="$(sim_value jog_lines)"
    wait "$sender"
    check "jog keys move nothing while the terminal is too small" \
        eval 'send_for 500 Left; sim_is jog_lines "$lines_small"'
    T resize-window -t pendant -x 100 -y 30
    check "the full screen comes back at a usable size" until_true 2000 screen_has "State     Idle"
fi
finish

check "without a terminal the pendant refuses to start (exit 2)" \
    eval '"$tool" pendant --port /dev/null </dev/null >/dev/null 2>&1; [ $? -eq 2 ]'

# In a sanitizer build a report goes to stderr, which the exit code does not always show.
check "no sanitizer report from the pendant or the simulator" \
    eval '! grep -E "ERROR: (Address|Leak)Sanitizer|runtime error:" "$work/stderr"'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
