# SIGTERM at random moments, with everything running: 1080p59.94 on four
# encoder cores, audio, one receiver that stays and others that come and go
# sending PTZ requests. Whatever the program is doing (making its objects,
# serving, a receiver joining), it ends with status 0 within two seconds.
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
    delay_ms=$((RANDOM % 3000))
    pidfile="$scratch/pid$run"
    virtual-board --signal 1080p59.94 --lan "$steady" --lan "$coming_and_going" -- \
        sh -c 'echo $$ >"$0"; exec ndi-encoder' "$pidfile" </dev/null >"$scratch/out$run" 2>"$scratch/err$run" &
    board=$!
    wait_for_text "$pidfile" "" || fail "run $run: the program did not start"
    program=$(cat "$pidfile")
    for _ in $(seq 300); do handles_term "$program" && break; sleep 0.01; done
    handles_term "$program" || fail "run $run: the program never took SIGTERM in hand"
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -TERM "$program"
    start_ns=$(date +%s%N)
    ended=0
    for _ in $(seq 200); do
        kill -0 "$board" 2>/dev/null || { ended=1; break; }
        sleep 0.01
    done
    elapsed_ms=$((($(date +%s%N) - start_ns) / 1000000))
    if [ "$ended" = 0 ]; then
        fail "run $run: SIGTERM ${delay_ms} ms after start-up: still running after $elapsed_ms ms"
        kill -KILL "$program" 2>/dev/null
    fi
    wait "$board"
    status=$?
    echo "run $run: SIGTERM ${delay_ms} ms after the handler was in place: status $status in $elapsed_ms ms"
    check_eq "$status" 0 "run $run: exit status"
    [ "$ended" = 1 ] && [ "$elapsed_ms" -le 2000 ] || fail "run $run: took $elapsed_ms ms"
done
finish
