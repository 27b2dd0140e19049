# Another host on the LAN floods UDP 52380 and 52381 with thousands of
# garbage datagrams while a well-behaved controller sends a command every
# half second: every command is acknowledged and completed, and the camera
# gets nothing but well-formed messages.
. "$TEST_SOURCE_DIR/camera_lib.sh"
need_root

log="$scratch/camera.log"
flood="python3 $TEST_SOURCE_DIR/lan_flood.py"
# Sequence numbers that wrap around, with 0xFF bytes in them.
virtual-board --camera-log "$log" \
    --lan "ip addr add 192.168.5.9/24 dev lan0 && $flood --from 192.168.5.9 --to 192.168.5.20 --count 3000 --seconds 5" \
    --lan "sleep 0.5; $controller --to 192.168.5.20:52381 --count 12 --interval 0.5 --first 0xFFFFFFFA \
        '$zoom_stop' '$pan_tilt_stop'" \
    -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
grep -h seed "$scratch/err"
check_eq "$status" 0 "flood: status"
check_no_fault "flood"
summary=$(grep '^summary' "$scratch/out")
echo "controller: $summary"
check_eq "${summary% late*}" "summary sent 12 acks 12 completions 12" "flood: every command acknowledged and completed"
grep '^command' "$scratch/out" | grep -- ' - ' | head -5 >&2
check_camera_log_well_formed "$log" "flood"
# The controller's commands, each once and whole, behind their tags.
check_eq "$(grep '^.. A8 05 07 ' "$log")" "$($camera_check commands 0xFFFFFFFA 12 "A8 05 07" "$zoom_stop" "$pan_tilt_stop")" \
    "flood: the controller's commands in the camera log"

finish
