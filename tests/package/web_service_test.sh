#!/usr/bin/env bash
# The web control page's service files agree with the program's: the unit
# starts after the program's and is bound to it, the pipes that tmpfiles.d
# (at boot, and the program's unit before each start) and the init script
# make are the -I and -O of the options file, and the daemon reads the same
# paths from it.
#   web_service_test.sh PACKAGE_FOLDER NDI_ENCODER_WEB
set -u
package=$1
daemon=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

unit="$package/ndi-encoder-web.service"
setting() { sed -n "s/^$1=//p" "$unit"; }
[ "$(setting After)" = ndi-encoder.service ] || fail "After [$(setting After)]"
[ "$(setting BindsTo)" = ndi-encoder.service ] || fail "BindsTo [$(setting BindsTo)]"
[ "$(setting WantedBy)" = ndi-encoder.service ] || fail "WantedBy [$(setting WantedBy)]"
grep -qE '^(CPUSchedulingPolicy|Nice|IOSchedulingClass)=' "$unit" && fail "the daemon runs at normal priority"

# The paths, as the options file gives them to the program.
# shellcheck source=/dev/null
options=$(. "$package/ndi-encoder.default" && echo "$NDI_ENCODER_OPTIONS")
command_pipe=$(sed -n 's/.*-I \([^ ]*\).*/\1/p' <<<"$options")
reply_pipe=$(sed -n 's/.*-O \([^ ]*\).*/\1/p' <<<"$options")
[ -n "$command_pipe" ] && [ -n "$reply_pipe" ] || fail "no -I and -O in NDI_ENCODER_OPTIONS [$options]"
made=$(awk '$1 == "p" { print $2 }' "$package/ndi-encoder-web.tmpfiles" | sort)
[ "$made" = "$(printf '%s\n' "$command_pipe" "$reply_pipe" | sort)" ] || fail "tmpfiles.d makes [$made]"
grep -q "^d $(dirname "$command_pipe") " "$package/ndi-encoder-web.tmpfiles" || fail "tmpfiles.d makes no folder"
sh -n "$package/ndi-encoder-web.init" || fail "the init script does not parse"
# shellcheck disable=SC2086
found=$(sh -c ". /dev/stdin; option -I $options; option -O $options" \
    < <(sed -n '/^option() {/,/^}/p' "$package/ndi-encoder-web.init"))
[ "$found" = "$(printf '%s\n%s' "$command_pipe" "$reply_pipe")" ] || fail "the init script finds [$found]"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The folder as tmpfiles.d makes it, also after this unit has started.
folder_mode=$(awk -v d="$(dirname "$command_pipe")" '$1 == "d" && $2 == d { print $3 }' \
    "$package/ndi-encoder-web.tmpfiles")
[ "$(setting RuntimeDirectoryMode)" = "$folder_mode" ] ||
    fail "RuntimeDirectoryMode [$(setting RuntimeDirectoryMode)], tmpfiles.d makes the folder $folder_mode"

# The program's unit makes the pipes before each start, where they are
# missing (its ExecStartPre, run on a root of ours with the tmpfiles.d file
# where the package installs it); the page's unit starts only after it.
program_unit="$package/ndi-encoder.service"
make_pipes=$(sed -n 's/^ExecStartPre=[-@:+!]*//p' "$program_unit")
if [ -z "$make_pipes" ]; then
    fail "the program's unit makes no pipes before it starts"
elif ! command -v systemd-tmpfiles >/dev/null || [ "$(id -u)" != 0 ]; then
    echo "not run: the program's unit's ExecStartPre (needs systemd-tmpfiles and root)"
else
    install -D -m 644 "$package/ndi-encoder-web.tmpfiles" "$scratch/root/usr/lib/tmpfiles.d/ndi-encoder-web.conf"
    # shellcheck disable=SC2086  # the command's words
    $make_pipes --root="$scratch/root" >"$scratch/tmpfiles.out" 2>&1 ||
        fail "[$make_pipes] failed: $(cat "$scratch/tmpfiles.out")"
    for pipe in "$command_pipe" "$reply_pipe"; do
        [ -p "$scratch/root$pipe" ] || fail "[$make_pipes] made no pipe $pipe"
    done
fi

# The daemon, given the options file, makes and serves those pipes (in a
# folder of ours; on a port of its own, on loopback).
sed "s|$(dirname "$command_pipe")|$scratch/run|g" "$package/ndi-encoder.default" >"$scratch/default"
"$daemon" --options "$scratch/default" --address 127.0.0.1 --port 0 --camera-port 1 --reply-port 0 \
    >"$scratch/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
    [ -p "$scratch/run/$(basename "$reply_pipe")" ] && [ -p "$scratch/run/$(basename "$command_pipe")" ] && break
    sleep 0.1
done
[ -p "$scratch/run/$(basename "$command_pipe")" ] || fail "the daemon made no command pipe: $(cat "$scratch/out")"
[ -p "$scratch/run/$(basename "$reply_pipe")" ] || fail "the daemon made no reply pipe: $(cat "$scratch/out")"
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" = 0 ] || fail "SIGTERM ended the daemon with status $status"

if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo "all checks passed"
