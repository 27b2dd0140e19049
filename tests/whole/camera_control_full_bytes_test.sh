# A camera whose answers carry data bytes across the whole range (model and
# firmware numbers, block inquiries, bytes that read like headers and tags),
# on the board's serial line in place of the virtual camera: every answer
# to a controller's command or inquiry reaches it whole, behind its own
# sequence number, and the appliance sends nothing to any other address.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

stand_in="python3 $TEST_SOURCE_DIR/full_bytes_camera.py"
root="$scratch/root"
mkdir -p "$root/dev"
seed=${SEED:-$RANDOM}
echo "seed $seed"
$stand_in camera --link "$root/dev/ttyS1" --log "$scratch/camera.log" --seed "$seed" &
camera=$!
for _ in $(seq 100); do
    [ -L "$root/dev/ttyS1" ] && break
    sleep 0.05
done
[ -L "$root/dev/ttyS1" ] || { fail "the stand-in camera did not start"; finish; }

virtual-board --root "$root" --no-camera --lan "$stand_in controller --to 192.168.5.20 --count 200 \
    --log $scratch/controller.log --device-mac 02:00:c0:a8:05:14" -- ndi-encoder -X -x \
    >"$scratch/out" 2>"$scratch/err"
status=$?
kill "$camera"
wait "$camera" 2>/dev/null
check_eq "$status" 0 "status"
check_eq "$(grep -c "^sent" "$scratch/controller.log")" 200 "the controller sent every command (it stops after 10 unanswered)"
check_eq "$($stand_in check "$scratch/camera.log" "$scratch/controller.log" "A8 05 07")" "" \
    "every answer whole, behind its own sequence number, and nothing elsewhere (seed $seed)"
finish
