#!/usr/bin/env bash
# The web control page's costs, on the virtual board with the LAN (root):
#   bench/web/web_control.sh [SECONDS]
# 1. One page open in headless Chromium on the LAN for SECONDS (default 30):
#    the daemon's processor time (user + system, from /proc) over that time,
#    and the program's, as a share of one processor.
# 2. 1,000 junk requests and 200 idle connections from the LAN
#    (http_flood.py): what the page's own requests (from another host on the
#    LAN) took meanwhile, and the
#    full stream's pictures a second, from the program's own counters,
#    before, during and after.
# Prints; asserts nothing.
set -euo pipefail
seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN_DIR:-$here/../../build/bin}
[ "$(id -u)" = 0 ] || { echo "needs root (the LAN namespace)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The daemon's and the program's ids, found by the board root in their
# command lines (read only).
lan=$(cat <<TEXT
set -u
ticks() { awk '{ print \$14 + \$15 }' /proc/\$1/stat; }
find_pid() {
    for d in /proc/[0-9]*; do
        [ "\$(cat \$d/comm 2>/dev/null)" = "\$1" ] && grep -qa "$work/root" \$d/cmdline 2>/dev/null &&
            { echo \${d#/proc/}; return; }
    done
}
web=\$(find_pid ndi-encoder-web); program=\$(find_pid ndi-encoder)
hz=\$(getconf CLK_TCK)
fps() { curl -s http://192.168.5.20/api/status | sed -n 's/.*"full_fps":\([0-9.]*\).*/\1/p'; }
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \\
    --disable-component-update --disable-sync --user-data-dir=$work/profile --remote-debugging-port=9222 \\
    http://192.168.5.20/ >/dev/null 2>&1 &
browser=\$!
sleep 5
w0=\$(ticks \$web); p0=\$(ticks \$program); t0=\$(date +%s.%N)
sleep $seconds
w1=\$(ticks \$web); p1=\$(ticks \$program); t1=\$(date +%s.%N)
kill \$browser; wait \$browser 2>/dev/null
awk -v w="\$((w1 - w0))" -v p="\$((p1 - p0))" -v hz="\$hz" -v t0="\$t0" -v t1="\$t1" 'BEGIN {
    s = t1 - t0
    printf "one page open for %.1f s: ndi-encoder-web %.2f %% of one processor, ndi-encoder %.1f %%\n",
        s, 100 * w / hz / s, 100 * p / hz / s }'
echo "full stream before the flood: \$(fps) pictures/s"
# The page from a second host on the LAN; the flood from the first.
ip addr add 192.168.5.8/24 dev lan0
python3 $here/http_flood.py 192.168.5.20 --page-from 192.168.5.8 >$work/flood 2>&1 &
flood=\$!
while kill -0 \$flood 2>/dev/null; do echo "  during: \$(fps) pictures/s"; sleep 2; done
wait \$flood
cat $work/flood
sleep 2
echo "full stream after the flood: \$(fps) pictures/s"
TEXT
)
"$bin/virtual-board" --root "$work/root" --signal 1080p59.94 --lan "$lan" -- ndi-encoder -x 2>/dev/null |
    grep -vE '^(PIPE_|Signal|do_command)'
