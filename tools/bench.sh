#!/bin/bash
# The benchmarks (not part of the tests): builds the program and a release build of the native
# engine benchmark, measures under Wine (on a quiet host, then beside one CPU-bound process per
# core) and natively, prints the table and writes it, with histograms beside the baseline in
# docs/performance-before.json, to docs/performance.md. Takes about twenty minutes; measure on an
# otherwise idle machine, or the quiet host is not quiet.
#
# bash tools/bench.sh --baseline REV measures the program as built from commit REV instead (timing
# only) and keeps its figures in docs/performance-before.json, the "before" of the next run.
# Other arguments go to tools/bench.py (--event-log: the same again with the Event Log open;
# --sessions, --pulses, --seed ...).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
# The histograms need matplotlib, from Debian's package, which the tests do not.
if ! dpkg-query -W -f='${Status}' python3-matplotlib 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-matplotlib >/dev/null
fi
python=/usr/bin/python3 # Debian's own, which has that package
mkdir -p build/bench
bash tools/build-windows.sh build/bench/build.log
driver=build/windows/tests/e2e/dialog-driver.exe

if [ "${1:-}" = "--baseline" ]; then
    rev=$(git rev-parse --short "${2:?--baseline needs a commit}")
    source=build/bench/baseline-src
    echo "bench: building $rev in $source"
    rm -rf "$source"
    mkdir -p "$source"
    git archive "$rev" | tar -x -C "$source"
    if ! { cmake -S "$source" --preset windows -DBRIDGE_TESTS=OFF &&
            cmake --build "$source/build/windows" --target autoguider-bridge; } \
            >>build/bench/build.log 2>&1; then
        echo "bench: the build of $rev failed; the end of build/bench/build.log:"
        tail -n 30 build/bench/build.log
        exit 1
    fi
    exec "$python" tools/bench.py --exe "$source/build/windows/autoguider-bridge.exe" \
        --driver "$driver" --prefix build/bench/wine --timing-only --label before --commit "$rev" \
        --raw docs/performance-before.json "${@:3}"
fi

echo "bench: building the native engine benchmark (release, no sanitizers)"
if ! { cmake --preset native -B build/bench/native -DBRIDGE_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release &&
        cmake --build build/bench/native --target engine-throughput; } >>build/bench/build.log 2>&1; then
    echo "bench: the native build failed; the end of build/bench/build.log:"
    tail -n 30 build/bench/build.log
    exit 1
fi
exec "$python" tools/bench.py --exe build/windows/autoguider-bridge.exe --driver "$driver" \
    --prefix build/bench/wine --throughput build/bench/native/tools/bench/engine-throughput \
    --baseline docs/performance-before.json --raw build/bench/after.json --out docs/performance.md \
    "$@"
