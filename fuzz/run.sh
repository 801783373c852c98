#!/usr/bin/env bash
# Builds the fuzzers with clang in build/fuzz and runs one or all of them for a given time each.
#
#   fuzz/run.sh [--brief] TARGET|all SECONDS
#
# --brief, the runs of `make test`: a fixed seed and a fresh corpus, so a run repeats the last.
# Otherwise the seed is FUZZ_SEED or libFuzzer's pick, and the corpus grows in build/fuzz/corpus.
# The seeds (fuzz/corpus, the sample's manifest and terms) are only read; artefacts and logs go
# under build/fuzz.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
brief=0
[ "${1:-}" = "--brief" ] && brief=1 && shift
all=$(cd "$root/fuzz" && ls -- *_fuzz.cpp | sed 's/_fuzz\.cpp$//')
if [ $# -ne 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]] || ! [[ " all $(echo $all) " == *" $1 "* ]]; then
    echo "usage: $0 [--brief] TARGET|all SECONDS; targets:" $all >&2
    exit 2
fi
targets=($([ "$1" = all ] && echo $all || echo "$1"))
seconds=$2

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1 || { cat "$build/build.log" >&2; exit 1; }

failed=()
for name in "${targets[@]}"; do
    corpus=$build/corpus/$name seed=${FUZZ_SEED:-}
    [ $brief = 1 ] && corpus=$build/brief/$name seed=${FUZZ_SEED:-1} && rm -rf "$corpus"
    log=$build/logs/$name.log extra=("$root/fuzz/corpus/$name")
    case $name in
        inspect | stub) extra=("$root/fuzz/corpus/images") ;;
        manifest) extra+=(-seed_inputs="$root/sample/lumivue/lumivue.ini,$root/sample/lumivue/terms.txt") ;;
    esac
    mkdir -p "$corpus" "$build/artifacts/$name" "$build/logs"

    # libFuzzer stops itself at max_total_time; the outer limit only guards against a stuck run.
    status=0
    timeout --kill-after=10 $((seconds + 120)) "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$name/" ${seed:+-seed=$seed} "$corpus" "${extra[@]}" >"$log" 2>&1 || status=$?

    done_line=$(grep -aE '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
    if [ $status -ne 0 ] || [ -z "$done_line" ]; then
        failed+=("$name")
        echo "$name: FAILED (status $status); log $log; replay an artefact with $build/$name ARTEFACT" >&2
        grep -aE 'PROPERTY BROKEN|expected:|got:|ERROR: |runtime error|SUMMARY|Test unit written to' "$log" | head -20 >&2 || true
    else
        echo "$name: $(cut -d' ' -f2 <<<"$done_line") runs, corpus $(ls "$corpus" | wc -l) inputs"
    fi
done

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (artefacts in $build/artifacts)" >&2
    exit 1
fi
