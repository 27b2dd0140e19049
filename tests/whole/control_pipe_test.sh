# A supervisor talking to the real program over its named pipes, while the
# input signal is lost and comes back.
. "$TEST_SOURCE_DIR/lib.sh"
need_board

mkfifo "$scratch/in" "$scratch/out"
# The schedule starts with the board, before the program serves the pipe:
# its first step outlasts a slow start-up on a loaded machine.
virtual-board --signal "1080p59.94,8s:none,1s:1080i59.94" --pid-file "$scratch/pid" -- \
    ndi-encoder -p -p -p -I "$scratch/in" -O "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in"    # the program opens -I first, then -O
exec 4<"$scratch/out"

# The tracker publishes right after start; give it a moment.
for _ in $(seq 50); do
    reply=$(ask video_in)
    [ "$reply" != "video_in 0x0p0.00" ] && break
    sleep 0.1
done
check_eq "$reply" "video_in 1920x1080p59.94" "video_in"
check_eq "$(ask audio_in)" "audio_in 48000Hz Stereo" "audio_in"
check_eq "$(ask audio_out)" "audio_out on" "audio_out"
check_eq "$(ask 'tally on')" "tally on" "tally on"
check_eq "$(ask video_out)" "video_out" "video_out"
echo "no_such_command" >&3
wait_for_text "$scratch/stdout" "unknow_command" || fail "unknown word: not on standard output"
check_contains "$(cat "$scratch/stdout")" "Signal : 1920x1080p59 1" "signal line"

# The supervisor goes away: the program idles, then serves a new writer.
exec 3>&-
pid=$(program_pid "$scratch/pid")
[ -n "$pid" ] || fail "no ndi-encoder process found"
# The main thread only: the virtual cores run inside the process too.
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/task/$pid/stat"; }
before=$(ticks); sleep 1; after=$(ticks)
[ $((after - before)) -lt 10 ] || fail "busy after the writer left: $((after - before)) ticks in 1 s"
exec 3>"$scratch/in"

# Lost after 8 s, back after 9 s as 1080i (fields of 1920 x 540).
wait_for_text "$scratch/stdout" "Signal : 0x0p59 0" || fail "signal lost: not reported"
for _ in $(seq 100); do
    reply=$(ask video_in)
    [ "$reply" = "video_in 1920x1080i119.88" ] && break
    sleep 0.1
done
check_eq "$reply" "video_in 1920x1080i119.88" "interlaced input"
# Capture goes on: pictures are handed on again (a mark each).
marks_before=$(tr -cd '.' <"$scratch/stderr" | wc -c)
for _ in $(seq 100); do
    [ "$(tr -cd '.' <"$scratch/stderr" | wc -c)" -gt "$marks_before" ] && break
    sleep 0.1
done
[ "$(tr -cd '.' <"$scratch/stderr" | wc -c)" -gt "$marks_before" ] ||
    fail "capture did not restart after the signal came back"

# The program itself ends promptly (the launcher's clean-up aside); the
# bound shows that no thread waits without end, on a loaded machine too.
start=$(date +%s%N)
echo exit >&3
while kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
wait $board; status=$?
echo "exit took $elapsed_ms ms"
check_eq "$status" 0 "exit status"
[ "$elapsed_ms" -lt 2000 ] || fail "exit took $elapsed_ms ms"
finish
