# Encoder cores that stop answering, or report a slice longer than their
# share: the program logs it, drops those pictures, resets cores that do
# not answer and goes on, and "exit" still ends it within a second.
. "$TEST_SOURCE_DIR/lib.sh"
need_board

# A core that never finishes every third start.
mkfifo "$scratch/in" "$scratch/reply"
virtual-board --signal 1080p59.94 --encoder-fault hang:1:3 --pid-file "$scratch/pid" -- ndi-encoder -I "$scratch/in" -O "$scratch/reply" \
    >"$scratch/out" 2>"$scratch/err" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/reply"
wait_for_text "$scratch/out" "do_command()" || fail "the command loop did not start"
pid=$(program_pid "$scratch/pid")
wait_for_text "$scratch/err" "the encoder cores do not answer!" || fail "no word of the silent cores"
# The program itself ends promptly (the launcher's clean-up aside): no
# thread waits for the silent core without end. The bound is loose enough
# for a loaded machine.
start=$(date +%s%N)
echo exit >&3
while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
wait $board
check_eq "$?" 0 "exit status"
echo "exit took $elapsed_ms ms with a silent core"
[ "$REAL_TIME" = 0 ] || [ "$elapsed_ms" -lt 2000 ] || fail "exit took $elapsed_ms ms"
exec 3>&- 4<&-

# A slice longer than its share on every other start: those pictures are
# dropped, the others still go out.
if [ "$(id -u)" = 0 ]; then
    virtual-board --signal 720p50 --encoder-fault overflow:2:2 --record "$scratch/rec.mkv" --seconds 4 \
        --core-log "$scratch/core.log" -- ndi-encoder -p >"$scratch/out2" 2>"$scratch/err2"
    check_eq "$?" 0 "overflow: status"
    coded=$(grep -o '+' "$scratch/err2" | wc -l)
    sent=$(sed -n 's/^  video SHQ2 1280x720: \([0-9]*\) pictures.*/\1/p' "$scratch/out2")
    echo "overflow: $coded pictures coded, $sent full pictures received"
    [ -n "$sent" ] && [ "$sent" -gt 0 ] || fail "no full picture sent"
    picture_check "$scratch/rec.mkv" moving --stalls "$scratch/core.log" 50 >"$scratch/pictures" ||
        fail "pictures: $(cat "$scratch/pictures")"

    # Core 0 hangs on every 600th start, every seven seconds or so at
    # 1080p59.94: each hang costs a moment, not the stream. Recorded for 25 s
    # from the LAN, then "exit" on the control pipe.
    seconds=25
    mkfifo "$scratch/in3" "$scratch/reply3"
    virtual-board --signal 1080p59.94 --encoder-fault hang:0:600 --send-log "$scratch/sends" \
        --lan "ndi-monitor --connect 192.168.5.20 --wait 30 --record $scratch/hang.mkv --seconds $seconds \
               >$scratch/monitor3 2>&1; touch $scratch/recorded; sleep 600" \
        -- ndi-encoder -I "$scratch/in3" -O "$scratch/reply3" >"$scratch/out3" 2>"$scratch/err3" &
    board=$!
    exec 3>"$scratch/in3" 4<"$scratch/reply3"
    wait_for_text "$scratch/out3" "do_command()" || fail "hang: the command loop did not start"
    for _ in $(seq $((seconds * 10 + 300))); do
        [ -e "$scratch/recorded" ] && break
        sleep 0.1
    done
    echo exit >&3
    wait $board
    check_eq "$?" 0 "hang: exit status"
    exec 3>&- 4<&-
    resets=$(grep -c "the encoder cores do not answer! Picture dropped, cores reset." "$scratch/err3")
    connected=$(sed -n 's/.*received in \([0-9.]*\) s:$/\1/p' "$scratch/monitor3")
    received=$(sed -n 's/^  video SHQ2 1920x1080: \([0-9]*\) pictures.*/\1/p' "$scratch/monitor3")
    # What the hangs cost, from the capture timecodes (100 ns units) of the
    # full pictures sent: each hang leaves one gap (the picture the cores
    # did not answer, and those dropped at the queue bound behind it until
    # the reset), so the pictures missing in the longest gaps, one for each
    # reset, are theirs. Pictures a loaded machine drops at the queue bounds
    # at other moments are not; the longest gap bounds any of them.
    period=$((10010000 / 60))
    gaps=$(awk '$2 == "SHQ2" { if (n++) print $3 - last; last = $3 }' "$scratch/sends" | sort -n -r)
    longest_gap_ms=$(( $(head -1 <<<"${gaps:-0}") / 10000 ))
    hang_cost=$(head -n "$resets" <<<"$gaps" | awk -v p=$period '{ cost += int($1 / p + 0.5) - 1 } END { print cost + 0 }')
    input_pictures=$(awk -v p=$period '$2 == "SHQ2" { if (!n++) first = $3; last = $3 }
        END { print n ? int((last - first) / p + 1.5) : 0 }' "$scratch/sends")
    echo "hang: $resets resets; $received full pictures received in $connected s; longest gap $longest_gap_ms ms;" \
        "the hangs cost $hang_cost of the $input_pictures input pictures the run spans"
    [ "$resets" -ge 1 ] || fail "hang: no reset of the silent cores"
    [ -n "$received" ] && [ "$received" -gt 0 ] || fail "hang: no full picture received"
    if [ "$REAL_TIME" = 1 ]; then
        # Each hang costs a moment, and all of them at most a fifth of the
        # input's pictures.
        [ "$longest_gap_ms" -lt 1000 ] || fail "hang: no full picture for $longest_gap_ms ms"
        [ "$input_pictures" -gt 0 ] && [ $((hang_cost * 5)) -le "$input_pictures" ] ||
            fail "hang: the hangs cost $hang_cost of $input_pictures input pictures, over a fifth"
    fi
fi
finish
