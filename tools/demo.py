#!/usr/bin/env python3
"""The demo session: starts the bridge under Wine, connects both links in its dialog, plays a
guiding program on the incoming port and a mount on the outgoing port for about half a minute,
prints every event as it happens, and saves screenshots of the dialog and of its Event Log.

usage: demo.py --exe EXE --driver DRIVER --prefix WINEPREFIX --out FOLDER"""
import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import bridgehost as host  # noqa: E402

IDENTIFY = [host.ACK, b":GVF#"]
POSITION = [b":GR#", b":GD#", b":GA#", b":GZ#", b":GS#", b":Gt#"]
# One guide correction per exposure: (RA pulse, Dec pulse), either may be missing.
CORRECTIONS = [
    (("w", 300), ("n", 150)), (("e", 800), None), (None, ("s", 500)), (("w", 1200), ("s", 250)),
    (("e", 400), ("n", 900)), (("w", 100), None), (None, ("s", 1500)), (("e", 200), ("n", 600)),
    (("w", 650), ("s", 350)), (("e", 1000), None), (None, ("n", 450)), (("w", 250), ("s", 800)),
    (("e", 550), ("n", 200)), (("w", 900), None),
]
EXPOSURE = 1.2  # seconds between the end of one correction and the next


class Trace:
    """One line per event: the time since the start, who, and what."""

    def __init__(self):
        self.start = time.monotonic()
        self.lock = threading.Lock()

    def line(self, who, text, when=None):
        when = time.monotonic() if when is None else when
        with self.lock:
            print("%6.2f s  %-7s %s" % (when - self.start, who, text), flush=True)


def shown(data):
    if data == host.ACK:
        return "ACK (0x06)"
    return "".join(chr(b) if 32 <= b < 127 else "<%02X>" % b for b in data)


def watch_mount(bridge, trace, stop):
    """Prints the mount's commands as they come, each halt with the time since its axis moved."""
    seen = 0
    moved = {}
    while not stop.is_set():
        frames = bridge.mount.wait_frames(seen + 1, 0.2)
        for when, text in frames[seen:]:
            axis = "ra" if text in (b":Mw#", b":Me#", b":Qw#") else "dec"
            if text.startswith(b":M"):
                moved[axis] = when
                trace.line("mount", "%s  move" % text.decode(), when)
            elif axis in moved:
                trace.line("mount", "%s  halt, %d ms after the move" % (
                    text.decode(), round((when - moved.pop(axis)) * 1000)), when)
            else:
                trace.line("mount", text.decode(), when)
        seen = len(frames)


def ask(bridge, trace, command, reply_length):
    start = len(bridge.guider.received)
    sent = bridge.guider.write(command)
    trace.line("guider", shown(command), sent)
    received = bridge.guider.wait_bytes(start + reply_length, 5)[start:]
    when = bridge.guider.time_of(len(bridge.guider.received) - 1) or time.monotonic()
    trace.line("bridge", "%s  (%d ms)" % (shown(received), round((when - sent) * 1000)), when)
    return received


REPLY_LENGTH = {host.ACK: 1, b":GVF#": 19, b":GR#": 9, b":GD#": 9, b":GA#": 10, b":GZ#": 7,
                b":GS#": 9, b":Gt#": 7}


def guide(bridge, trace, correction):
    """Sends one correction and waits until the mount has been halted for each of its pulses."""
    halts = 0
    start = len(bridge.mount.frames)
    for pulse in correction:
        if pulse is None:
            continue
        direction, milliseconds = pulse
        command = b":Mg%s%04d#" % (direction.encode(), milliseconds)
        sent = bridge.guider.write(command)
        ticks = host.ticks_for(milliseconds)
        trace.line("guider", "%s  pulse %s %d ms = %d tick%s" % (
            command.decode(), {"w": "west", "e": "east", "n": "north", "s": "south"}[direction],
            milliseconds, ticks, "" if ticks == 1 else "s"), sent)
        halts += 1
    longest = max(p[1] for p in correction if p) / 1000
    bridge.mount.wait(lambda line: sum(1 for _, text in line.frames[start:]
                                       if text.startswith(b":Q")) >= halts, longest + 5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--out", required=True)
    options = parser.parse_args()
    missing = host.tool_missing("wine", "wineserver", "Xvfb", "import")
    if missing:
        sys.exit("demo: missing tools: %s" % ", ".join(missing))

    if not os.path.exists(os.path.join(options.prefix, "system.reg")):
        print("demo: preparing Wine (first run only, takes up to a minute) ...", flush=True)
    bridge = host.Bridge(options.exe, options.driver, options.prefix,
                         log_folder=os.path.join(options.out, "logs"))
    with bridge:
        where = "on your display %s" % bridge.display if bridge.visible else \
            "on a virtual X display (%s); set DISPLAY to watch it" % bridge.display
        print("demo: the bridge is running under Wine, %s" % where)
        print("demo: guider on COM%d (incoming), mount on COM%d (outgoing)\n" % (
            bridge.incoming_port, bridge.outgoing_port))
        trace = Trace()
        stop = threading.Event()
        watcher = threading.Thread(target=watch_mount, args=(bridge, trace, stop), daemon=True)
        watcher.start()

        for port, selector, button, status, wanted in (
                (bridge.incoming_port, host.INCOMING_PORT, host.INCOMING_CONNECT,
                 host.INCOMING_STATUS, "Waiting..."),
                (bridge.outgoing_port, host.OUTGOING_PORT, host.OUTGOING_CONNECT,
                 host.OUTGOING_STATUS, "Port opened")):
            bridge.choose_port(selector, port)
            bridge.click(button)
            trace.line("dialog", "COM%d Connect -> %s" % (port, bridge.wait_text(status, wanted)))

        for command in IDENTIFY + POSITION:
            ask(bridge, trace, command, REPLY_LENGTH[command])
        trace.line("dialog", "incoming: %s, commands: %s" % (
            bridge.text(host.INCOMING_STATUS), bridge.text(host.COMMAND_COUNT)))

        for number, correction in enumerate(CORRECTIONS):
            time.sleep(EXPOSURE)
            ask(bridge, trace, POSITION[number % 2], 9)
            guide(bridge, trace, correction)
        time.sleep(2)  # let the charts take their last samples
        stop.set()
        watcher.join()
        trace.line("dialog", "incoming: %s, outgoing: %s, commands: %s" % (
            bridge.text(host.INCOMING_STATUS), bridge.text(host.OUTGOING_STATUS),
            bridge.text(host.COMMAND_COUNT)))

        os.makedirs(options.out, exist_ok=True)
        picture = bridge.screenshot(os.path.join(options.out, "screenshot.png"))
        print("\ndemo: screenshot of the dialog: %s" % os.path.abspath(picture))
        bridge.open_event_log()
        time.sleep(0.5)  # drawn
        picture = bridge.screenshot(os.path.join(options.out, "event-log.png"), window="log")
        print("demo: screenshot of the Event Log: %s" % os.path.abspath(picture))
        status = bridge.close_dialog()
        print("demo: dialog closed, the bridge ended with status %s" % status)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
