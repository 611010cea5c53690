#!/usr/bin/env bash
# Each program's reference names every option the program accepts: the options are
# the string literals its command-line parser compares with ("--name"), the
# reference is its man page (fleet_bench, which has none and is not installed: its
# --help and the README). One row per program; a parser that moves to another file
# is named in its row.
# Usage: man_options_test.sh REPO FLEET_BENCH
set -uo pipefail
repo=$1 fleet_bench=$2
cd "$repo" || exit 1

# program | parser files (globs, those that exist) | reference files
rows="simlinecaster|tools/simlinecaster/main.cpp tools/simlinecaster/options.cpp|tools/simlinecaster/simlinecaster.1
lcctl|tools/lcctl/args.cpp|tools/lcctl/lcctl.1
lcfleet|tools/fleet/options.cpp tools/fleet/cli.cpp|tools/fleet/lcfleet.8
fleet_bench|bench/fleet/fleet_bench.cpp|@help README.md"

failures=0
while IFS='|' read -r program parsers references; do
    files=()
    for f in $parsers; do [ -f "$f" ] && files+=("$f"); done
    if [ ${#files[@]} = 0 ]; then
        echo "FAIL: $program: none of its parser files ($parsers) exists"
        failures=$((failures + 1))
        continue
    fi
    accepted=$(grep -ho '"--[a-z][a-z0-9-]*"' "${files[@]}" | tr -d '"' | sort -u)
    if [ -z "$accepted" ]; then
        echo "FAIL: $program: no option found in ${files[*]}"
        failures=$((failures + 1))
        continue
    fi
    named=""
    for r in $references; do
        if [ "$r" = @help ]; then
            named+=$("$fleet_bench" --help 2>&1)$'\n'
        else
            named+=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$r")$'\n'
        fi
    done
    named=$(grep -o -- '--[a-z][a-z0-9-]*' <<<"$named" | sort -u)
    missing=$(comm -23 <(echo "$accepted") <(echo "$named"))
    if [ -n "$missing" ]; then
        echo "FAIL: $program accepts options that $references do not name:" $missing
        failures=$((failures + 1))
    else
        echo "ok: $program: $(wc -l <<<"$accepted") options, all named in $references"
    fi
done <<<"$rows"
exit $((failures > 0))
