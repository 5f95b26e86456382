#!/bin/bash
# The benchmarks (not part of the tests): builds the program and a release build of the native
# engine benchmark, measures under Wine and natively, prints the table and writes it to
# docs/performance.md. Takes about eight minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build-windows.sh build/bench/build.log
echo "bench: building the native engine benchmark (release, no sanitizers)"
if ! { cmake --preset native -B build/bench/native -DBRIDGE_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release &&
        cmake --build build/bench/native --target engine-throughput; } >>build/bench/build.log 2>&1; then
    echo "bench: the native build failed; the end of build/bench/build.log:"
    tail -n 30 build/bench/build.log
    exit 1
fi
exec python3 tools/bench.py --exe build/windows/autoguider-bridge.exe \
    --driver build/windows/tests/e2e/dialog-driver.exe --prefix build/bench/wine \
    --throughput build/bench/native/tools/bench/engine-throughput --out docs/performance.md
