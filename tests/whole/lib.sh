# Helpers for the whole-process tests.
set -u

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }
check_contains() { grep -qF -- "$2" <<<"$1" || fail "$3: [$2] not in output: $(head -c 2000 <<<"$1")"; }
finish() {
    # A guest error of any core model is a product bug, whatever the test
    # looked at.
    if [ -s "$scratch/guest-errors" ]; then
        fail "guest errors of the virtual cores: $(head -c 2000 "$scratch/guest-errors")"
    fi
    # A sanitizer's report in anything a test kept (the program's standard
    # error above all): a leak found at exit, say, shows here by name, not
    # only as an exit status.
    local report
    for report in $(find "$scratch" -type f -size -64M -exec grep -lIE \
            '^(==[0-9]+==ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer)|runtime error: ' {} + 2>/dev/null); do
        fail "a sanitizer's report in $(basename "$report"):
$(grep -m 1 -A 30 -E '^(==[0-9]+==ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer)|runtime error: ' "$report")"
    done
    if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
    echo "all checks passed"
    exit 0
}
# The LAN namespace (ndi-monitor beside the board) needs root.
need_root() {
    if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for the LAN namespace"; exit 77; fi
}
# The board alone runs as root, or in an unprivileged user namespace.
need_board() {
    [ "$(id -u)" = 0 ] && return
    unshare --user --map-root-user --net true 2>/dev/null && return
    echo "skipped: needs root or unprivileged user namespaces"
    exit 77
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Every board of a test reports its guest errors into one file.
# The web page is left out: these tests are the supervisor themselves.
virtual-board() { command virtual-board --no-web --guest-errors "$scratch/guest-errors" "$@"; }

# The pid of the program a board started with --pid-file FILE, once the
# launchers before it have become the program (empty after 30 s: the board
# starts slowly on a loaded machine and under the sanitizers).
program_pid() {
    local pid=""
    for _ in $(seq 300); do
        pid=$(cat "$1" 2>/dev/null)
        [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = ndi-encoder ] && break
        pid=""
        sleep 0.1
    done
    echo "$pid"
}
# Waits until a file holds a text (false after 30 s: start-up is slow under
# the sanitizers). With both pipes the program announces its command loop,
# once every object is made, with "do_command()".
wait_for_text() {
    for _ in $(seq 300); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
# Nanoseconds a process's threads have spent on a processor so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }
# The names of a process's threads, sorted, one a line.
thread_names() { cat /proc/"$1"/task/*/comm 2>/dev/null | sort; }

# Over the control pipe that a test opened as descriptors 3 (commands) and 4
# (replies): the reply line to COMMAND, empty after SECONDS (default 10) of
# silence or when the program has gone.
ask() {   # ask COMMAND [SECONDS]
    echo "$1" >&3 2>/dev/null || return
    local line=""
    IFS= read -r -t "${2:-10}" line <&4
    printf '%s' "$line"
}
# The "status" line without its first word.
status() { local line; line=$(ask status); printf '%s' "${line#status }"; }
# The value of KEY in a status line.
value() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
