# The golden transcripts (transcripts/*.txt): what third-party controllers
# send, replayed against the whole program on the virtual board with the
# virtual camera on its line, one board per file. Each exchange's serial
# lines and replies must be those of the transcript; an exchange marked as
# expected to fail is reported and does not fail the test. Without root (no
# LAN) only the local process's transcript runs.
. "$TEST_SOURCE_DIR/camera_lib.sh"
need_board

replay="python3 $TEST_SOURCE_DIR/transcript_replay.py"
log="$scratch/camera.log"
for transcript in "$TEST_SOURCE_DIR"/transcripts/*.txt; do
    name=$(basename "$transcript" .txt)
    out="$scratch/$name.replay"
    if grep -q '^to loop' "$transcript"; then
        virtual-board --camera-log "$log" -- sh -c "ndi-encoder -X -x </dev/null & pid=\$!
            until ss -Hlun 'sport = :52385' | grep -q . || ! kill -0 \$pid; do sleep 0.05; done
            $replay --board 127.0.0.1 --camera-log '$log' '$transcript' >'$out' 2>&1
            kill -TERM \$pid; wait \$pid" >"$scratch/out" 2>"$scratch/err"; status=$?
    elif [ "$on_lan" = 1 ]; then
        virtual-board --camera-log "$log" --lan "$replay --camera-log '$log' '$transcript' >'$out' 2>&1" \
            -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
    else
        echo "$name: skipped, needs the LAN (root)"
        continue
    fi
    cat "$out"
    check_eq "$status" 0 "$name: the program's status"
    check_contains "$(tail -1 "$out")" ", 0 failed" "$name: the replay"
    check_no_fault "$name"
done
finish
