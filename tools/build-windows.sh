#!/bin/bash
# Configures the windows preset and builds the program and the dialog driver, showing the build's
# progress on one line; the full output goes to the log named as the first argument.
set -euo pipefail
cd "$(dirname "$0")/.."
log="${1:-build/windows-build.log}"
mkdir -p "$(dirname "$log")"
echo "build: configuring the Windows build (log: $log)"
if ! cmake --preset windows >"$log" 2>&1; then
    tail -n 30 "$log"
    exit 1
fi
progress() {
    local line
    while IFS= read -r line; do
        if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
            printf '\r\033[Kbuild: %3d%% (%s of %s steps)' \
                $((100 * BASH_REMATCH[1] / BASH_REMATCH[2])) "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
        fi
    done
}
if ! cmake --build --preset windows --target autoguider-bridge dialog-driver 2>&1 | tee -a "$log" |
        progress; then
    printf '\r\033[Kbuild: failed; the end of %s:\n' "$log"
    tail -n 30 "$log"
    exit 1
fi
printf '\r\033[Kbuild: done, build/windows/autoguider-bridge.exe\n'
