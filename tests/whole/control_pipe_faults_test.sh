# A supervisor that does everything wrong, on the real program's pipes: it
# closes and reopens its end, writes random bytes and over-long lines, and
# stops reading replies. The program answers on, drops and counts the
# replies it cannot write, and still ends at once on "exit" or SIGTERM.
# "status" answers in pipe and in console mode.
. "$TEST_SOURCE_DIR/lib.sh"
need_board
seed=${TEST_SEED:-$RANDOM}
echo "seed $seed (TEST_SEED to repeat)"

# start NAME: the board with the program on fresh pipes in the background;
# sets board (virtual-board's pid) and program (the program's own, which
# it writes itself before it becomes the program).
start() {
    local name=$1
    mkfifo "$scratch/$name.in" "$scratch/$name.out"
    virtual-board --signal 1080p59.94 -- sh -c 'echo $$ >"$0"; exec ndi-encoder -I "$1" -O "$2"' \
        "$scratch/$name.pid" "$scratch/$name.in" "$scratch/$name.out" \
        >"$scratch/$name.stdout" 2>"$scratch/$name.stderr" &
    board=$!
    wait_for_text "$scratch/$name.pid" "" || fail "$name: the program did not start"
    program=$(cat "$scratch/$name.pid")
}

# ends_within NAME SECONDS: the board ends with status 0 within SECONDS of
# now; if not, the program and the board are ended (they are ours).
ends_within() {
    local name=$1 limit_ms=$(($2 * 1000)) start_ns
    start_ns=$(date +%s%N)
    while kill -0 "$board" 2>/dev/null; do
        if [ $((($(date +%s%N) - start_ns) / 1000000)) -gt "$limit_ms" ]; then
            fail "$name: still running $2 s later"
            kill -KILL "$program" 2>/dev/null
            break
        fi
        sleep 0.05
    done
    wait "$board"
    local status=$?
    echo "$name: ended in $((($(date +%s%N) - start_ns) / 1000000)) ms with status $status"
    check_eq "$status" 0 "$name: exit status"
}

supervise() {   # supervise NAME STEP...: runs the supervisor in the background (pid in supervisor)
    local name=$1
    shift
    python3 "$TEST_SOURCE_DIR/pipe_supervisor.py" "$scratch/$name.in" "$scratch/$name.out" "$@" \
        >"$scratch/$name.talk" 2>&1 &
    supervisor=$!
}

held() {   # held NAME: waits until the supervisor holds the pipes after its steps
    for _ in $(seq 900); do
        grep -q "holding" "$scratch/$1.talk" 2>/dev/null && return
        kill -0 "$supervisor" 2>/dev/null || break
        sleep 0.1
    done
    fail "$1: supervisor: $(cat "$scratch/$1.talk")"
}
release() {   # release NAME: ends the supervisor (ours) and shows what it saw
    kill "$supervisor" 2>/dev/null
    wait "$supervisor" 2>/dev/null
    cat "$scratch/$1.talk"
}

# 1. Every fault in turn; then a flood of unread replies, and "exit".
start faults
supervise faults signal 1920x1080p59.94 reopen 20 random "$seed" long \
    status signal=1920x1080p59.94 replies_dropped=0 receivers=0 tally=off \
    flood 50 drain status 'replies_dropped>49' flood 50 exit hold
held faults
ends_within "exit behind a full reply pipe" 2
release faults
check_contains "$(cat "$scratch/faults.stdout")" "unknow_command" "random bytes are unknown commands"

# 2. SIGTERM while the reply pipe is full.
start term
supervise term signal 1920x1080p59.94 flood 50 hold
held term
kill -TERM "$program"
ends_within "SIGTERM behind a full reply pipe" 2
release term

# 3. Console mode: the same line on standard output.
out=$( (echo status; sleep 1; echo status; echo exit) | virtual-board -- ndi-encoder -x 2>/dev/null)
check_contains "$out" "status signal=" "status in console mode"
check_contains "$out" " receivers=0 tally=off camera_commands=0 camera_replies=0 camera_refused=0 replies_dropped=0" "status in console mode"
out=$(printf 'status\nexit\n' | virtual-board -- ndi-encoder -X -x 2>/dev/null)
# Without the media paths the keys stay, with zeros.
check_contains "$out" "status signal=off full_captured=0 full_sent=0 full_dropped=0 full_q=- full_mbps=0.0 " "status without video"
check_contains "$out" " audio_sent=0 audio_dropped=0 receivers=0 tally=off" "status without video"
finish
