#!/bin/bash
# Runs the bridge on Linux under Wine, with its COM ports mapped to serial devices of this machine.
#
# usage: tools/run-on-linux.sh [--prefix DIR] [--exe FILE] MAPPING...
#   MAPPING is COMn=DEVICE (COM3=/dev/ttyUSB0), or just DEVICE: plain devices become COM1, COM2, ...
#   in the order given. Example:
#     tools/run-on-linux.sh /dev/ttyUSB0 /dev/ttyUSB1
#   makes COM1 the guiding software's line and COM2 the mount's line; choose COM1 as the incoming
#   port and COM2 as the outgoing port in the dialog.
#   --prefix DIR  the Wine prefix to use (default: $BRIDGE_WINEPREFIX, or
#                 ~/.local/share/quillfen-bridge/wine); made on first use
#   --exe FILE    the program (default: build/windows/autoguider-bridge.exe of this checkout)
# The mappings are kept in the prefix (registry key HKLM\Software\Wine\Ports), so later runs may
# name no devices at all. While the bridge runs, the computer is kept from sleeping (systemd-inhibit,
# where there is one); Ctrl+C or SIGTERM ends the bridge as a Windows session end does: the mount
# is halted first.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${BRIDGE_WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/quillfen-bridge/wine}"
exe="$here/build/windows/autoguider-bridge.exe"

fail() {
    echo "run-on-linux: $*" >&2
    exit 1
}

ports=()
devices=()
next=1
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) [ $# -ge 2 ] || fail "--prefix needs a folder"; prefix="$2"; shift 2 ;;
        --exe) [ $# -ge 2 ] || fail "--exe needs a file"; exe="$2"; shift 2 ;;
        -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        [Cc][Oo][Mm][0-9]*=*)
            port="${1%%=*}"
            ports+=("${port:3}")
            devices+=("${1#*=}")
            shift ;;
        -*) fail "unknown option $1 (see --help)" ;;
        *) ports+=("$next"); devices+=("$1"); next=$((next + 1)); shift ;;
    esac
done

command -v wine >/dev/null || fail "wine is not installed (Debian: apt-get install wine wine64)"
[ -f "$exe" ] || fail "no program at $exe; build it first: cmake --preset windows && cmake --build --preset windows"

for i in "${!ports[@]}"; do
    port="${ports[$i]}"
    device="${devices[$i]}"
    [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 255 ] ||
        fail "COM$port: the bridge can use COM1 to COM255"
    for j in "${!ports[@]}"; do
        [ "$j" -eq "$i" ] || [ "${ports[$j]}" -ne "$port" ] || fail "COM$port is mapped twice"
    done
    [ -c "$device" ] || fail "$device is not a serial device"
    [ -r "$device" ] && [ -w "$device" ] ||
        fail "no permission to use $device (add yourself to its group, e.g. dialout, and log in again)"
done

export WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "run-on-linux: preparing the Wine prefix $WINEPREFIX (first run only, takes a while)"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi

# Wine makes its COM ports from this key when its server starts (and would replace a plain link in
# dosdevices with a device it found itself). A changed mapping therefore waits for the server to
# end, so that the program starts with a fresh one.
changed=0
for i in "${!ports[@]}"; do
    entry="\"COM${ports[$i]}\"=\"${devices[$i]}\""
    if ! grep -qxF "$entry" "$WINEPREFIX/system.reg" 2>/dev/null; then
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM${ports[$i]}" /t REG_SZ /d "${devices[$i]}" \
            /f >/dev/null 2>&1 || fail "could not record COM${ports[$i]} in $WINEPREFIX"
        changed=1
    fi
    echo "run-on-linux: COM${ports[$i]} -> ${devices[$i]}"
done
if [ "$changed" -eq 1 ]; then
    echo "run-on-linux: waiting for Wine to take up the ports (other programs in this prefix must end)"
    wineserver -w
fi

# Under Wine the program's request to keep the computer awake reaches nothing (Wine's
# SetThreadExecutionState is a stub), so the script asks the host itself, where systemd can.
awake=()
if command -v systemd-inhibit >/dev/null &&
    systemd-inhibit --what=sleep:idle --who=check --why=check true >/dev/null 2>&1; then
    awake=(systemd-inhibit --what=sleep:idle --who="Quillfen Autoguider Bridge"
           --why="The bridge is guiding the mount" --mode=block)
    echo "run-on-linux: this computer will not sleep while the bridge runs"
else
    echo "run-on-linux: cannot keep this computer awake (no systemd-inhibit here): turn sleep off"
fi

# Ctrl+C or a SIGTERM ends the program as Windows ends a session, so that it halts the mount and
# closes its ports before it goes. The program itself ignores SIGINT: Wine would end it at once.
end_session() {
    echo "run-on-linux: ending the bridge (the mount is halted first)"
    wineboot --end-session >/dev/null 2>&1 || true
}
trap end_session INT TERM
echo "run-on-linux: starting the bridge (close its window, or press Ctrl+C, to end)"
(trap '' INT; exec "${awake[@]}" wine "$exe") &
program=$!
status=0
while true; do
    wait "$program" && status=0 || status=$?
    # A signal ends the wait early (status above 128) while the program is still running.
    kill -0 "$program" 2>/dev/null || break
done
exit "$status"
