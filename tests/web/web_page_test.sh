#!/usr/bin/env bash
# The web control page in a real browser: Debian's headless Chromium on the
# LAN (driven by playwright-core from npm, which uses the installed browser)
# loads the page of a running board, sees its figures move and drives the
# camera (tests/web/browser_check.mjs). Then, over plain HTTP, a drive that
# nobody holds any more is stopped by the daemon, commands are refused
# without the password when one is set, and what lies outside the page and
# its interface is not served. Keeps the browser's screenshot in
# $WEB_SCREENSHOT (or the test's scratch folder).
source "$TEST_SOURCE_DIR/../whole/lib.sh"
need_root
command -v chromium >/dev/null || { echo "skipped: no chromium (scripts/install-deps)"; exit 77; }

# playwright-core, as locked, beside the build.
modules="$BUILD_DIR/web-test"
if ! cmp -s "$TEST_SOURCE_DIR/package-lock.json" "$modules/package-lock.json" || [ ! -d "$modules/node_modules" ]; then
    mkdir -p "$modules"
    cp "$TEST_SOURCE_DIR/package.json" "$TEST_SOURCE_DIR/package-lock.json" "$modules/"
    (cd "$modules" && npm ci --ignore-scripts --no-audit --no-fund >/dev/null) || fail "npm ci"
fi
cp "$TEST_SOURCE_DIR/browser_check.mjs" "$modules/"
screenshot=${WEB_SCREENSHOT:-$scratch/web.png}

# The page's own board (lib.sh's virtual-board leaves the page out).
board() { command virtual-board --guest-errors "$scratch/guest-errors" "$@"; }

log="$scratch/camera.log"
board --camera-log "$log" --lan "node $modules/browser_check.mjs http://192.168.5.20/ $log $screenshot" \
    -- ndi-encoder -x >"$scratch/out" 2>"$scratch/err"
status=$?
cat "$scratch/out"
check_eq "$status" 0 "the board with the browser on its LAN"
check_contains "$(cat "$scratch/out")" "browser check passed" "the browser's checks"
[ -s "$screenshot" ] || fail "no screenshot in $screenshot"

# Over HTTP from the LAN: a drive nobody holds stops within a second of its
# last hold; the page's assets and interface only; the password guards
# commands (and only them).
options="$scratch/options"
printf 'NDI_ENCODER_WEB_PASSWORD="s3cret pass"\n' >"$options"
lan=$(cat <<TEXT
set -u
api=http://192.168.5.20/api
curl -s -XPOST -u 'admin:s3cret pass' "\$api/camera/pan-tilt?pan=-1&tilt=1&speed=5" >/dev/null
tries=0
until curl -s "\$api/camera" | grep -q 'pan-tilt stop (released by nobody)'; do
    tries=\$((tries + 1))
    [ \$tries -gt 300 ] && { echo "no stop"; break; }
    sleep 0.1
done
echo "web/: \$(curl -s -o /dev/null -w '%{http_code}' http://192.168.5.20/web/main.cpp)"
echo "up: \$(curl -s -o /dev/null -w '%{http_code}' --path-as-is http://192.168.5.20/../../etc/passwd)"
echo "put: \$(curl -s -o /dev/null -w '%{http_code}' -XPUT http://192.168.5.20/)"
echo "home: \$(curl -s -o /dev/null -w '%{http_code}' -XPOST \$api/camera/home)"
echo "home with the password: \$(curl -s -o /dev/null -w '%{http_code}' -u 'admin:s3cret pass' -XPOST \$api/camera/home)"
echo "home with a wrong one: \$(curl -s -o /dev/null -w '%{http_code}' -u 'admin:s3cret' -XPOST \$api/camera/home)"
echo "status: \$(curl -s -o /dev/null -w '%{http_code}' \$api/status)"
echo "big: \$(curl -s -o /dev/null -w '%{http_code}' -H "X-Junk: \$(printf '%040000d' 0)" \$api/status)"
TEXT
)
mkdir -p "$scratch/run"
mkfifo "$scratch/run/in" "$scratch/run/out"
# The daemon on the board by hand, with the options file and its password.
board --camera-log "$scratch/camera2.log" --lan "$lan" -- sh -c \
    "ndi-encoder-web --options $options --command-pipe $scratch/run/in --reply-pipe $scratch/run/out --port 80 &
     web=\$!; ndi-encoder -X -x -I $scratch/run/in -O $scratch/run/out </dev/null & program=\$!
     trap 'kill \$program \$web; wait' TERM; wait" >"$scratch/out2" 2>"$scratch/err2"
out=$(cat "$scratch/out2")
echo "$out"
check_contains "$out" "web/: 404" "a source file"
check_contains "$out" "up: 404" "a path above the page"
check_contains "$out" "put: 405" "PUT"
check_contains "$out" "home: 401" "a command without the password"
check_contains "$out" "home with the password: 200" "a command with the password"
check_contains "$out" "home with a wrong one: 401" "a command with a wrong password"
check_contains "$out" "status: 200" "the status without a password"
check_contains "$out" "big: 431" "headers beyond a connection's memory"
grep -q "no stop" <<<"$out" && fail "a drive nobody held was not stopped"
# The stop came after the drive, and the camera saw it.
grep -q "82 01 06 01 05 05 01 01 FF" "$scratch/camera2.log" || fail "the pan drive never reached the camera"
tail -n +"$(grep -n "82 01 06 01 05 05 01 01 FF" "$scratch/camera2.log" | tail -1 | cut -d: -f1)" "$scratch/camera2.log" |
    grep -q "82 01 06 01 01 01 03 03 FF" || fail "no stop at the camera after the unheld drive"
finish
