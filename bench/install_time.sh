#!/usr/bin/env bash
# Install time under Wine of the sample and of a 200 MB payload (20 files of 10 MiB): the median of
# RUNS runs each (5 unless set), a driver answering every dialog and box at once. Not part of make test.
# usage: bench/install_time.sh    (after make win; builds what it needs under build/bench-install)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/bench-install
runs=${RUNS:-5}

stub=build/win/stub/Setup.exe
sample=build/sample/Setup.exe
pack=build/host/bin/setup-pack
for needed in "$stub" "$sample" "$pack"; do
    [ -e "$needed" ] || { echo "install_time: $needed is missing; run make win first" >&2; exit 1; }
done
mkdir -p "$out/install"

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The driver: the test bed's window and file helpers, with its own finer waits and a clock.
driver=$out/install_driver.exe
if [ ! -f "$driver" ] || [ bench/install_driver.cpp -nt "$driver" ] || [ tests/e2e/driver.cpp -nt "$driver" ]; then
    i686-w64-mingw32-g++ -std=c++17 -O2 -Wall -Itests/e2e -DE2E_BUILD_DIR="\"$root/build/win\"" \
        bench/install_driver.cpp tests/e2e/driver.cpp -static -o "$driver" || exit 1
fi

# The large package: generated once, the same bytes every time, packed with the default alignment
# (page-aligned at this size) and, to compare, compact (512), which Wine copies rather than maps.
large=$out/large
if [ ! -f "$large/Setup.exe" ] || [ "$stub" -nt "$large/Setup.exe" ]; then
    /usr/bin/python3 bench/gen_payload.py large "$large" || exit 1
    "$pack" "$large/bench.ini" -o "$large/Setup.exe" --stub "$stub" >/dev/null || exit 1
    "$pack" "$large/bench.ini" -o "$large/Setup-512.exe" --stub "$stub" --align 512 >/dev/null || exit 1
fi

source scripts/wine-display.sh
wine_env "$out/wineprefix"
trap wine_display_stop EXIT
wine_display_start || exit 1

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs one package RUNS times into a fresh folder; prints the medians of both clocks.
measure() {
    local name=$1 setup=$2 program=$3 totals=() afters=() line
    for _ in $(seq "$runs"); do
        sync
        line=$(wine "$driver" "$(winpath "$root/$setup")" "$(winpath "$out/install/$name")" "$program" | tr -d '\r') || exit 1
        [[ $line =~ total_ms=([0-9]+)\ after_ok_ms=([0-9]+) ]] ||
            { echo "install_time: $name: the driver said: $line" >&2; exit 1; }
        totals+=("${BASH_REMATCH[1]}")
        afters+=("${BASH_REMATCH[2]}")
    done
    printf '%-8s median of %d: start to end %6d ms, OK to end %6d ms   (runs: %s)\n' "$name" "$runs" \
        "$(printf '%s\n' "${totals[@]}" | median)" "$(printf '%s\n' "${afters[@]}" | median)" "${totals[*]}"
}

payload_bytes() { /usr/bin/python3 - "$1" <<'EOF'
import configparser, os, sys
ini = configparser.ConfigParser(delimiters=('=',), comment_prefixes=(';',), interpolation=None)
ini.optionxform = str
ini.read(sys.argv[1], encoding='utf-8')
base = os.path.dirname(sys.argv[1])
search = [base, os.path.join('build', 'win', 'sample')]
total = 0
for _, source in ini['files'].items():
    total += os.path.getsize(next(p for p in (os.path.join(b, source) for b in search) if os.path.exists(p)))
print(total)
EOF
}

echo "OK to end covers the extraction, the setup's 600 ms pause and the launch (or its warning)."
measure sample "$sample" Lumivue.exe
measure large "${large#"$root"/}/Setup.exe" fileaaa.bin
measure large512 "${large#"$root"/}/Setup-512.exe" fileaaa.bin
for pair in "sample:$sample:sample/lumivue/lumivue.ini" "large:$large/Setup.exe:$large/bench.ini" \
    "large512:$large/Setup-512.exe:$large/bench.ini"; do
    IFS=: read -r name exe manifest <<<"$pair"
    size=$(stat -c %s "$exe")
    payload=$(payload_bytes "$manifest")
    printf '%-8s Setup.exe %d bytes, payload %d bytes, Setup.exe minus payload %d bytes\n' \
        "$name" "$size" "$payload" "$((size - payload))"
done
printf 'stub     %d bytes\n' "$(stat -c %s "$stub")"
