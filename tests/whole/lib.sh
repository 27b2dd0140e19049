# Helpers for the whole-process tests.
set -u

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }
check_contains() { grep -qF -- "$2" <<<"$1" || fail "$3: [$2] not in output: $(head -c 2000 <<<"$1")"; }
finish() {
    if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
    echo "all checks passed"
    exit 0
}
need_root() {
    if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for network namespaces"; exit 77; fi
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
