#!/usr/bin/env bash
# The daemon as the program's supervisor, on one board: killed, it leaves
# the program streaming (its replies are dropped, never waited for) and,
# started again, it finds the program at once; the program killed, the page
# says it is gone, and a program started again is found on the same pipes.
source "$TEST_SOURCE_DIR/../whole/lib.sh"
need_board

run="$scratch/run"
board_script=$(cat <<'TEXT'
set -u
run=$0
status() { curl -s --max-time 2 http://127.0.0.1/api/status; }
# Bounded: 300 looks, 0.1 s apart.
wait_for() {
    for _ in $(seq 300); do status | grep -q "$1" && return 0; sleep 0.1; done
    echo "no [$1] in: $(status | head -c 300)"; return 1
}
sent() { status | sed -n 's/.*"full_sent":"\([0-9]*\)".*/\1/p'; }
web() { ndi-encoder-web --options /dev/null --command-pipe "$run/in" --reply-pipe "$run/out" --port 80 >/dev/null & }
mkdir -p "$run"
web; web_pid=$!
ndi-encoder -x -I "$run/in" -O "$run/out" </dev/null >"$run/program.out" 2>&1 & program=$!
wait_for '"program":"answering"' && wait_for '"full_fps":[1-9]' && echo "answering"
before=$(sent)
kill -TERM "$web_pid"; wait "$web_pid"; echo "daemon ended with $?"
web; web_pid=$!
wait_for '"program":"answering"' && echo "answering again"
wait_for '"full_sent":"[0-9]' >/dev/null
after=$(sent)
[ "${after:-0}" -gt "${before:-0}" ] && echo "pictures went on: $before then $after"
kill -0 "$program" && echo "the program lives"
kill -TERM "$program"; wait "$program"; echo "program ended with $?"
wait_for '"program":"gone"' && echo "gone"
ndi-encoder -x -I "$run/in" -O "$run/out" </dev/null >>"$run/program.out" 2>&1 & program=$!
wait_for '"program":"answering"' && echo "answering the new program"
kill -TERM "$program" "$web_pid"; wait "$program"; echo "program ended with $?"
wait "$web_pid"; echo "daemon ended with $?"
TEXT
)
virtual-board -- sh -c "$board_script" "$run" >"$scratch/out" 2>"$scratch/err"
out=$(cat "$scratch/out")
echo "$out"
check_contains "$out" "answering" "the daemon finds the program"
check_contains "$out" "answering again" "a daemon started again finds the program"
check_contains "$out" "pictures went on" "the program streams while the daemon is away"
check_contains "$out" "the program lives" "the program outlives its supervisor"
check_contains "$out" "gone" "the page says the program has gone"
check_contains "$out" "answering the new program" "a program started again is found"
[ "$(grep -c "ended with 0" <<<"$out")" = 4 ] || fail "SIGTERM ends the program and the daemon cleanly"
finish
