# Replies that come back together, and a camera line that picks up noise.
# Ten commands sent back to back get all twenty replies. With bursts of
# noise on the line while commands and metadata requests flow, every
# request reaches the camera whole, at least 95 % of the acknowledgements
# the camera wrote reach the controller, and the program keeps serving.
# As root the controller is on the LAN; without root it is a local process.
. "$TEST_SOURCE_DIR/camera_lib.sh"
need_board

log="$scratch/camera.log"
timing="$scratch/timing.log"
own="0F A0 A0 A0 05 05 05 05"

run_board --camera-log "$log" -- "$controller ${controller_to[*]} --count 10 --interval 0 --first 0x100 \
    '$zoom_stop' '$pan_tilt_stop'"; status=$?
check_eq "$status" 0 "back to back: status"
summary=$(grep '^summary' "$scratch/out")
echo "ten back to back: $summary"
check_eq "${summary% late*}" "summary sent 10 acks 10 completions 10" "back to back: all twenty replies"
check_eq "$(grep -c "^.. $origin " "$log")" 10 "back to back: the commands the camera got"

# Noise throughout; 100 commands 60 ms apart and six zoom positions from
# receivers, one after another, meanwhile.
zooms=""
for z in 1 2 3 4 5 6; do
    zooms+="ndi-monitor --connect $board_address --quiet --seconds 0.3 --ptz '<qrn_ptz_zoom zoom=\"0.$z\"/>' >/dev/null; "
done
run_board --camera-noise --camera-log "$log" --camera-timing "$timing" -- "( $zooms ) & zooms=\$!
    $controller ${controller_to[*]} --count 100 --interval 0.06 --first 0x200 --wait 3 '$zoom_stop' '$pan_tilt_stop'
    wait \$zooms"; status=$?
grep -h seed "$scratch/err"
check_eq "$status" 0 "noise: status"
check_no_fault "noise"
check_camera_log_well_formed "$log" "noise"
check_eq "$(grep "^.. $origin " "$log")" "$($camera_check commands 0x200 100 "$origin" "$zoom_stop" "$pan_tilt_stop")" \
    "noise: every command reached the camera whole"
check_eq "$(grep "^$own 82 01 04 47" "$log" | cut -d' ' -f13-16)" "00 06 06 06
00 0C 0C 0C
01 03 03 03
01 09 09 09
02 00 00 00
02 06 06 06" "noise: every zoom position reached the camera whole"
bursts=$(awk '$2 == "noise"' "$timing" | wc -l)
check_eq "$([ "$bursts" -ge 10 ] && echo yes)" yes "noise: bursts on the line while requests flowed ($bursts)"

# Of the acknowledgements the camera wrote, those that reached the controller.
written=$($camera_check acks "$timing" "$origin" "$reply_header" | sort -u)
received=$(awk '$1 == "command" && $4 != "-" { print $2 }' "$scratch/out" | sort -u)
total=$(grep -c . <<<"$written")
arrived=$(comm -12 <(echo "$written") <(echo "$received") | grep -c .)
echo "noise: $arrived of $total acknowledgements reached the controller; $bursts bursts"
check_eq "$([ "$total" -ge 95 ] && [ $((arrived * 100)) -ge $((total * 95)) ] && echo yes)" yes \
    "noise: at least 95 % of the acknowledgements arrived ($arrived of $total)"

finish
