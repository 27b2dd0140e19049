# "status" against what a receiver on the LAN got: over a 10-second
# connection of ndi-monitor, the pictures and blocks the status line counts
# as sent grow by what the monitor received (and at most a second's more,
# for the moments between the marks and the connection), the receiver and
# its tally are seen while it is connected, and gone after.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

mkfifo "$scratch/in" "$scratch/out"
# The monitor connects only once the "before" mark is taken, so that
# nothing it receives was counted ahead of that mark.
lan="echo >$scratch/connecting; while [ ! -e $scratch/go ]; do sleep 0.05; done; ndi-monitor --connect 192.168.5.20 --seconds 10 --tally program --quiet \
    >$scratch/monitor 2>&1; echo >$scratch/gone; sleep 30"
virtual-board --signal 1080p59.94 --lan "$lan" -- ndi-encoder -I "$scratch/in" -O "$scratch/out" \
    >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/out"

wait_for_text "$scratch/connecting" "" || fail "the LAN command did not start"
before=$(status)
echo >"$scratch/go"
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
check_eq "$(value "$during" encoder_resets)" 0 "encoder resets"

# What the monitor received lies within what the status line counted as
# sent between the marks around its connection; what it missed (the
# runtime's drops for a slow receiver, the moments between a mark and the
# connection) is at most two seconds' worth.
monitor_count() { sed -n "s/^  $1.*: \([0-9]*\) $2,.*/\1/p" "$scratch/monitor"; }
grown() { echo $(( $(value "$after" "$1") - $(value "$before" "$1") )); }
monitor_dropped=$(sed -n 's/^  dropped \([0-9]*\),.*/\1/p' "$scratch/monitor")
compare() {   # compare WHAT KEY RECEIVED SLACK
    local sent
    sent=$(grown "$2")
    echo "$1: the status line counted $sent sent while the monitor was there; it received $3"
    [ -n "$3" ] && [ "$sent" -ge "$3" ] && [ $((sent - $3 - ${monitor_dropped:-0})) -le "$4" ] ||
        fail "$1: $sent sent, $3 received (dropped ${monitor_dropped:-?})"
}
compare "full pictures" full_sent "$(monitor_count "video SHQ2" pictures)" 120
compare "preview pictures" preview_sent "$(monitor_count "video shq2" pictures)" 60
compare "audio blocks" audio_sent "$(monitor_count audio blocks)" 125

# Every picture captured is sent, dropped, or on its way (a few in the queues).
for stream in full preview; do
    in_flight=$(( $(value "$during" ${stream}_captured) - $(value "$during" ${stream}_sent) -
                  $(value "$during" ${stream}_dropped) ))
    [ "$in_flight" -ge 0 ] && [ "$in_flight" -le 16 ] || fail "$stream: $in_flight pictures unaccounted for"
done
q=$(value "$during" full_q)
[ "$q" -ge 0 ] && [ "$q" -le 99 ] || fail "full_q $q"
awk -v r="$(value "$during" full_mbps)" 'BEGIN { exit !(r > 0) }' || fail "full_mbps $(value "$during" full_mbps)"

echo exit >&3
wait $board
check_eq "$?" 0 "exit status"
finish
