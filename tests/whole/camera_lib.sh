# Helpers for the camera-control runs: a controller beside the appliance.
# As root it sits on the LAN at 192.168.5.7 and talks to camera 1 through
# UDP 52381; in an unprivileged user namespace (no LAN) it is a local process
# talking to camera 2 through 127.0.0.1:52385.
. "$TEST_SOURCE_DIR/lib.sh"

controller="python3 $TEST_SOURCE_DIR/visca_controller.py"
camera_check="python3 $TEST_SOURCE_DIR/camera_check.py"
if [ "$(id -u)" = 0 ]; then
    on_lan=1
    camera_address=81 reply_header=90 origin="A8 05 07"
    controller_to=(--to 192.168.5.20:52381)
    board_address=192.168.5.20
else
    on_lan=0
    camera_address=82 reply_header=A0 origin="00 00 01"
    controller_to=(--to 127.0.0.1:52385 --listen 52386)
    board_address=127.0.0.1
fi

# run_board [VIRTUAL-BOARD OPTIONS...] -- SHELL COMMAND
# Runs the appliance (no video, no audio) with SHELL COMMAND beside it: on
# the LAN as root, else inside the board once the loop socket is bound.
# When the command has ended, the appliance is stopped with SIGTERM.
# Standard output and error go to $scratch/out and $scratch/err; the status
# is the appliance's.
run_board() {
    local options=()
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    if [ "$on_lan" = 1 ]; then
        virtual-board "${options[@]}" --lan "$1" -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"
    else
        virtual-board "${options[@]}" -- sh -c "ndi-encoder -X -x </dev/null & pid=\$!
            until ss -Hlun 'sport = :52385' | grep -q . || ! kill -0 \$pid; do sleep 0.05; done
            $1
            kill -TERM \$pid; wait \$pid" >"$scratch/out" 2>"$scratch/err"
    fi
}

# A VISCA command for the controller's camera: command 04 07 00 (zoom stop)
# and 06 01 ... 03 03 (pan-tilt stop), both done at once.
zoom_stop="$camera_address 01 04 07 00 FF"
pan_tilt_stop="$camera_address 01 06 01 0C 0C 03 03 FF"

# The camera log's lines that are not well-formed tagged messages.
check_camera_log_well_formed() {
    local bad
    bad=$($camera_check malformed "$1")
    [ -z "$bad" ] || fail "$2: the camera got malformed messages: $(head -5 <<<"$bad")"
}

# The faults a dying program reports on standard error.
check_no_fault() {
    if grep -qiE "sanitizer|terminate|abort|segmentation" "$scratch/err"; then
        fail "$1: the program reported a fault: $(grep -iE 'sanitizer|terminate|abort|segmentation' "$scratch/err" | head -3)"
    fi
}
