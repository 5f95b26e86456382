#!/bin/bash
# The Event Log after a simulated night (a probe, not a test): runs tools/bench/event_log_night.cpp
# from the windows build under Wine on an X server of its own, prints its times to show and to save
# 130,000 events, the resident memory that the filled store and then the shown window add, and
# saves a picture of the window as the screen shows it.
#
#   bash tools/event-log-night.sh [folder]      (default build/bench; the picture is
#                                                event-log-night.png there)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/bench}")
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$out"
fi
cmake --build --preset windows --target event-log-night >/dev/null
mkdir -p "$out"
resident() { # the probe's resident set, in KiB: of the process that Wine names after it
    awk '/^VmRSS/ { print $2 }' "/proc/$(pgrep -x 'event-log-night')/status"
}
# A Wine prefix of its own, whose windows draw their own caption, as the end-to-end tests' do.
export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
PYTHONPATH=tests/e2e python3 -c 'import sys, bridgehost; bridgehost.prepare_prefix(sys.argv[1])' \
    "$WINEPREFIX"
coproc PROBE { wine build/windows/tools/bench/event-log-night.exe "Z:${out//\//\\}" 2>/dev/null; }
exec {to_probe}>&"${PROBE[1]}"
while read -r line <&"${PROBE[0]}"; do
    line=${line%$'\r'} # the Windows console's line ends
    case $line in
    "stage: started") base=$(resident) ;;
    "stage: store filled") filled=$(resident)
        echo "store filled: resident +$(( (filled - base) / 1024 )) MiB" ;;
    window:*) read -r _ left top right bottom <<<"$line"; continue ;;
    "stage: shown")
        sleep 1 # the last paint
        echo "window shown: resident +$(( ($(resident) - filled) / 1024 )) MiB more"
        import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage \
            "$out/event-log-night.png"
        echo "picture: $out/event-log-night.png" ;;
    *) echo "$line"; continue ;;
    esac
    echo >&"$to_probe"
done
wait
