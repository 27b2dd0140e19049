# Encoder cores that never answer, or report a slice longer than their
# share: the program logs it, drops those pictures, and "exit" still ends
# it within a second.
. "$TEST_SOURCE_DIR/lib.sh"
need_board

# A core that never finishes after its third start.
mkfifo "$scratch/in" "$scratch/reply"
virtual-board --signal 1080p59.94 --encoder-fault hang:1:3 -- ndi-encoder -I "$scratch/in" -O "$scratch/reply" \
    >"$scratch/out" 2>"$scratch/err" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/reply"
wait_for_text "$scratch/out" "do_command()" || fail "the command loop did not start"
pid=$(program_pid -I "$scratch/in" -O "$scratch/reply")
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
    virtual-board --signal 720p50 --encoder-fault overflow:2:2 --record "$scratch/rec.mkv" --seconds 4 -- \
        ndi-encoder -p >"$scratch/out2" 2>"$scratch/err2"
    check_eq "$?" 0 "overflow: status"
    coded=$(grep -o '+' "$scratch/err2" | wc -l)
    sent=$(sed -n 's/^  video SHQ2 1280x720: \([0-9]*\) pictures.*/\1/p' "$scratch/out2")
    echo "overflow: $coded pictures coded, $sent full pictures received"
    [ -n "$sent" ] && [ "$sent" -gt 0 ] || fail "no full picture sent"
    picture_check "$scratch/rec.mkv" moving >"$scratch/pictures" || fail "pictures: $(cat "$scratch/pictures")"
fi
finish
