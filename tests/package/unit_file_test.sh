# The systemd unit: systemd reads it without a complaint (but for the
# program, which this machine does not have installed), and it starts the
# program with the options file's options, stops it with SIGTERM and
# restarts it on failure.
#   unit_file_test.sh UNIT
set -u
unit=$1
command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze"; exit 77; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The unit's documentation is the package's manual page, beside it in the
# tree: systemd-analyze asks man for it.
manuals=$(mktemp -d)
trap 'rm -rf "$manuals"' EXIT
mkdir "$manuals/man8"
ln -s "$(cd "$(dirname "$unit")" && pwd)/ndi-encoder.8" "$manuals/man8/ndi-encoder.8"
man_check=()
command -v man >/dev/null || man_check=(--man=no)   # no man-db: nothing to ask
complaints=$(MANPATH=$manuals systemd-analyze verify "${man_check[@]}" "$unit" 2>&1 |
    grep -v 'Command /usr/bin/ndi-encoder is not executable')
[ -z "$complaints" ] || fail "systemd-analyze: $complaints"

setting() { sed -n "s/^$1=//p" "$unit"; }
[ "$(setting EnvironmentFile)" = "-/etc/default/ndi-encoder" ] || fail "EnvironmentFile [$(setting EnvironmentFile)]"
[ "$(setting ExecStart)" = '/usr/bin/ndi-encoder $NDI_ENCODER_OPTIONS' ] || fail "ExecStart [$(setting ExecStart)]"
[ "$(setting KillSignal)" = SIGTERM ] || fail "KillSignal [$(setting KillSignal)]"
[ "$(setting Restart)" = on-failure ] || fail "Restart [$(setting Restart)]"
[ "$(setting LimitRTPRIO)" = infinity ] || fail "LimitRTPRIO [$(setting LimitRTPRIO)]"

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
