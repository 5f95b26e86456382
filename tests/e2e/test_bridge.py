#!/usr/bin/env python3
"""End-to-end tests of the bridge program: the real exe under Wine, worked through its dialog by
the dialog driver, with a simulated guider on its incoming COM port and a simulated mount on its
outgoing COM port.

usage: test_bridge.py --exe EXE --driver DRIVER --prefix WINEPREFIX --version X.Y.Z
                      [unittest options]"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bridgehost as host  # noqa: E402

MISSING_PORT = 200  # no device behind it in the prefix
LAST_ENTRY_PORT = 256  # the selectors' last entry, beyond what the program can open
QUERIES = [  # (command, reply) of every query the program answers
    (host.ACK, b"P"),
    (b":GA#", b"+00*00'00#"),
    (b":GD#", b"00*00'00#"),
    (b":GR#", b"00:00:00#"),
    (b":GS#", b"22:00:00#"),
    (b":GVF#", b"Meade Autostar 497#"),
    (b":GZ#", b"180*00#"),
    (b":Gt#", b"+47*00#"),
]
UNANSWERED = [b":GV#", b":GVP#", b":G#", b":Q#", b"::GR#", b":G\x06R#", b":Mgw#"]
SCHEDULING_MARGIN = 0.05  # seconds granted to Wine and the host on top of whole ticks
WINDOW_MENU_ABOUT = 0x0020
CLIENT_PORT = 31  # the bridge's end of the pty pair that carries the INDI client
CLIENT_DEVICE = "LX200 Classic"
CLIENT_TOOLS = ("socat", "indiserver", "indi_lx200classic", "indi_getprop", "indi_setprop")

options = None
bridge = None


def setUpModule():
    global bridge
    bridge = host.Bridge(options.exe, options.driver, options.prefix, visible=False,
                         log_folder=os.path.join(options.prefix, "logs"))
    bridge.start()


def tearDownModule():
    if bridge:
        bridge.stop()


class BridgeCase(unittest.TestCase):
    """Helpers shared by the groups below; all of them work on the one running bridge."""

    def expect_text(self, control, wanted, timeout=15):
        self.assertEqual(bridge.wait_text(control, wanted, timeout), wanted,
                         "control %d" % control)

    def expect_count(self, wanted):
        """The count field shows the number and keeps showing it: every report that could change it
        was posted before the reply that the caller has already received."""
        wanted = str(wanted)
        deadline = time.monotonic() + 15
        steady = 0
        while steady < 4 and time.monotonic() < deadline:
            steady = steady + 1 if bridge.text(host.COMMAND_COUNT) == wanted else 0
            time.sleep(0.05)
        self.assertEqual(bridge.text(host.COMMAND_COUNT), wanted)

    def fresh_incoming(self):
        """The incoming link opened anew: its command count starts again from zero."""
        bridge.click(host.INCOMING_DISCONNECT)
        bridge.wait_text(host.INCOMING_STATUS, ("Connection closed.", "Port is not opened yet."))
        bridge.connect_incoming()
        self.expect_text(host.INCOMING_STATUS, "Waiting...")

    def outgoing_open(self):
        bridge.connect_outgoing()
        wanted = ("Port opened", "Already opened.")
        self.assertIn(bridge.wait_text(host.OUTGOING_STATUS, wanted), wanted)

    def query(self, command, reply_length, timeout=5):
        """Sends one command on the incoming line; returns the reply of that length."""
        start = len(bridge.guider.received)
        bridge.guider.write(command)
        received = bridge.guider.wait_bytes(start + reply_length, timeout)
        return received[start:]

    def pulse(self, direction, milliseconds, frames=2):
        """Sends a pulse-guide command; returns (time sent, the next frames on the mount line)."""
        start = len(bridge.mount.frames)
        sent = bridge.guider.write(b":Mg%s%04d#" % (direction.encode(), milliseconds))
        timeout = host.ticks_for(milliseconds) * host.TICK * 1.5 + 5
        received = bridge.mount.wait_frames(start + frames, timeout)
        self.assertGreaterEqual(len(received), start + frames,
                                "mount received %r" % received[start:])
        return sent, [text for _, text in received[start:start + frames]]


class DialogTests(BridgeCase):
    def test_port_selectors_and_empty_fields_at_start(self):
        for selector in (host.INCOMING_PORT, host.OUTGOING_PORT):
            self.assertEqual(bridge.ask("entries %d" % selector), "256")
            self.assertEqual(bridge.ask("entry %d 0" % selector), "COM1")
            self.assertEqual(bridge.ask("entry %d 6" % selector), "COM7")
            self.assertEqual(bridge.ask("entry %d 255" % selector), "COM256")
            self.assertEqual(bridge.text(selector), "COM1")
        for field in (host.INCOMING_STATUS, host.COMMAND_COUNT, host.OUTGOING_STATUS):
            self.assertEqual(bridge.text(field), "")

    def test_window_menu_opens_the_about_box_with_the_version_and_the_icon(self):
        bridge.ask("syscommand %d" % WINDOW_MENU_ABOUT)
        shown = bridge.ask("about 10000").split("\t")
        self.assertEqual(shown[0], "1", "no icon in the About box")
        for text in ("Quillfen Autoguider Bridge", "Version " + options.version,
                     "Free software under the MIT License."):
            self.assertIn(text, shown[1:])
        # Asked again while it is open, the program keeps to the one About box: OK, posted after
        # the second request, leaves none.
        bridge.ask("syscommand %d" % WINDOW_MENU_ABOUT)
        bridge.ask("about-ok")
        deadline = time.monotonic() + 10
        while self.about_is_open() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(self.about_is_open())

    @staticmethod
    def about_is_open():
        try:
            bridge.ask("about 0")
            return True
        except host.DriverError:
            return False

class LinkStatusTests(BridgeCase):
    def test_incoming_link_statuses(self):
        bridge.click(host.INCOMING_DISCONNECT)
        self.expect_text(host.INCOMING_STATUS, "Port is not opened yet.")
        bridge.connect_incoming(MISSING_PORT)
        self.expect_text(host.INCOMING_STATUS, "Cannot open port.")
        bridge.click(host.INCOMING_DISCONNECT)
        self.expect_text(host.INCOMING_STATUS, "Port is not opened yet.")
        bridge.connect_incoming(LAST_ENTRY_PORT)
        self.expect_text(host.INCOMING_STATUS, "Cannot open port.")

        bridge.connect_incoming()
        self.expect_text(host.INCOMING_STATUS, "Waiting...")
        bridge.click(host.INCOMING_CONNECT)
        self.expect_text(host.INCOMING_STATUS, "Already opened.")
        self.assertEqual(self.query(host.ACK, 1), b"P")
        self.expect_text(host.INCOMING_STATUS, "Ready")
        self.assertEqual(self.query(b":GR#", 9), b"00:00:00#")
        self.expect_count(2)

        bridge.click(host.INCOMING_DISCONNECT)
        self.expect_text(host.INCOMING_STATUS, "Connection closed.")
        bridge.connect_incoming()
        self.expect_text(host.INCOMING_STATUS, "Waiting...")
        # The reopened link answers, and its count starts again.
        self.assertEqual(self.query(b":GD#", 9), b"00*00'00#")
        self.expect_text(host.INCOMING_STATUS, "Ready")
        self.expect_count(1)

    def test_outgoing_link_statuses(self):
        self.fresh_incoming()
        bridge.click(host.OUTGOING_DISCONNECT)
        if bridge.wait_text(host.OUTGOING_STATUS, ("Connection closed.", "Port is not opened yet.")
                            ) == "Connection closed.":
            bridge.click(host.OUTGOING_DISCONNECT)
        self.expect_text(host.OUTGOING_STATUS, "Port is not opened yet.")
        bridge.connect_outgoing(MISSING_PORT)
        self.expect_text(host.OUTGOING_STATUS, "Cannot open port.")
        bridge.connect_outgoing()
        self.expect_text(host.OUTGOING_STATUS, "Port opened")
        bridge.click(host.OUTGOING_CONNECT)
        self.expect_text(host.OUTGOING_STATUS, "Already opened.")
        bridge.click(host.OUTGOING_DISCONNECT)
        self.expect_text(host.OUTGOING_STATUS, "Connection closed.")
        bridge.connect_outgoing()
        self.expect_text(host.OUTGOING_STATUS, "Port opened")
        # The reopened link carries the mount's commands.
        _, frames = self.pulse("n", 100)
        self.assertEqual(frames, [b":Mn#", b":Qn#"])


class ProtocolTests(BridgeCase):
    def script(self):
        """Every query, the unanswered commands and bytes between commands that are no command at
        all, ending in an ACK; returns (bytes to send, expected replies, commands in it)."""
        sent, replies = b"", b""
        for command, reply in QUERIES:
            sent += command + b"\r\n "
            replies += reply
        sent += b"#".join(UNANSWERED) + b"x" + host.ACK
        replies += b"P"
        return sent, replies, len(QUERIES) + len(UNANSWERED) + 1

    def check_replies(self, rate):
        self.fresh_incoming()
        sent, replies, commands = self.script()
        start = len(bridge.guider.received)
        bridge.guider.write(sent, rate)
        received = bridge.guider.wait_bytes(start + len(replies), 15)[start:]
        self.assertEqual(received, replies)
        self.expect_count(commands)
        self.expect_text(host.INCOMING_STATUS, "Ready")

    def test_replies_byte_for_byte_in_one_burst(self):
        self.check_replies(rate=None)

    def test_replies_byte_for_byte_at_line_rate(self):
        self.check_replies(rate=960)  # 9600 baud, 8N1: one byte at a time

    def test_each_reply_alone(self):
        self.fresh_incoming()
        for command, reply in QUERIES:
            self.assertEqual(self.query(command, len(reply)), reply, command)
        self.expect_count(len(QUERIES))


class PulseTests(BridgeCase):
    """Pulses become moves and halts: the move on the first tick after the command, the halt n - 1
    ticks after the move for a pulse of n ticks."""

    def setUp(self):
        self.fresh_incoming()
        self.outgoing_open()

    def test_pulses_in_all_directions_keep_their_ticks(self):
        pulses = [("w", 100), ("e", 250), ("n", 1000), ("s", 50), ("w", 1500), ("n", 101),
                  ("e", 700), ("s", 300), ("w", 2000)]
        measured = []
        for direction, milliseconds in pulses:
            sent, frames = self.pulse(direction, milliseconds)
            self.assertEqual(frames, [b":M%s#" % direction.encode(), host.HALT[direction]],
                             "%s %d ms" % (direction, milliseconds))
            (moved, _), (halted, _) = bridge.mount.frames[-2:]
            measured.append((host.ticks_for(milliseconds), moved - sent, halted - moved))

        # The mean tick as the bridge kept it: the slope of move-to-halt time over n - 1.
        tick = (sum((n - 1) * interval for n, _, interval in measured) /
                sum((n - 1) ** 2 for n, _, _ in measured))
        self.assertAlmostEqual(tick, host.TICK, delta=0.025)
        for n, latency, interval in measured:
            self.assertLessEqual(latency, 2 * tick + SCHEDULING_MARGIN, "move of %d ticks" % n)
            if n == 1:  # the move and the halt go out in the same tick
                self.assertLess(interval, tick / 2)
            else:
                self.assertAlmostEqual(interval, (n - 1) * tick, delta=tick + SCHEDULING_MARGIN,
                                       msg="pulse of %d ticks" % n)

    def test_pulses_on_both_axes_at_once(self):
        start = len(bridge.mount.frames)
        bridge.guider.write(b":Mgw0500#:Mgn0200#")
        frames = bridge.mount.wait_frames(start + 4, 10)[start:]
        self.assertEqual([text for _, text in frames], [b":Mw#", b":Mn#", b":Qn#", b":Qw#"])
        self.assertLess(frames[1][0] - frames[0][0], host.TICK / 2)  # the same tick
        self.assertAlmostEqual(frames[2][0] - frames[1][0], host.TICK,
                               delta=host.TICK + SCHEDULING_MARGIN)
        self.assertAlmostEqual(frames[3][0] - frames[0][0], 4 * host.TICK,
                               delta=host.TICK + SCHEDULING_MARGIN)

    def test_west_and_east_together_share_one_halt(self):
        start = len(bridge.mount.frames)
        bridge.guider.write(b":Mgw0300#:Mge0300#")
        bridge.mount.wait_frames(start + 3, 10)
        # A pulse on the other axis marks the end: nothing more of the first may come before it.
        self.pulse("s", 100)
        self.assertEqual([text for _, text in bridge.mount.frames[start:start + 5]],
                         [b":Mw#", b":Me#", b":Qw#", b":Ms#", b":Qn#"])

    def test_new_pulse_replaces_running_one(self):
        start = len(bridge.mount.frames)
        bridge.guider.write(b":Mgw2000#")
        bridge.mount.wait_frames(start + 1, 5)
        bridge.guider.write(b":Mgw0300#")
        frames = bridge.mount.wait_frames(start + 3, 10)[start:]
        self.assertEqual([text for _, text in frames], [b":Mw#", b":Mw#", b":Qw#"])
        # The halt keeps the new pulse's time, counted from its own move.
        self.assertAlmostEqual(frames[2][0] - frames[1][0], 2 * host.TICK,
                               delta=host.TICK + SCHEDULING_MARGIN)

    def test_malformed_pulses_are_counted_and_move_nothing(self):
        start = len(bridge.mount.frames)
        bridge.guider.write(b":MgW0500#:Mgw0000#:Mgw#:Mgx0500#:Mg#")
        _, frames = self.pulse("e", 100)
        self.assertEqual(frames, [b":Me#", b":Qw#"])
        self.assertEqual(len(bridge.mount.frames), start + 2)
        self.expect_count(6)


class EventLogTests(BridgeCase):
    def test_the_event_log_shows_what_passed_in_order_with_the_mounts_timing(self):
        bridge.open_event_log()
        self.fresh_incoming()
        self.outgoing_open()
        self.assertEqual(self.query(host.ACK, 1), b"P")
        self.assertEqual(self.query(b":GR#", 9), b"00:00:00#")
        mount_times = []
        for direction, milliseconds in (("w", 500), ("n", 300)):
            self.pulse(direction, milliseconds)
            (moved, _), (halted, _) = bridge.mount.frames[-2:]
            mount_times.append(halted - moved)

        deadline = time.monotonic() + 10
        lines = []
        while time.monotonic() < deadline:
            lines = bridge.event_log_lines(last=40)
            if lines and lines[-1].endswith("Halt :Qn#"):
                break
            time.sleep(0.1)
        opened = max(i for i, line in enumerate(lines) if line.endswith("COM7: Opening port..."))
        session = [line.split(None, 1)[1] for line in lines[opened:]]
        self.assertIn(session[2], ("Outgoing COM8: Port opened", "Outgoing COM8: Already opened."))
        self.assertEqual(session[:2] + session[3:], [
            "Incoming COM7: Opening port...", "Incoming COM7: Waiting...",
            "Received <06>", "Incoming COM7: Ready", "Sent P",
            "Received :GR#", "Sent 00:00:00#",
            "Received :Mgw0500#", "Pulse west 500 ms, 5 ticks", "Move :Mw#", "Halt :Qw#",
            "Received :Mgn0300#", "Pulse north 300 ms, 3 ticks", "Move :Mn#", "Halt :Qn#"])
        times = [host.log_time(line) for line in lines[opened:]]
        self.assertEqual(times, sorted(times))
        moves = [t for t, line in zip(times, session) if line.startswith("Move")]
        halts = [t for t, line in zip(times, session) if line.startswith("Halt")]
        for move, halt, on_the_line in zip(moves, halts, mount_times):
            self.assertAlmostEqual(halt - move, on_the_line, delta=0.010)


class ClientTests(BridgeCase):
    """A real guiding client: INDI's LX200 Classic driver under indiserver, reaching the bridge's
    incoming port through a socat pty pair, worked with INDI's own command-line tools."""

    def setUp(self):
        missing = host.tool_missing(*CLIENT_TOOLS)
        if missing:
            self.skipTest("no INDI client: %s missing (tools/setup.sh installs indi-bin and socat)"
                          % ", ".join(missing))
        self.began = time.monotonic()
        folder = tempfile.mkdtemp(prefix="client-", dir=options.prefix)
        self.addCleanup(shutil.rmtree, folder, True)
        self.client_end, bridge_end = (os.path.join(folder, name) for name in ("client", "bridge"))
        self.start("socat", "pty,raw,echo=0,link=" + self.client_end,
                   "pty,raw,echo=0,link=" + bridge_end)
        self.wait_for(lambda: os.path.exists(self.client_end) and os.path.exists(bridge_end), 10,
                      "the pty pair")
        link = os.path.join(options.prefix, "dosdevices", "com%d" % CLIENT_PORT)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.realpath(bridge_end), link)
        self.addCleanup(os.unlink, link)

        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.server_port = probe.getsockname()[1]
        # A home of its own, so that no saved driver configuration takes part.
        server = self.start("indiserver", "-p", str(self.server_port),
                            "-u", os.path.join(folder, "indiserver"), "indi_lx200classic",
                            env=dict(os.environ, HOME=folder))
        self.wait_for(lambda: server.poll() is not None or self.get("CONNECTION._STATE"), 30,
                      "indiserver")
        self.assertIsNone(server.poll(), "indiserver ended; see indiserver.log")

        self.outgoing_open()
        bridge.click(host.INCOMING_DISCONNECT)
        bridge.connect_incoming(CLIENT_PORT)
        self.addCleanup(bridge.click, host.INCOMING_DISCONNECT)
        self.expect_text(host.INCOMING_STATUS, "Waiting...")

    def start(self, *command, env=None):
        """Starts a program in a process group of its own, ended with everything it started when
        the test is over."""
        log = open(os.path.join(bridge.log_folder, command[0] + ".log"), "wb")
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)

        def end():
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                    process.wait(10)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
            log.close()

        self.addCleanup(end)
        return process

    def wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "waited %d s for %s" % (timeout, what))
            time.sleep(0.1)

    def indi(self, wait, *arguments):
        """Runs one of INDI's tools (with its arguments) on the client's device at our server."""
        return subprocess.run([arguments[0], "-h", "127.0.0.1", "-p", str(self.server_port),
                               "-t", str(wait), *arguments[1:-1],
                               "%s.%s" % (CLIENT_DEVICE, arguments[-1])],
                              capture_output=True, text=True, timeout=wait + 30)

    def get(self, prop, wait=2):
        """The value of one element or attribute of the client's device, or "" when it has not
        answered in time (the driver answers nothing while it waits on the line)."""
        return self.indi(wait, "indi_getprop", "-1", prop).stdout.strip()

    def set(self, setting):
        result = self.indi(5, "indi_setprop", setting)
        self.assertEqual(result.returncode, 0, "%s: %s" % (setting, result.stderr))

    def test_indi_connects_and_guides_in_all_four_directions(self):
        self.set("DEVICE_AUTO_SEARCH.INDI_DISABLED=On")
        self.set("DEVICE_PORT.PORT=" + self.client_end)
        asked = time.monotonic()
        self.set("CONNECTION.CONNECT=On")
        # It waits out every query the bridge leaves unanswered: most of a minute.
        self.wait_for(lambda: self.get("CONNECTION._STATE", 5) in ("Ok", "Alert"), 120,
                      "the client to connect")
        connected = time.monotonic() - asked
        self.assertEqual(self.get("CONNECTION._STATE"), "Ok")
        self.expect_text(host.INCOMING_STATUS, "Ready")
        self.set("Use Pulse Cmd.On=On")
        self.assertEqual(self.get("Use Pulse Cmd.On"), "On")

        measured = []
        for direction, milliseconds in (("w", 500), ("e", 300), ("n", 1000), ("s", 200)):
            guide = "TELESCOPE_TIMED_GUIDE_" + ("WE" if direction in "we" else "NS")
            start = len(bridge.mount.frames)
            self.set("%s.TIMED_GUIDE_%s=%d" % (guide, direction.upper(), milliseconds))
            frames = bridge.mount.wait_frames(start + 2, milliseconds / 1000 * 1.5 + 10)
            self.assertEqual([text for _, text in frames[start:]],
                             [b":M%s#" % direction.encode(), host.HALT[direction]], direction)
            (moved, _), (halted, _) = frames[start:]
            n = host.ticks_for(milliseconds)
            measured.append("%s %d ms: %.3f s" % (direction, milliseconds, halted - moved))
            self.assertAlmostEqual(halted - moved, (n - 1) * host.TICK,
                                   delta=host.TICK + SCHEDULING_MARGIN, msg=measured[-1])
            # The client's own pulse timer has run out before the next pulse on that axis.
            self.wait_for(lambda: self.get(guide + "._STATE") not in ("Busy", ""), 10,
                          "the end of the %s pulse" % direction)
        print("\nINDI client: connected in %.1f s, test %.1f s; move to halt: %s"
              % (connected, time.monotonic() - self.began, ", ".join(measured)), file=sys.stderr)


def cpu_seconds(pid):
    """User and system time that the process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pid():
    """The Wine server of our prefix (the one whose environment names it), or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            program = os.path.basename(os.readlink("/proc/%s/exe" % entry))
            if not program.startswith("wineserver"):
                continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if ("WINEPREFIX=%s" % bridge.prefix).encode() in environ.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


class FaultTests(BridgeCase):
    def replug(self, old):
        """A new device behind the COM port of a line that was pulled out."""
        return host.Line(os.path.join(bridge.prefix, "dosdevices"), old.port)

    def test_a_guider_line_that_vanishes_and_comes_back(self):
        self.fresh_incoming()
        self.assertEqual(self.query(b":GR#", 9), b"00:00:00#")
        server = wineserver_pid()
        watched = [bridge.process.pid] + ([server] if server else [])
        before = [cpu_seconds(pid) for pid in watched]
        lost = time.monotonic()
        bridge.guider.hang_up()
        self.expect_text(host.INCOMING_STATUS, "Connection closed.", timeout=10)
        took = time.monotonic() - lost
        self.assertLess(took, 5.0)
        used = [cpu_seconds(pid) - start for pid, start in zip(watched, before)]
        self.assertLess(max(used), 0.5, "CPU seconds used while the line was gone")

        bridge.click(host.INCOMING_DISCONNECT)
        self.expect_text(host.INCOMING_STATUS, "Port is not opened yet.", timeout=5)
        bridge.guider = self.replug(bridge.guider)
        bridge.connect_incoming()
        self.expect_text(host.INCOMING_STATUS, "Waiting...")
        self.assertEqual(self.query(b":GVF#", 19), b"Meade Autostar 497#")
        self.expect_text(host.INCOMING_STATUS, "Ready")
        self.expect_count(1)

    def test_a_mount_line_that_vanishes_and_comes_back(self):
        self.fresh_incoming()
        self.outgoing_open()
        _, frames = self.pulse("w", 100)
        self.assertEqual(frames, [b":Mw#", b":Qw#"])
        bridge.mount.hang_up()
        sent = bridge.guider.write(b":Mgn0100#")
        self.expect_text(host.OUTGOING_STATUS, "Connection closed.", timeout=10)
        took = time.monotonic() - sent
        self.assertLess(took, 3.0)
        # The guider's side goes on as before.
        self.assertEqual(self.query(b":GR#", 9), b"00:00:00#")
        self.assertEqual(bridge.text(host.INCOMING_STATUS), "Ready")
        self.expect_count(3)

        bridge.click(host.OUTGOING_DISCONNECT)
        self.expect_text(host.OUTGOING_STATUS, "Port is not opened yet.", timeout=5)
        bridge.mount = self.replug(bridge.mount)
        bridge.connect_outgoing()
        self.expect_text(host.OUTGOING_STATUS, "Port opened")
        _, frames = self.pulse("e", 100)
        self.assertEqual(frames, [b":Me#", b":Qw#"])

    def test_lines_that_vanish_and_come_back_are_reopened_by_themselves(self):
        """An adapter that drops out and comes back under the same name: the bridge opens it again
        by itself, with the statuses of a Connect, and the mount is halted first."""
        self.fresh_incoming()
        self.outgoing_open()
        _, frames = self.pulse("w", 100)
        self.assertEqual(frames, [b":Mw#", b":Qw#"])

        bridge.mount.hang_up()
        bridge.guider.write(b":Mgn0100#")
        self.expect_text(host.OUTGOING_STATUS, "Connection closed.", timeout=10)
        bridge.mount = self.replug(bridge.mount)
        returned = time.monotonic()
        self.expect_text(host.OUTGOING_STATUS, "Port opened", timeout=10)
        mount_back = time.monotonic() - returned
        frames = bridge.mount.wait_frames(2, 5)
        self.assertEqual([text for _, text in frames], [b":Qw#", b":Qn#"])
        _, frames = self.pulse("e", 100, frames=2)
        self.assertEqual(frames, [b":Me#", b":Qw#"])

        bridge.guider.hang_up()
        self.expect_text(host.INCOMING_STATUS, "Connection closed.", timeout=10)
        bridge.guider = self.replug(bridge.guider)
        returned = time.monotonic()
        self.expect_text(host.INCOMING_STATUS, "Waiting...", timeout=10)
        guider_back = time.monotonic() - returned
        self.assertEqual(self.query(b":GR#", 9), b"00:00:00#")
        self.expect_text(host.INCOMING_STATUS, "Ready")
        self.expect_count(1)
        print("\nback after the device returned: mount %.2f s, guider %.2f s"
              % (mount_back, guider_back), file=sys.stderr)
        self.assertLess(mount_back, 5.0)
        self.assertLess(guider_back, 5.0)

    def test_a_mount_that_stops_reading_leaves_the_dialog_responsive(self):
        self.fresh_incoming()
        self.outgoing_open()
        self.assertGreater(bridge.mount.stall(), 0)
        bridge.guider.write(b":Mgw0300#:Mgn0300#")
        # The moves and halts wait for the mount's line; the guider's commands are answered at
        # once and counted meanwhile, while the halts fall due.
        slowest = 0.0
        for _ in range(10):
            asked = time.monotonic()
            self.assertEqual(self.query(b":GR#", 9, timeout=10), b"00:00:00#")
            slowest = max(slowest, time.monotonic() - asked)
            time.sleep(0.2)
        print("\nmount line stalled: the slowest of 10 replies took %.1f ms" % (slowest * 1000),
              file=sys.stderr)
        self.assertLess(slowest, 0.5, "a reply waited for the mount's line")
        self.expect_count(12)
        asked = time.monotonic()
        self.assertEqual(bridge.text(host.COMMAND_COUNT), "12")
        self.assertLess(time.monotonic() - asked, 1.0, "the dialog was slow to answer")

        clicked = time.monotonic()
        bridge.click(host.OUTGOING_DISCONNECT)
        self.expect_text(host.OUTGOING_STATUS, "Connection closed.", timeout=10)
        self.assertLess(time.monotonic() - clicked, 5.0)

        # Once the mount reads again, a new connection carries its commands whole.
        bridge.mount.resume()
        bridge.connect_outgoing()
        self.expect_text(host.OUTGOING_STATUS, "Port opened")
        _, frames = self.pulse("s", 100)
        self.assertEqual(frames, [b":Ms#", b":Qn#"])


class ShutdownTests(BridgeCase):
    def test_closing_during_pulses_with_the_event_log_open_halts_both_and_ends_in_two_seconds(
            self):
        self.fresh_incoming()
        self.outgoing_open()
        start = len(bridge.mount.frames)
        bridge.guider.write(b":Mge9000#:Mgn9000#")
        bridge.mount.wait_frames(start + 2, 5)
        bridge.open_event_log()  # and it goes with the dialog
        closed = time.monotonic()
        self.assertEqual(bridge.close_dialog(timeout=30), 0)
        ended = time.monotonic()
        self.assertLess(ended - closed, 2.0, "the program took too long to end")
        # The halts were written by the program itself, so they were on the line before it ended.
        frames = bridge.mount.wait_frames(start + 4, 5)[start:]
        self.assertEqual([text for _, text in frames], [b":Me#", b":Mn#", b":Qw#", b":Qn#"])


class OwnBridgeCase(unittest.TestCase):
    """Groups that end their program in a way of their own, each on a bridge of its own: the shared
    one has ended by now."""

    def setUp(self):
        bridge.stop()

    def own_bridge(self, incoming_port, outgoing_port, logs):
        return host.Bridge(options.exe, options.driver, options.prefix, incoming_port,
                           outgoing_port, visible=False,
                           log_folder=os.path.join(options.prefix, logs))


class SessionEndTests(OwnBridgeCase):
    """Windows ends the session (shut down, log off) while pulses run: the program is ended as soon
    as it has answered, so it halts the mount first. Its own bridge, for wineboot ends every
    program of the prefix."""

    def test_the_end_of_the_session_mid_pulse_halts_the_mount_before_the_program_goes(self):
        with self.own_bridge(29, 30, "logs-session") as ending:
            ending.connect_incoming()
            self.assertEqual(ending.wait_text(host.INCOMING_STATUS, "Waiting..."), "Waiting...")
            ending.connect_outgoing()
            self.assertEqual(ending.wait_text(host.OUTGOING_STATUS, "Port opened"), "Port opened")
            ending.guider.write(b":Mgw9000#:Mgn9000#")
            frames = ending.mount.wait_frames(2, 10)
            self.assertEqual([text for _, text in frames], [b":Mw#", b":Mn#"])
            subprocess.run(["wineboot", "--end-session"], timeout=120, check=False,
                           env=host.wine_environment(options.prefix, ending.display),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            frames = ending.mount.wait_frames(4, 10)
            self.assertEqual([text for _, text in frames], [b":Mw#", b":Mn#", b":Qw#", b":Qn#"])
            self.assertIsNotNone(ending.process.wait(30), "the program did not end")


class StalledGuiderTests(OwnBridgeCase):
    """A guiding program that stops reading its line: the replies cannot go, yet the pulses keep
    their timing, and closing ends the program with the mount halted."""

    def test_a_stalled_guider_line_holds_neither_the_pulses_nor_the_end(self):
        with self.own_bridge(35, 36, "logs-stalled") as stalled:
            stalled.connect_incoming()
            self.assertEqual(stalled.wait_text(host.INCOMING_STATUS, "Waiting..."), "Waiting...")
            stalled.connect_outgoing()
            self.assertEqual(stalled.wait_text(host.OUTGOING_STATUS, "Port opened"), "Port opened")
            stalled.guider.stop_reading()
            stalled.guider.write(b":GR#:GD#:GS#")
            figures = []
            for direction, milliseconds in (("w", 300), ("n", 800), ("e", 1500)):
                start = len(stalled.mount.frames)
                stalled.guider.write(b":Mg%s%04d#:GR#:GD#" % (direction.encode(), milliseconds))
                frames = stalled.mount.wait_frames(start + 2, 10)[start:start + 2]
                self.assertEqual([text for _, text in frames],
                                 [b":M%s#" % direction.encode(), host.HALT[direction]])
                interval = frames[1][0] - frames[0][0]
                wanted = (host.ticks_for(milliseconds) - 1) * host.TICK
                figures.append("%s %d ms: %.1f ms for %.0f" % (direction, milliseconds,
                                                               interval * 1000, wanted * 1000))
                # As the other pulse tests allow a busy host; held behind the replies, the halt
                # came seconds late.
                self.assertAlmostEqual(interval, wanted, delta=host.TICK + SCHEDULING_MARGIN,
                                       msg="a pulse of %d ms" % milliseconds)

            start = len(stalled.mount.frames)
            stalled.guider.write(b":Mgw9000#" + b":GR#" * 20)
            self.assertEqual(stalled.mount.wait_frames(start + 1, 5)[start][1], b":Mw#")
            closed = time.monotonic()
            self.assertEqual(stalled.close_dialog(timeout=30), 0)
            ended = time.monotonic() - closed
            frames = stalled.mount.wait_frames(start + 2, 5)[start:]
            self.assertEqual([text for _, text in frames], [b":Mw#", b":Qw#"])
            halted = frames[1][0] - closed
            print("\nguider line stalled: %s; closed: halted after %.0f ms, ended after %.0f ms"
                  % ("; ".join(figures), halted * 1000, ended * 1000), file=sys.stderr)
            self.assertLess(ended, 3.0, "the program took too long to end")


class SaveBoxTests(OwnBridgeCase):
    """The Event Log's Save box runs a message loop of its own above the dialog's: closing the
    dialog under it still ends the program at once."""

    def test_closing_with_the_save_box_open_ends_the_program_within_a_second(self):
        with self.own_bridge(31, 32, "logs-save") as saving:
            saving.open_event_log()
            saving.open_save_box()
            closed = time.monotonic()
            self.assertEqual(saving.close_dialog(timeout=30), 0)
            self.assertLess(time.monotonic() - closed, 1.0, "the program took too long to end")


class LinuxScriptTests(unittest.TestCase):
    """The Linux run script maps COM ports to device paths. Here the devices are the lines' own
    pseudo-terminals, under port numbers that nothing else links."""

    PORTS = (27, 28)

    def setUp(self):
        bridge.stop()  # the script needs the prefix to itself while it records the ports

    def tearDown(self):
        env = host.wine_environment(options.prefix)
        for port in self.PORTS:
            subprocess.run(["wine", "reg", "delete", "HKLM\\Software\\Wine\\Ports", "/v",
                            "COM%d" % port, "/f"], env=env, capture_output=True, check=False)
            link = os.path.join(options.prefix, "dosdevices", "com%d" % port)
            if os.path.lexists(link):
                os.unlink(link)
        subprocess.run(["wineserver", "-w"], env=env, check=False)

    def test_ports_mapped_by_the_script_carry_both_lines(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                              "run-on-linux.sh")

        def launch(mapped):
            return ["bash", script, "--prefix", options.prefix, "--exe", options.exe,
                    "COM%d=%s" % (self.PORTS[0], mapped.guider.device),
                    "COM%d=%s" % (self.PORTS[1], mapped.mount.device)]

        with host.Bridge(options.exe, options.driver, options.prefix, *self.PORTS, visible=False,
                         log_folder=os.path.join(options.prefix, "logs-script"),
                         launcher=launch) as mapped:
            mapped.connect_incoming()
            self.assertEqual(mapped.wait_text(host.INCOMING_STATUS, "Waiting..."), "Waiting...")
            mapped.connect_outgoing()
            self.assertEqual(mapped.wait_text(host.OUTGOING_STATUS, "Port opened"), "Port opened")
            mapped.guider.write(b":GVF#:Mgw0200#")
            self.assertEqual(mapped.guider.wait_bytes(19, 10), b"Meade Autostar 497#")
            frames = mapped.mount.wait_frames(2, 10)
            self.assertEqual([text for _, text in frames], [b":Mw#", b":Qw#"])
            # Stopped with SIGTERM (or Ctrl+C) mid-pulse: ended as a session end, the mount halted.
            mapped.guider.write(b":Mgn9000#")
            mapped.mount.wait_frames(3, 10)
            mapped.process.send_signal(signal.SIGTERM)
            frames = mapped.mount.wait_frames(4, 10)
            self.assertEqual([text for _, text in frames][2:], [b":Mn#", b":Qn#"])
            self.assertIsNotNone(mapped.process.wait(30), "the script did not end")


def load_tests(loader, tests, pattern):
    """The groups in this order: the dialog as it starts, then the links, the protocol, the pulses,
    the Event Log, a real guiding client, lines that fail, the end of the program and of the
    session, a guider that stops reading, the end under the Save box, and last the program started
    by the Linux run script."""
    suite = unittest.TestSuite()
    for group in (DialogTests, LinkStatusTests, ProtocolTests, PulseTests, EventLogTests,
                  ClientTests, FaultTests, ShutdownTests, SessionEndTests, StalledGuiderTests,
                  SaveBoxTests, LinuxScriptTests):
        suite.addTests(loader.loadTestsFromTestCase(group))
    return suite


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--version", required=True)
    options, rest = parser.parse_known_args()
    missing = host.tool_missing("wine", "wineserver", "Xvfb")
    if missing:
        sys.exit("e2e: missing tools: %s" % ", ".join(missing))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
