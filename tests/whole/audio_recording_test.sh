# The appliance's audio, recorded by ndi-monitor from the virtual LAN: one
# 48 kHz stereo 32-bit stream as long as the run, with a continuous tone,
# while the video input runs beside it.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

seconds=6
virtual-board --record "$scratch/rec.mkv" --seconds $seconds -- ndi-encoder -q >"$scratch/out" 2>"$scratch/err"
status=$?
check_eq "$status" 0 "appliance status after SIGTERM"
check_contains "$(cat "$scratch/out")" '<ndi_capabilities qrn_ptz="true" web_control="http://192.168.5.20"/>' "capabilities"

streams=$(ffprobe -v error -select_streams a -show_entries stream=codec_type,codec_name,sample_rate,channels -of csv=p=0 "$scratch/rec.mkv")
check_eq "$streams" "pcm_s32le,audio,48000,2" "one audio stream"
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$scratch/rec.mkv")
# The monitor joins once the appliance listens (start-up is slow under the
# sanitizers); from then on the recording keeps pace with the wall clock.
connected=$(sed -n 's/.* received in \([0-9.]*\) s:.*/\1/p' "$scratch/out")
echo "ran $seconds s, connected $connected s, recorded $duration s"
awk -v d="$duration" -v c="$connected" -v s=$seconds 'BEGIN { exit !(d > c * 0.95 && d < c * 1.05 && c > s - 3) }' ||
    fail "recorded $duration s while connected $connected s in a $seconds s run"

# A block dropped on a loaded machine shows as a timecode jump; each such
# jump may stand for one seam in the tone, nothing else may break it.
jumps=$(sed -n 's/^  audio .* \([0-9]*\) timecode jumps.*/\1/p' "$scratch/out")
ffmpeg -v error -i "$scratch/rec.mkv" -f s32le -acodec pcm_s32le - | tone_check --gaps "${jumps:-0}" >"$scratch/tone" ||
    fail "tone: $(cat "$scratch/tone")"
cat "$scratch/tone"
finish
