#!/bin/bash
# Sets everything up (Debian 12, as root) and runs all tests: the native engine build with the
# sanitizers, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset native
cmake --build --preset native
ctest --preset native
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
