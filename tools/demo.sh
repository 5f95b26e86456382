#!/bin/bash
# The demo: installs what is missing, builds the program, and runs it under Wine between a
# simulated guiding program and a simulated mount for about half a minute, printing every event and
# saving a screenshot of the dialog (in a window of your display when DISPLAY is set, otherwise on
# a virtual one).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
bash tools/build-windows.sh build/demo/build.log
exec python3 tools/demo.py --exe build/windows/autoguider-bridge.exe \
    --driver build/windows/tests/e2e/dialog-driver.exe --prefix build/demo/wine --out build/demo
