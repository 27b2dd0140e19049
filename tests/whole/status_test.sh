# "status" against what a receiver on the LAN got: over a 10-second
# connection of ndi-monitor, the pictures and blocks the status line counts
# as sent grow by what the monitor received (and at most a second's more,
# for the moments between the marks and the connection), the receiver and
# its tally are seen while it is connected, and gone after.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

mkfifo "$scratch/in" "$scratch/out"
lan="echo >$scratch/connecting; ndi-monitor --connect 192.168.5.20 --seconds 10 --tally program --quiet \
    >$scratch/monitor 2>&1; echo >$scratch/gone; sleep 30"
virtual-board --signal 1080p59.94 --lan "$lan" -- ndi-encoder -I "$scratch/in" -O "$scratch/out" \
    >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/out"

status() {   # the status line, without its first word
    echo status >&3
    local line=""
    IFS= read -r -t 5 line <&4
    printf '%s' "${line#status }"
}
value() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

wait_for_text "$scratch/connecting" "" || fail "the LAN command did not start"
before=$(status)
sleep 5
during=$(status)
for _ in $(seq 200); do [ -e "$scratch/gone" ] && break; sleep 0.1; done
[ -e "$scratch/gone" ] || fail "the monitor did not end"
after=$(status)
sleep 1
afterwards=$(status)
echo "before:     $before"
echo "during:     $during"
echo "after:      $after"
echo "afterwards: $afterwards"
sed -n '/received in/,$p' "$scratch/monitor"

check_eq "$(value "$during" receivers)" 1 "receivers while the monitor is connected"
check_eq "$(value "$during" tally)" program "tally while the monitor is connected"
check_eq "$(value "$afterwards" receivers)" 0 "receivers once it has gone"
check_eq "$(value "$afterwards" tally)" off "tally once it has gone"
check_eq "$(value "$during" signal)" 1920x1080p59.94 "signal"

echo exit >&3
wait $board
check_eq "$?" 0 "exit status"
finish
