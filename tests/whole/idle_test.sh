# A board with the output cores and without the input cores: the program
# finds nothing to capture and must sit idle (no thread may spin on the
# interrupts of cores that are not there) until "exit" ends it.
. "$TEST_SOURCE_DIR/lib.sh"
need_board

mkfifo "$scratch/in" "$scratch/reply"
virtual-board --no-input-cores --output-cores --pid-file "$scratch/pid" -- ndi-encoder -I "$scratch/in" -O "$scratch/reply" \
    >"$scratch/out" 2>"$scratch/err" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/reply"
pid=$(program_pid "$scratch/pid")
[ -n "$pid" ] || fail "no ndi-encoder process found"

wait_for_text "$scratch/out" "do_command()" || fail "the command loop did not start"
before=$(cpu_ns "$pid"); sleep 2; after=$(cpu_ns "$pid")
used_ms=$(( (after - before) / 1000000 ))
echo "used $used_ms ms of a processor in 2 s"
[ "$used_ms" -lt 20 ] || fail "busy on a board without input cores: $used_ms ms in 2 s (1 % is 20 ms)"

echo exit >&3
wait $board; status=$?
check_eq "$status" 0 "exit status"
check_contains "$(cat "$scratch/err")" "Did not find uio device ndi_enc!" "input cores absent"
finish
