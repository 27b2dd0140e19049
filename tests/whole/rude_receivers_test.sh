# Receivers that misbehave while video flows: one stops reading in the
# middle of a picture and holds its connection, another connects, reads a
# little and goes (half the time with a reset) over and over. A well-behaved
# ndi-monitor beside them still gets every picture the program sent while it
# was connected: the runtime reports no drop to it, and the status line's
# counters, taken before it connected and after it went, cover what it got.
# Once they have all gone, the status line counts no receiver.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

seconds=10
mkfifo "$scratch/in" "$scratch/out"
rude="python3 $TEST_SOURCE_DIR/rude_receiver.py"
stall="$rude stall 192.168.5.20:5960 $((seconds + 6)) >$scratch/stall 2>&1"
churn="$rude churn 192.168.5.20:5960 $((seconds + 6)) ${TEST_SEED:+--seed $TEST_SEED} >$scratch/churn 2>&1"
# The monitor connects only once the "before" mark is taken.
monitor="echo >$scratch/connecting; while [ ! -e $scratch/go ]; do sleep 0.05; done
    ndi-monitor --connect 192.168.5.20 --seconds $seconds --summary-format kv >$scratch/monitor 2>&1
    echo >$scratch/gone; sleep 30"
virtual-board --signal 1080p59.94 --lan "$stall" --lan "$churn" --lan "$monitor" -- \
    ndi-encoder -I "$scratch/in" -O "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/out"

wait_for_text "$scratch/connecting" "" || fail "the LAN commands did not start"
wait_for_text "$scratch/stall" "stalled after" || fail "the stalled receiver did not connect"
before=$(status)
echo >"$scratch/go"
for _ in $(seq $(((seconds + 20) * 10))); do [ -e "$scratch/gone" ] && break; sleep 0.1; done
[ -e "$scratch/gone" ] || fail "the monitor did not end"
after=$(status)
echo "before: $before"
echo "after:  $after"
echo "stalled receiver: $(cat "$scratch/stall")"
summary=$(grep '^summary ' "$scratch/monitor")
echo "monitor: $summary"

received=$(value "$summary" SHQ2.pictures)
sent=$(($(value "$after" full_sent) - $(value "$before" full_sent)))
echo "full pictures: $sent sent between the marks, $received received"
check_eq "$(value "$summary" dropped)" 0 "pictures the runtime dropped for the well-behaved monitor"
# What it missed lies between a mark and its connection: at most a second.
[ -n "$received" ] && [ "$sent" -ge "$received" ] && [ $((sent - received)) -le 60 ] ||
    fail "$sent full pictures sent, ${received:-none} received"
preview_received=$(value "$summary" shq2.pictures)
preview_sent=$(($(value "$after" preview_sent) - $(value "$before" preview_sent)))
[ -n "$preview_received" ] && [ "$preview_sent" -ge "$preview_received" ] &&
    [ $((preview_sent - preview_received)) -le 30 ] ||
    fail "$preview_sent previews sent, ${preview_received:-none} received"
# A stalled receiver must not hold up the stream: a send thread waiting on
# it would leave the monitor's seconds empty from then on. (How many
# pictures a second come is the machine's load's, not the receivers'.)
empty=$(grep '^interval ' "$scratch/monitor" | grep -cv ' SHQ2.pictures=[1-9]')
intervals=$(grep -c '^interval ' "$scratch/monitor")
echo "the monitor's seconds: $intervals, $empty of them without a full picture"
[ "$intervals" -ge $((seconds - 1)) ] && [ "$empty" = 0 ] ||
    fail "$empty of the monitor's $intervals seconds without a full picture beside a stalled receiver"

# The rude ones end a few seconds after the monitor; then nobody is left.
wait_for_text "$scratch/churn" "times" || fail "the churning receiver did not end"
echo "churning receiver: $(tr '\n' ' ' <"$scratch/churn")"
grep -q "connected [1-9][0-9]* times" "$scratch/churn" || fail "the churning receiver never connected"
for _ in $(seq 200); do
    [ "$(value "$(status)" receivers)" = 0 ] && break
    sleep 0.1
done
check_eq "$(value "$(status)" receivers)" 0 "receivers once all have gone"

echo exit >&3
wait $board
check_eq "$?" 0 "exit status"
finish
