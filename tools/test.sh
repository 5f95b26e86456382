#!/bin/bash
# Sets everything up (Debian 12, as root) and runs all tests: the native engine build with ASan and
# UBSan, the same tests with ThreadSanitizer, short runs of the fuzz targets, then the Windows build
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset native
cmake --build --preset native
ctest --preset native
cmake --preset native-tsan
cmake --build --preset native-tsan
ctest --preset native-tsan
cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
