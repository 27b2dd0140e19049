# The init script for boards without systemd, with a stand-in program: it
# starts it with the options file's options and its output in the log (and
# the pipes the options name made, where missing), keeps
# one instance, and stops it with SIGTERM, waiting for it to end (killing it
# only when it will not). Runs in a mount namespace of its own, where
# /etc/default holds the test's options file alone.
#   init_script_test.sh INIT_SCRIPT
set -u
init=$1
if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for a mount namespace"; exit 77; fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Running: there and not a zombie (the machine's init may reap late).
alive() { kill -0 "$1" 2>/dev/null && [ "$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" != Z ]; }

# The program: says what it was given, ends on SIGTERM after a moment (the
# teardown), unless told to ignore it.
cat >"$scratch/program" <<'PROGRAM'
#!/bin/sh
echo "options: $*"
echo $$ >"$(dirname "$0")/started"
if [ "${IGNORE_TERM:-0}" = 1 ]; then trap '' TERM; else trap 'sleep 0.3; echo ended >"$(dirname "$0")/ended"; exit 0' TERM; fi
while :; do sleep 0.05; done
PROGRAM
chmod +x "$scratch/program"

in_board() {
    unshare --mount sh -c 'mount -t tmpfs none /etc/default && cp "$0" /etc/default/ndi-encoder && exec "$@"' \
        "$scratch/defaults" "$@"
}
write_defaults() {
    cat >"$scratch/defaults" <<DEFAULTS
DAEMON=$scratch/program
PIDFILE=$scratch/pid
NDI_ENCODER_OPTIONS="-p -q -F"
NDI_ENCODER_LOG=$scratch/log
STOP_SECONDS=$1
DEFAULTS
}

write_defaults 10
in_board sh "$init" start >"$scratch/out" || fail "start: $(cat "$scratch/out")"
for _ in $(seq 50); do [ -s "$scratch/started" ] && break; sleep 0.1; done
pid=$(cat "$scratch/pid" 2>/dev/null)
[ -n "$pid" ] && [ "$pid" = "$(cat "$scratch/started" 2>/dev/null)" ] || fail "pid file [$pid], program [$(cat "$scratch/started" 2>/dev/null)]"
alive "$pid" || fail "program not running after start"
grep -qx "options: -p -q -F" "$scratch/log" || fail "log: [$(cat "$scratch/log")]"

in_board sh "$init" status >/dev/null || fail "status of a running program"
in_board sh "$init" start >/dev/null
[ "$(cat "$scratch/pid")" = "$pid" ] || fail "a second start made another instance"

# Restart: the first program has ended before the second starts.
rm -f "$scratch/ended"
in_board sh "$init" restart >/dev/null || fail "restart of a running program"
[ -s "$scratch/ended" ] || fail "restart started another before the first had ended"
alive "$pid" && fail "the first program outlived restart"
for _ in $(seq 50); do [ "$(cat "$scratch/started" 2>/dev/null)" != "$pid" ] && break; sleep 0.1; done
pid=$(cat "$scratch/pid")
if [ "$pid" != "$(cat "$scratch/started" 2>/dev/null)" ] || ! alive "$pid"; then
    fail "restart: pid file [$pid], program [$(cat "$scratch/started")]"
fi
rm -f "$scratch/ended"

# force-reload, which Debian's policy asks of every init script, restarts too:
# the program reads no configuration file that it could reload.
in_board sh "$init" force-reload >/dev/null || fail "force-reload of a running program"
[ -s "$scratch/ended" ] || fail "force-reload did not end the running program"
for _ in $(seq 50); do [ "$(cat "$scratch/started" 2>/dev/null)" != "$pid" ] && break; sleep 0.1; done
pid=$(cat "$scratch/pid")
alive "$pid" || fail "no program running after force-reload"
rm -f "$scratch/ended"

in_board sh "$init" stop >/dev/null
alive "$pid" && fail "program still running when stop returned"
[ -s "$scratch/ended" ] || fail "program did not end by its SIGTERM teardown"
[ -e "$scratch/pid" ] && fail "pid file left behind"
in_board sh "$init" status >/dev/null
[ $? = 3 ] || fail "status of a stopped program is not 3"

# A program that ignores SIGTERM is killed after STOP_SECONDS.
rm -f "$scratch/started" "$scratch/ended"
write_defaults 1
IGNORE_TERM=1 in_board sh "$init" start >/dev/null
for _ in $(seq 50); do [ -s "$scratch/started" ] && break; sleep 0.1; done
pid=$(cat "$scratch/pid")
in_board sh "$init" stop >"$scratch/out" 2>&1
alive "$pid" && { fail "a program that ignores SIGTERM outlived stop: $(cat "$scratch/out"; ps -o pid,stat,args -p "$pid")"; kill -KILL "$pid"; }

# The supervisor's pipes of the options, made where they are missing
# before the program starts (it opens them at once).
rm -f "$scratch/started"
sed -i "s|^NDI_ENCODER_OPTIONS=.*|NDI_ENCODER_OPTIONS=\"-I $scratch/run/command -O $scratch/run/reply\"|" \
    "$scratch/defaults"
in_board sh "$init" start >"$scratch/out" 2>&1 || fail "start with pipes: $(cat "$scratch/out")"
for pipe in command reply; do
    [ -p "$scratch/run/$pipe" ] || fail "start made no $pipe pipe: $(cat "$scratch/out")"
done
for _ in $(seq 50); do [ -s "$scratch/started" ] && break; sleep 0.1; done
in_board sh "$init" stop >/dev/null

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
