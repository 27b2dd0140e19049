# The appliance's video, recorded by ndi-monitor from the virtual LAN:
#   video_recording_test.sh SIGNAL ENCODERS PATTERN
# Two SpeedHQ tracks (full and preview) beside the audio, every picture
# decoded by FFmpeg and compared with the board's input, each preview with
# its full picture (picture_check, which tells a host stall between a pair's
# two arms from a fault by the board's core log); nothing but drop marks on
# standard error, no stall, and with real time the timecodes on the input's
# grid and each full picture at its share of the NDI runtime's target. A loaded
# machine may drop pictures in the queues; how fast the appliance is on an
# idle one is for the benchmarks to say.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

signal=$1 encoders=$2 pattern=$3
seconds=8
target_mbps=140   # the runtime's default target for a 4:2:2 1080p60 full stream

virtual-board --signal "$signal" --encoders "$encoders" --pattern "$pattern" --record "$scratch/rec.mkv" \
    --seconds $seconds --core-log "$scratch/core.log" -- ndi-encoder >"$scratch/out" 2>"$scratch/err"
check_eq "$?" 0 "appliance status after SIGTERM"

case "$signal" in
    1080p*) full=1920x1080 preview=640x360 ;;
    1080i*) full=1920x540 preview=640x180 interlaced=--interlaced ;;
    720p*) full=1280x720 preview=640x360 ;;
esac
tracks=$(ffprobe -v error -show_entries stream=codec_name,codec_tag_string,width,height:stream_tags=title \
    -of csv=p=0 "$scratch/rec.mkv" | sort)
check_eq "$tracks" "$(printf '%s\n' "pcm_s32le,[0][0][0][0]" "speedhq,SHQ2,${full%x*},${full#*x},SHQ2" \
    "speedhq,SHQ2,${preview%x*},${preview#*x},shq2" | sort)" "tracks"

case "$signal" in
    *59.94) rate=59.94 ;;
    *) rate=$(sed 's/^[0-9]*[pi]//' <<<"$signal") ;;
esac
# With real time the timecodes are capture times, on the input's grid.
[ "$REAL_TIME" = 1 ] && timing="--rate $rate"
# A preview paired with a later picture because the host held the capture
# thread between its two arms is reported with the core log's evidence.
picture_check "$scratch/rec.mkv" "$pattern" ${interlaced:-} ${timing:-} --stalls "$scratch/core.log" "$rate" \
    >"$scratch/pictures" ||
    fail "pictures: $(cat "$scratch/pictures")"
cat "$scratch/pictures"
if [ "$pattern" = moving ]; then
    # Every preview was held to the full picture sent with it: some must have been.
    grep -q "^shq2 .* [1-9][0-9]* beside their full picture" "$scratch/pictures" ||
        fail "no preview picture arrived beside its full picture"
fi

summary=$(sed -n '/received in/,$p' "$scratch/out")
echo "$summary"
# On a loaded machine the queues may drop pictures and blocks (their marks,
# !@#$~, are the only thing the default level writes besides the note of a
# board without output cores); any other message is a fault.
messages=$(grep -v -e '^Did not find uio device ndi_dec!$' -e '^...not looking for other output devices.$' \
    "$scratch/err" | tr -d '\n!@#$~')
check_eq "$messages" "" "debug log at the default level (drop marks aside)"
# The full stream never stalls: every whole second of the connection brought
# full pictures.
grep "^\[" "$scratch/out" | sed '1d;$d' | sed -n "s/.*SHQ2 $full[a-z ]* \([0-9.]*\) pic\/s.*/\1/p" >"$scratch/rates"
awk '{ n++; if ($1 == 0) bad = 1 } END { exit !(n > 0 && !bad) }' "$scratch/rates" ||
    fail "full pictures a second: $(tr '\n' ' ' <"$scratch/rates")"
if [ "$REAL_TIME" = 1 ] && [ "$pattern" = moving ]; then
    # The last interval lines: the rate control gives each full picture its
    # share of the runtime's target (scaled to this stream's pixels and
    # rate) within 10 %, however many pictures a loaded machine dropped.
    target=$(awk -v s="$signal" -v t=$target_mbps -v r="$rate" 'BEGIN {
        if (s ~ /^1080p/) px = 1920 * 1080; else if (s ~ /^1080i/) px = 1920 * 540; else px = 1280 * 720
        printf "%.3f", t * px / (1920 * 1080 * 60) }')
    grep "^\[" "$scratch/out" | tail -3 |
        sed -n "s/.*SHQ2 $full[a-z ]* \([0-9.]*\) pic\/s, \([0-9.]*\) Mbit\/s.*/\1 \2/p" >"$scratch/mbps"
    awk -v t="$target" '{ n++; if ($1 == 0 || $2 / $1 < t * 0.9 || $2 / $1 > t * 1.1) bad = 1 }
        END { exit !(n == 3 && !bad) }' "$scratch/mbps" ||
        fail "full pictures at $(awk '{ printf "%.3f ", $1 ? $2 / $1 : 0 }' "$scratch/mbps")Mbit each, target $target"
    echo "full pictures at $(awk '{ printf "%.3f ", $1 ? $2 / $1 : 0 }' "$scratch/mbps")Mbit each for a target of $target"
fi
finish
