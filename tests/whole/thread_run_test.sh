# The whole appliance under ThreadSanitizer (built only in such a build):
# video on two encoder cores, audio, camera control from NDI PTZ metadata
# and from a VISCA-over-IP controller, one receiver that stays and others
# that come and go, commands on the control pipe, then "exit". Any report
# fails the run (halt_on_error ends the program with status 66), and no
# report may be printed.
#
# The input is 720p25: a ThreadSanitizer build codes a few pictures a
# second, so most are dropped at the queue bounds whatever the rate; the
# low rate keeps the real-time pacing the program has on the board, where a
# fast clock would flood the audio path and leave video starved.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

seconds=${THREAD_RUN_SECONDS:-15}
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
mkfifo "$scratch/in" "$scratch/out"
steady="ndi-monitor --connect 192.168.5.20 --wait 60 --seconds $seconds --tally program --summary-format kv \
    --ptz '<qrn_ptz_zoom zoom=\"0.5\"/>' >$scratch/monitor 2>&1; echo >$scratch/gone; sleep 60"
coming_and_going="end=\$((\$(date +%s) + $seconds)); while [ \$(date +%s) -lt \$end ]; do
    ndi-monitor --connect 192.168.5.20 --wait 10 --seconds 0.7 --quiet --tally preview \
        --ptz '<qrn_ptz_pan_tilt_speed pan_speed=\"0.5\" tilt_speed=\"-0.25\"/>' >/dev/null 2>&1; done"
# Zoom stop and a zoom inquiry, over the bridge to the camera.
controller="python3 $TEST_SOURCE_DIR/visca_controller.py --to 192.168.5.20:52381 --count 40 --interval 0.2 \
    --wait 5 '81 01 04 07 00 FF' '81 09 04 47 FF' >$scratch/controller 2>&1"
virtual-board --signal 720p25 --encoders 2 --lan "$steady" --lan "$coming_and_going" --lan "$controller" -- \
    ndi-encoder -I "$scratch/in" -O "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/out"
# A program that a report has ended leaves the pipe without a reader: the
# test goes on to say so rather than die of the signal.
trap '' PIPE

wait_for_text "$scratch/stdout" "do_command()" || fail "the command loop did not start"
for _ in $(seq $(((seconds + 60) * 10))); do
    [ -e "$scratch/gone" ] && break
    kill -0 "$board" 2>/dev/null || break
    ask status 30 >/dev/null
    ask video_in 30 >/dev/null
    sleep 0.3
done
[ -e "$scratch/gone" ] || fail "the steady receiver did not end"
line=$(ask status 30)
echo "$line"
echo "monitor: $(grep '^summary' "$scratch/monitor")"
echo "controller: $(grep '^summary' "$scratch/controller")"
[ "$(value "$line" full_sent)" -gt 0 ] 2>/dev/null || fail "no full picture sent"
[ "$(value "$line" audio_sent)" -gt 0 ] 2>/dev/null || fail "no audio sent"
[ "$(value "$line" camera_commands)" -gt 0 ] 2>/dev/null || fail "no camera command written"
[ "$(value "$line" camera_replies)" -gt 0 ] 2>/dev/null || fail "no camera reply routed"

echo exit >&3 2>/dev/null
wait $board
check_eq "$?" 0 "exit status"
reports=$(grep -c "WARNING: ThreadSanitizer" "$scratch/stderr")
check_eq "$reports" 0 "ThreadSanitizer reports"
[ "$reports" = 0 ] || grep -A 30 "WARNING: ThreadSanitizer" "$scratch/stderr" | head -60 >&2
finish
