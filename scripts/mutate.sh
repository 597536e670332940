#!/usr/bin/env bash
# Mutation spot-check: puts each fault of a list into the sources one at a time, rebuilds the
# tests and keymend, runs the suite and records whether a test caught the fault.
#   scripts/mutate.sh LIST [BUILD_DIR]     (a configured build folder, build/ by default)
# LIST holds one mutation a line: path<TAB>text found exactly once in the file<TAB>replacement
# <TAB>what it breaks ('#' lines and blank lines are skipped). Output, one line a mutation:
#   caught <first failing test> | survived | build-failed | not-found, then the description.
# The slow whole-command sweeps run after the rest, so that most faults are caught in seconds.
set -uo pipefail
list=$(realpath "$1")
cd "$(dirname "$0")/.."
build=${2:-build}
slow='Faults.*:BadInput.DamagedFilesUnderImportAndRepair:BadInput.PublicExportOfDamagedContainers'
slow+=':ImportCommand.EveryPkcs12FixtureImports:Commands.EveryCaseFile:Rewrite.OldOrNewWhateverStopsIt'
backup=$(mktemp)
trap 'rm -f "$backup"' EXIT

run() {  # run <filter>: prints the first failing test, or nothing when all pass
    local out
    out=$(timeout 600 "$build/keymend_tests" --gtest_fail_fast --gtest_filter="$1" 2>&1)
    local rc=$?
    [ $rc -eq 0 ] && return 0
    local failed
    failed=$(grep -m1 -oE '^\[  FAILED  \] [A-Za-z0-9_/.]+' <<<"$out" | awk '{print $4}')
    # A crash or a timeout leaves no verdict line: the test that was running.
    [ -z "$failed" ] && failed="$(grep -oE '^\[ RUN      \] [A-Za-z0-9_/.]+' <<<"$out" |
                                  tail -1 | awk '{print $4}')(crashed, rc=$rc)"
    echo "$failed"
}

while IFS=$'\t' read -r path old new why; do
    [[ -z "$path" || "$path" == \#* ]] && continue
    cp "$path" "$backup"
    if ! python3 - "$path" "$old" "$new" <<'PY'
import sys
path, old, new = sys.argv[1:4]
text = open(path).read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w").write(text.replace(old, new))
PY
    then
        printf 'not-found\t%s\t%s\n' "$path" "$why"
        continue
    fi
    if ! cmake --build "$build" -j2 --target keymend_tests keymend >/dev/null 2>&1; then
        verdict=build-failed
    else
        failed=$(run "-$slow")
        [ -z "$failed" ] && failed=$(run "$slow")
        verdict=${failed:+caught $failed}
        verdict=${verdict:-survived}
    fi
    cp "$backup" "$path"
    printf '%s\t%s\t%s\n' "$verdict" "$path" "$why"
done <"$list"
cmake --build "$build" -j2 --target keymend_tests keymend >/dev/null 2>&1
