#!/usr/bin/env bash
# Builds the fuzzers with clang in build/fuzz and runs one or all of them for SECONDS each:
#   fuzz/run.sh [--brief] TARGET|all SECONDS
# --brief, the runs of `make test`: a fixed seed and a fresh corpus, so a run repeats the last.
# Otherwise the seed is FUZZ_SEED or libFuzzer's pick, and the corpus grows in build/fuzz/corpus.
# The seeds (fuzz/corpus, the sample's manifest and terms) are only read.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
brief=0
[ "${1:-}" = "--brief" ] && brief=1 && shift
all=$(cd "$root/fuzz" && ls -- *_fuzz.cpp | sed 's/_fuzz\.cpp$//' | paste -sd' ')
[ $# -eq 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] && [[ " all $all " == *" $1 "* ]] ||
    { echo "usage: $0 [--brief] TARGET|all SECONDS; targets: $all" >&2; exit 2; }
targets=($([ "$1" = all ] && echo $all || echo "$1"))
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }

failed=()
for name in "${targets[@]}"; do
    corpus=$build/corpus/$name seed=${FUZZ_SEED:-} log=$build/logs/$name.log seeds=("$root/fuzz/corpus/$name")
    [ $brief = 1 ] && corpus=$build/brief/$name seed=${FUZZ_SEED:-1} && rm -rf "$corpus"
    [ $name = manifest ] && seeds+=(-seed_inputs="$root/sample/lumivue/lumivue.ini,$root/sample/lumivue/terms.txt")
    mkdir -p "$corpus" "$build/artifacts/$name" "$build/logs"
    # libFuzzer stops at max_total_time; the outer limit only guards against a stuck run.
    status=0
    timeout --kill-after=10 $(($2 + 120)) "$build/$name" -max_total_time="$2" -timeout=10 ${seed:+-seed=$seed} \
        -artifact_prefix="$build/artifacts/$name/" "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
    runs=$(grep -aoE '^Done [0-9]+ runs' "$log" | cut -d' ' -f2 || true)
    if [ $status -ne 0 ] || [ -z "$runs" ]; then
        failed+=("$name")
        echo "$name: FAILED (status $status); log $log; replay an artefact with $build/$name ARTEFACT" >&2
        grep -aE 'PROPERTY BROKEN|expected:|got:|ERROR: |runtime error|SUMMARY|Test unit' "$log" | head -20 >&2 || true
    else
        echo "$name: $runs runs, corpus $(ls "$corpus" | wc -l) inputs"
    fi
done

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ] || { echo "fuzzing found faults in: ${failed[*]} (artefacts in $build/artifacts)" >&2; exit 1; }
