# SIGTERM at random moments, with everything running: 1080p59.94 on four
# encoder cores, audio, one receiver that stays and others that come and go
# sending PTZ requests. Whatever the program is doing (making its objects,
# serving, a receiver joining), it ends with status 0 within two seconds.
# The moments are drawn from the time the hardware object is made: its
# constructor fills the reserved memory (128 MiB; seconds on a loaded
# machine) and cannot be cut short, so a stop waits for it.
. "$TEST_SOURCE_DIR/lib.sh"
need_root
seed=${TEST_SEED:-$RANDOM}
echo "seed $seed (TEST_SEED to repeat)"
RANDOM=$seed
runs=${STOP_RUNS:-6}

# The process has installed its SIGTERM handler (SigCgt holds signal 15)
# and is the program itself, not the shell before it.
handles_term() {
    local caught
    [ "$(cat /proc/"$1"/comm 2>/dev/null)" = ndi-encoder ] || return 1
    caught=$(awk '/^SigCgt:/ { print $2 }' /proc/"$1"/status 2>/dev/null)
    [ -n "$caught" ] && (( (16#$caught >> 14) & 1 ))
}

steady="ndi-monitor --connect 192.168.5.20 --wait 10 --seconds 60 --quiet --tally program"
coming_and_going="while :; do ndi-monitor --connect 192.168.5.20 --wait 10 --seconds 0.5 --quiet \
    --ptz '<qrn_ptz_zoom zoom=\"0.25\"/>' --ptz '<qrn_ptz_pan_tilt_speed pan_speed=\"0.5\" tilt_speed=\"0\"/>' \
    >/dev/null 2>&1; done"

for run in $(seq "$runs"); do
    delay_ms=$((run == 1 ? 0 : RANDOM % 3000))   # the first while the objects are made
    pidfile="$scratch/pid$run"
    virtual-board --signal 1080p59.94 --lan "$steady" --lan "$coming_and_going" --pid-file "$pidfile" -- \
        ndi-encoder -p -p </dev/null >"$scratch/out$run" 2>"$scratch/err$run" &
    board=$!
    wait_for_text "$pidfile" "" || fail "run $run: the program did not start"
    program=$(cat "$pidfile")
    for _ in $(seq 300); do handles_term "$program" && break; sleep 0.01; done
    handles_term "$program" || fail "run $run: the program never took SIGTERM in hand"
    wait_for_text "$scratch/err$run" "Platform:" || fail "run $run: the hardware was not made"
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -TERM "$program"
    start_ns=$(date +%s%N)
    # The program has ended once it is gone or a zombie that the board has
    # yet to reap; the board then removes its namespaces and the camera.
    program_ms=""
    for _ in $(seq 1000); do
        state=$(awk '{ print $3 }' /proc/"$program"/stat 2>/dev/null)
        if [ -z "$program_ms" ] && { [ -z "$state" ] || [ "$state" = Z ]; }; then
            program_ms=$((($(date +%s%N) - start_ns) / 1000000))
        fi
        kill -0 "$board" 2>/dev/null || break
        sleep 0.01
    done
    board_ms=$((($(date +%s%N) - start_ns) / 1000000))
    if kill -0 "$board" 2>/dev/null; then
        fail "run $run: SIGTERM ${delay_ms} ms after the hardware was made: the board still runs after $board_ms ms"
        kill -KILL "$program" 2>/dev/null
    fi
    wait "$board"
    status=$?
    echo "run $run: SIGTERM ${delay_ms} ms after the hardware was made: status $status," \
        "the program gone in ${program_ms:-?} ms, the board in $board_ms ms"
    check_eq "$status" 0 "run $run: exit status"
    [ -n "$program_ms" ] && [ "$program_ms" -le 2000 ] || fail "run $run: the program took ${program_ms:-over 10 s} ms"
done
finish
