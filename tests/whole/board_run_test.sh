# One run of the whole appliance as a board runs it: 720p50 video (a format
# an emulated processor's core models keep up with) with its preview and the
# audio recorded from the LAN, every picture decoded by FFmpeg and compared
# with the input, a zoom sent by the receiver as PTZ metadata reaching the
# camera, and status 0 after SIGTERM. Where the program runs on an emulated
# processor this is its whole-process run; what arrives is checked, not how
# fast (REAL_TIME=0).
. "$TEST_SOURCE_DIR/lib.sh"
need_root

virtual-board --signal 720p50 --camera-log "$scratch/camera.log" --record "$scratch/rec.mkv" --seconds 6 \
    --core-log "$scratch/core.log" \
    --monitor-args --ptz --monitor-args '<qrn_ptz_zoom zoom="0.5"/>' -- ndi-encoder >"$scratch/out" 2>"$scratch/err"
check_eq "$?" 0 "appliance status after SIGTERM"

tracks=$(ffprobe -v error -show_entries stream=codec_name,codec_tag_string,width,height:stream_tags=title \
    -of csv=p=0 "$scratch/rec.mkv" | sort)
check_eq "$tracks" "$(printf '%s\n' "pcm_s32le,[0][0][0][0]" "speedhq,SHQ2,1280,720,SHQ2" "speedhq,SHQ2,640,360,shq2" |
    sort)" "tracks"
picture_check "$scratch/rec.mkv" moving --stalls "$scratch/core.log" 50 >"$scratch/pictures" ||
    fail "pictures: $(cat "$scratch/pictures")"
cat "$scratch/pictures"
grep -q '^SHQ2 1280x720: [1-9][0-9]* pictures, 0 not decoded' "$scratch/pictures" ||
    fail "no full-stream picture decoded: $(cat "$scratch/pictures")"

# The zoom to the program's own camera (0x82) behind the program's tag.
grep -q '^0F A0 A0 A0 05 05 05 05 82 01 04 47 ' "$scratch/camera.log" ||
    fail "no zoom in the camera log: $(head -c 2000 "$scratch/camera.log")"
finish
