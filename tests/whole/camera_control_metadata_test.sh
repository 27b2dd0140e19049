# Metadata documents no receiver should send: one nested 20,000 elements
# deep (60 KiB) and one of 60 KiB, then a normal zoom request, which still
# reaches the camera; with the system's stacks and with 1 MiB ones. The
# receiver sits beside the appliance on the board, so this runs without
# root too.
. "$TEST_SOURCE_DIR/camera_lib.sh"
need_board

log="$scratch/camera.log"
python3 -c 'print("<a>" * 20000, end="")' >"$scratch/deep.xml"
python3 -c 'print("<qrn_ptz_flip enabled=\"true\" note=\"" + "x" * 61400 + "\"/>", end="")' >"$scratch/long.xml"
own="0F A0 A0 A0 05 05 05 05"

for stack in "" "ulimit -s 1024;"; do
    rm -f "$log"
    virtual-board --camera-log "$log" -- sh -c "($stack exec ndi-encoder -X -x) </dev/null & pid=\$!
        until ss -Hltn 'sport = :5960' | grep -q . || ! kill -0 \$pid; do sleep 0.05; done
        ndi-monitor --connect 127.0.0.1 --quiet --seconds 1.5 --ptz \"\$(cat $scratch/deep.xml)\" \
            --ptz \"\$(cat $scratch/long.xml)\" --ptz '<qrn_ptz_zoom zoom=\"0.5\"/>'
        kill -TERM \$pid; wait \$pid" >"$scratch/out" 2>"$scratch/err"; status=$?
    what="stack ${stack:-as the system gives}"
    check_eq "$status" 0 "$what: status after SIGTERM"
    check_no_fault "$what"
    # Neither document is a request (a flip in 60 KiB is no real one); the zoom
    # that follows is.
    check_eq "$(cat "$log" 2>/dev/null)" "$own 82 01 04 47 02 00 00 00 FF" "$what: the camera got the zoom alone"
done

finish
