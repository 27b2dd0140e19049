# One-push white balance from a receiver, a zoom from a controller (a local
# process on 127.0.0.1:52385), one-push again: a zoom cannot change the
# white-balance mode, so the second press triggers a measurement instead of
# selecting the mode again. Then the controller's own white balance: the
# next press selects one-push again. Everything sits on the board, so this
# runs without root too.
. "$TEST_SOURCE_DIR/camera_lib.sh"
need_board

peer="python3 $TEST_SOURCE_DIR/udp_peer.py"
log="$scratch/camera.log"
one_push="ndi-monitor --connect 127.0.0.1 --quiet --seconds 0.5 --ptz '<qrn_ptz_white_balance mode=\"one_shot\"/>'"
# Waits, at most 10 s, until the camera has seen N lines.
seen() { echo "for _ in \$(seq 100); do [ \$(wc -l <'$log') -ge $1 ] && break; sleep 0.1; done"; }

virtual-board --camera-log "$log" -- sh -c "ndi-encoder -X -x </dev/null & pid=\$!
    until { ss -Hltn 'sport = :5960' | grep -q . && ss -Hlun 'sport = :52385' | grep -q .; } || ! kill -0 \$pid; do
        sleep 0.05; done
    $one_push; $(seen 1)
    $peer --to 127.0.0.1:52385 --listen 52386 '01 00 00 06 00 00 00 07 82 01 04 07 27 FF'; $(seen 2)
    $one_push; $(seen 3)
    $peer --to 127.0.0.1:52385 --listen 52386 '01 00 00 06 00 00 00 08 82 01 04 35 00 FF'; $(seen 4)
    $one_push; $(seen 5)
    kill -TERM \$pid; wait \$pid" >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "status after SIGTERM"
check_no_fault "one-push"
own="0F A0 A0 A0 05 05 05 05"
check_eq "$(cat "$log" 2>/dev/null)" "$own 82 01 04 35 03 FF
00 00 00 01 00 00 00 07 82 01 04 07 27 FF
$own 82 01 04 10 05 FF
00 00 00 01 00 00 00 08 82 01 04 35 00 FF
$own 82 01 04 35 03 FF" "what the camera got"

finish
