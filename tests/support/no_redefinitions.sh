#!/usr/bin/env bash
# A test may stand in for the program or a platform library only through a
# seam (a subclass, the stand-ins' recorders), never by defining one of
# their symbols again at link time: the linker would then quietly take the
# test's copy, and a new call from the program would go elsewhere.
#   no_redefinitions.sh NM --product LIBRARY... --tests OBJECT...
# Fails, listing them, when a test object defines (strongly) a symbol that a
# product library or a platform stand-in also defines.
set -euo pipefail
nm=$1
shift
products=()
tests=()
list=products
# CTest passes a target's objects as one argument, separated by ';'.
for arg in "$@"; do
    case "$arg" in
        --product) list=products ;;
        --tests) list=tests ;;
        *)
            IFS=';' read -ra parts <<<"$arg"
            if [ "$list" = products ]; then products+=("${parts[@]}"); else tests+=("${parts[@]}"); fi
            ;;
    esac
done
[ ${#products[@]} -gt 0 ] && [ ${#tests[@]} -gt 0 ] || { echo "nothing to compare" >&2; exit 2; }

# Strong definitions only: code, data, read-only data and bss. Weak and
# unique symbols (inline functions, templates) are shared by right.
# A shared library is read by its dynamic symbols (strong FILE [-D]).
strong() { "$nm" --defined-only "$@" | awk 'NF >= 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for lib in "${products[@]}"; do
    case "$lib" in
        *.so | *.so.*) strong "$lib" -D ;;
        *) strong "$lib" ;;
    esac
done | sort -u >"$work/product"
[ -s "$work/product" ] || { echo "no symbols read from the product libraries ($nm)" >&2; exit 2; }

found=0
for object in "${tests[@]}"; do
    strong "$object" >"$work/test"
    if clash=$(comm -12 "$work/product" "$work/test") && [ -n "$clash" ]; then
        echo "$object defines again:"
        if command -v c++filt >/dev/null; then c++filt <<<"$clash"; else echo "$clash"; fi | sed 's/^/    /'
        found=1
    fi
done
[ "$found" = 0 ] && echo "${#tests[@]} test objects, ${#products[@]} libraries: no symbol defined twice"
exit "$found"
