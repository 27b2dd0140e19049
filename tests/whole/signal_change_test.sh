# The input signal lost and back, and changed without a loss, mid-stream:
# one board walks through the tracker's three geometries in every order
# (1080p to 720p, 720p to 1080i, 1080i to 1080p and back the other way) and
# through each of its eight rates (a sanitizer build: see below). After every change the status line shows
# the new signal, the stream resumes, and a short recording from the LAN
# holds that format, every picture of it right (the counter, the source,
# its timecode on the input's grid, each preview beside its full picture);
# "exit" ends the program with status 0.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

# Board signal, seconds it lasts, the status line's signal, the full
# stream's size and its pictures (fields) a second.
steps=(
    "1080p59.94 8 1920x1080p59.94 1920x1080 60000/1001"   # outlasts a slow start-up
    "none 1"
    "720p50 4 1280x720p50.00 1280x720 50"
    "none 1"
    "1080i59.94 4 1920x1080i119.88 1920x540 60000/1001"
    "none 1"
    "1080p25 4 1920x1080p25.00 1920x1080 25"
    "1080i50 4 1920x1080i100.00 1920x540 50"              # changed without a loss
    "none 1"
    "720p59.94 4 1280x720p59.94 1280x720 60000/1001"
    "none 1"
    "1080p30 4 1920x1080p30.00 1920x1080 30"
    "720p23.98 4 1280x720p23.98 1280x720 24000/1001"      # without a loss
    "none 1"
    "1080p24 4 1920x1080p24.00 1920x1080 24"
    "none 1"
    "720p29.97 4 1280x720p29.97 1280x720 30000/1001"
    "none 1"
    "1080p60 0 1920x1080p60.00 1920x1080 60"
)
# A sanitizer build codes slower: its steps last longer, and it walks only
# through the changes of geometry, after a loss and without one, in each
# direction; the rates it leaves out pace the same paths, and a slow build
# adds nothing to them.
stretch=$((REAL_TIME == 1 ? 1 : 2))
if [ "$REAL_TIME" = 0 ]; then
    # The first eight steps, then from 1080i to 720p without a loss.
    steps=("${steps[@]:0:8}" "720p23.98 0 1280x720p23.98 1280x720 24000/1001")
fi
schedule=""
for step in "${steps[@]}"; do
    read -r signal seconds _ <<<"$step"
    schedule+="$signal,$((seconds * stretch))s:"
done
schedule=${schedule%,0s:}

mkfifo "$scratch/in" "$scratch/out"
# A LAN receiver that records 1.2 s whenever the test asks (file record.N).
lan="n=1; while :; do while [ ! -e $scratch/record.\$n ]; do sleep 0.05; done
     ndi-monitor --connect 192.168.5.20 --wait 10 --record $scratch/rec.\$n.mkv --seconds 1.2 --quiet \
         >$scratch/monitor.\$n 2>&1; echo >$scratch/recorded.\$n; n=\$((n + 1)); done"
virtual-board --signal "$schedule" --lan "$lan" --core-log "$scratch/core.log" -- \
    ndi-encoder -I "$scratch/in" -O "$scratch/out" \
    >"$scratch/stdout" 2>"$scratch/stderr" &
board=$!
exec 3>"$scratch/in" 4<"$scratch/out"

wait_for_text "$scratch/stdout" "do_command()" || fail "the command loop did not start"
recording=0
declare -a recorded
for step in "${steps[@]}"; do
    read -r signal seconds shown size rate <<<"$step"
    [ "$signal" = none ] && continue
    seconds=$((seconds * stretch))
    # The program shows the new signal, then sends pictures again.
    seen=""
    for _ in $(seq $(((seconds + 10) * 10))); do
        line=$(status)
        if [ "$(value "$line" signal)" = "$shown" ]; then
            [ -z "$seen" ] && seen=$(value "$line" full_sent)
            [ "$(value "$line" full_sent)" -ge $((seen + 5)) ] && break
        fi
        sleep 0.1
    done
    if [ "$(value "$line" signal)" != "$shown" ] || [ "$(value "$line" full_sent)" -lt $((seen + 5)) ]; then
        fail "$signal: the stream did not resume: $line"
        continue
    fi
    recording=$((recording + 1))
    echo >"$scratch/record.$recording"
    wait_for_text "$scratch/recorded.$recording" "" || fail "$signal: no recording"
    recorded[recording]="$signal $size $rate"
done

echo exit >&3
wait $board
check_eq "$?" 0 "exit status"
exec 3>&- 4<&-

# Each recording (checked once the run is over, so that a slow check does
# not fall behind the schedule) holds one full stream, of its step's size.
for n in "${!recorded[@]}"; do
    read -r signal size rate <<<"${recorded[n]}"
    echo "$signal: recorded $(sed -n 's/^recorded [^:]*: //p' "$scratch/monitor.$n")"
    interlaced=()
    [ "${size#*x}" = 540 ] && interlaced=(--interlaced)
    pictures_a_second=$(awk -v r="$rate" 'BEGIN { split(r, f, "/"); print f[1] / (f[2] ? f[2] : 1) }')
    picture_check "$scratch/rec.$n.mkv" moving "${interlaced[@]}" --rate "$pictures_a_second" \
        --stalls "$scratch/core.log" "$pictures_a_second" >"$scratch/pictures"
    checked=$?
    sed 's/^/    /' "$scratch/pictures"
    [ "$checked" = 0 ] || fail "$signal: pictures: $(cat "$scratch/pictures")"
    check_eq "$(grep -o '^SHQ2 [0-9x]*' "$scratch/pictures" | tr '\n' ' ')" "SHQ2 $size " "$signal: the recorded full stream"
done

# The tracker saw every step, lost signals included, in the schedule's order.
walked=$(sed -n 's/^Signal : //p' "$scratch/stdout" | uniq | tr '\n' ' ')
expected_walk=""
for step in "${steps[@]}"; do
    read -r signal _ <<<"$step"
    case $signal in
        none) expected_walk+="0x0p59 0 " ;;
        *i*) expected_walk+="1920x540p$(sed 's/.*i//; s/\..*//' <<<"$signal") 1 " ;;
        720p*) expected_walk+="1280x720p${signal#720p} 1 " ;;
        *) expected_walk+="1920x1080p${signal#1080p} 1 " ;;
    esac
done
expected_walk=$(sed -E 's/p([0-9]+)\.[0-9]+/p\1/g' <<<"$expected_walk")
check_eq "$walked" "$expected_walk" "the signal lines"
finish
