#!/usr/bin/env bash
# Builds the fuzzers with clang in build/fuzz and runs one or all of them for a given time each.
#
#   fuzz/run.sh [--brief] TARGET|all SECONDS
#
# --brief: the short runs of `make test`: a fixed seed and a fresh corpus each time, so a run
# repeats the last one. Otherwise the seed is FUZZ_SEED (or libFuzzer's own pick) and the grown
# corpus is kept in build/fuzz/corpus. The seeds (fuzz/corpus, and the sample's manifest and
# terms) are only read; artefacts and logs go under build/fuzz, never into the tree.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
brief=0
[ "${1:-}" = "--brief" ] && brief=1 && shift
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]] || [ "$2" -lt 1 ]; then
    echo "usage: $0 [--brief] TARGET|all SECONDS" >&2
    exit 2
fi
seconds=$2
all=$(cd "$root/fuzz" && ls -- *_fuzz.cpp | sed 's/_fuzz\.cpp$//')
if [ "$1" = all ]; then
    targets=($all)
elif [ -f "$root/fuzz/$1_fuzz.cpp" ]; then
    targets=("$1")
else
    echo "no fuzz target '$1'; known:" $all >&2
    exit 2
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for name in "${targets[@]}"; do
    corpus=$build/corpus/$name seed=${FUZZ_SEED:-}
    if [ $brief = 1 ]; then
        corpus=$build/brief/$name seed=${FUZZ_SEED:-1}
        rm -rf "$corpus"
    fi
    mkdir -p "$corpus" "$build/artifacts/$name"
    seeds=$root/fuzz/corpus/$name
    case $name in inspect|stub) seeds=$root/fuzz/corpus/images ;; esac
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$build/artifacts/$name/" ${seed:+-seed=$seed})
    [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
    [ $name = manifest ] && options+=(-seed_inputs="$root/sample/lumivue/lumivue.ini,$root/sample/lumivue/terms.txt")
    log=$build/logs/$name.log

    # libFuzzer stops itself at max_total_time; the outer limit only guards against a stuck run.
    status=0
    timeout --kill-after=10 $((seconds + 120)) "$build/$name" "${options[@]}" "$corpus" "$seeds" >"$log" 2>&1 || status=$?

    done_line=$(grep -aE '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
    seed_used=$(grep -aoE 'Seed: [0-9]+' "$log" | head -1 | cut -d' ' -f2 || true)
    if [ $status -ne 0 ] || [ -z "$done_line" ]; then
        failed+=("$name")
        reached=$(grep -aoE '^#[0-9]+' "$log" | tail -1 | tr -d '#' || true)
        echo "$name: FAILED after ${reached:-?} runs (status $status, seed ${seed_used:-?}); log $log" >&2
        grep -aE 'PROPERTY BROKEN|expected:|got:|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)|runtime error|SUMMARY|Test unit written to' "$log" | head -20 >&2 || true
        echo "  replay an artefact with: $build/$name ARTEFACT" >&2
    else
        read -r _ runs _ _ took _ <<<"$done_line"
        echo "$name: $runs runs in $took s (seed $seed_used, corpus $(ls "$corpus" | wc -l) inputs)"
    fi
done

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (artefacts in $build/artifacts)" >&2
    exit 1
fi
