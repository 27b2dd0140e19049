# The appliance's video, recorded by ndi-monitor from the virtual LAN:
#   video_recording_test.sh SIGNAL ENCODERS PATTERN
# Two SpeedHQ tracks (full and preview) beside the audio, every picture
# decoded by FFmpeg and compared with the board's input (picture_check);
# with real time, no picture dropped, the full stream's bitrate at the NDI
# runtime's target and the capture-to-receive latency below two periods.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

signal=$1 encoders=$2 pattern=$3
seconds=8
target_mbps=140   # the runtime's default target for a 4:2:2 1080p60 full stream

virtual-board --signal "$signal" --encoders "$encoders" --pattern "$pattern" --record "$scratch/rec.mkv" \
    --seconds $seconds -- ndi-encoder >"$scratch/out" 2>"$scratch/err"
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

picture_check "$scratch/rec.mkv" "$pattern" ${interlaced:-} >"$scratch/pictures" ||
    fail "pictures: $(cat "$scratch/pictures")"
cat "$scratch/pictures"

summary=$(sed -n '/received in/,$p' "$scratch/out")
echo "$summary"
if [ "$REAL_TIME" = 1 ]; then
    # Progressive input: the preview rides with every second picture;
    # interlaced: with every field. (Matroska keeps a picture's duration in
    # nanoseconds, so 60000/1001 may come back as 19001/317.)
    rates=$(ffprobe -v error -select_streams v -show_entries stream=avg_frame_rate -of csv=p=0 "$scratch/rec.mkv" |
        awk -F/ '{ printf "%.2f ", $1 / $2 }')
    case "$signal" in
        1080p59.94) check_eq "$rates" "59.94 29.97 " "picture rates" ;;
        1080i59.94) check_eq "$rates" "59.94 59.94 " "field rates" ;;
        720p50) check_eq "$rates" "50.00 25.00 " "picture rates" ;;
    esac
    check_contains "$summary" "dropped 0, late 0" "nothing dropped on the way"
    # Only the messages of a board without output cores: no drop marks.
    marks=$(grep -v -e '^Did not find uio device ndi_dec!$' -e '^...not looking for other output devices.$' \
        "$scratch/err" | tr -d '\n')
    check_eq "$marks" "" "debug log at the default level"
    # From capture to the receiver: coding, copying and sending take less
    # than two picture periods in the median.
    period_ms=$(awk -v s="$signal" 'BEGIN { r = s; sub(/^[0-9]+[pi]/, "", r); printf "%.3f", 1000 / r }')
    median=$(sed -n "s/^  video SHQ2 $full.*latency median \([0-9.]*\) ms.*/\1/p" "$scratch/out")
    awk -v m="$median" -v p="$period_ms" 'BEGIN { exit !(m != "" && m < 2 * p) }' ||
        fail "capture-to-receive median $median ms, two periods are $(awk -v p="$period_ms" 'BEGIN { print 2 * p }') ms"
    if [ "$pattern" = moving ]; then
        # The last interval lines: the rate control holds the runtime's
        # target (scaled to this stream's pixels and rate) within 10 %.
        target=$(awk -v s="$signal" -v t=$target_mbps 'BEGIN {
            if (s ~ /^1080p/) px = 1920 * 1080; else if (s ~ /^1080i/) px = 1920 * 540; else px = 1280 * 720
            r = s; sub(/^[0-9]+[pi]/, "", r); printf "%.1f", t * px * r / (1920 * 1080 * 60) }')
        grep "^\[" "$scratch/out" | tail -3 | sed -n "s/.*SHQ2 $full[a-z ]* [0-9.]* pic\/s, \([0-9.]*\) Mbit\/s.*/\1/p" \
            >"$scratch/mbps"
        awk -v t="$target" '{ n++; if ($1 < t * 0.9 || $1 > t * 1.1) bad = 1 } END { exit !(n == 3 && !bad) }' \
            "$scratch/mbps" || fail "full stream at $(tr '\n' ' ' <"$scratch/mbps") Mbit/s, target $target"
        echo "full stream $(tr '\n' ' ' <"$scratch/mbps")Mbit/s for a target of $target"
    fi
fi
finish
