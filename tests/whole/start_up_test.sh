# Start-up of the real program: options, hardware discovery, platform lines.
. "$TEST_SOURCE_DIR/lib.sh"

out=$(ndi-encoder -v 2>&1); status=$?
check_eq "$out" "v1.5.0" "version text"
check_eq "$status" 0 "version status"

ndi-encoder -P >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 1 "unknown option status"
check_eq "$(head -1 "$scratch/err")" "Usage: ndi-encoder [-AB] [-d <percent>] [-hlp] [-147] [-xX] [-vqfi]" "usage line"
check_eq "$(wc -l <"$scratch/err")" 11 "usage length"
check_eq "$(cat "$scratch/out")" "" "nothing on standard output"

need_board

echo exit | virtual-board --no-input-cores -- ndi-encoder >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "no cores: status"
check_contains "$(cat "$scratch/err")" "Could not initialize hardware" "no cores: message"

echo exit | virtual-board --platform 0x11010203 -- ndi-encoder -X -x -p -p >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "platform: status"
check_contains "$(cat "$scratch/err")" "Platform: Digilent Zybo-Z7-10" "platform name"
check_contains "$(cat "$scratch/err")" "Version : 1.2.3" "platform version"

echo exit | virtual-board --platform 0x7F010203 --two-cells --no-video-node -- ndi-encoder -X -x -p -p >"$scratch/out" 2>"$scratch/err"
check_contains "$(cat "$scratch/err")" "Platform: Unknown platform" "unknown platform"
check_contains "$(cat "$scratch/err")" "Version : 0.0.0" "unknown version"
check_contains "$(cat "$scratch/err")" "rsvd raw    : not present" "no video node"

echo exit | virtual-board --without vid_track -- ndi-encoder >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 1 "missing tracker: status"
check_contains "$(cat "$scratch/err")" "Cannot find uio device vid_track!" "missing tracker: message"

finish
