"""The real bridge under Wine, for the end-to-end tests, the demo and the benchmarks: a Wine prefix,
an X server when none is given, the program itself, our dialog driver, and the far ends of both
serial lines, pseudo-terminals linked as COM ports of the prefix. Standard library only."""
import fcntl
import os
import pty
import select
import shutil
import subprocess
import termios
import threading
import time
import tty

# Control ids of the bridge dialog.
INCOMING_PORT, INCOMING_CONNECT, INCOMING_DISCONNECT, INCOMING_STATUS = 100, 101, 102, 103
COMMAND_COUNT = 104
OUTGOING_PORT, OUTGOING_CONNECT, OUTGOING_DISCONNECT, OUTGOING_STATUS = 110, 111, 112, 113

ACK = b"\x06"
EVENT_LOG = 0x0010  # the window-menu command that opens the Event Log
TICK = 0.1  # the nominal heartbeat period, seconds
# The halt that ends a pulse in each direction: one per axis.
HALT = {"w": b":Qw#", "e": b":Qw#", "n": b":Qn#", "s": b":Qn#"}


def wine_environment(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if display:
        env["DISPLAY"] = display
    return env


def prepare_prefix(prefix, window_manager=False):
    """Creates the Wine prefix on first use. Its windows draw their own frame and caption, so that a
    screenshot shows them even without a window manager; and without one (our own X server) they
    are not left to a window manager at all, which spares the two seconds that closing a window
    otherwise waits for one to answer."""
    env = wine_environment(prefix)
    env.pop("DISPLAY", None)  # no windows wanted while the prefix is made
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=env, **quiet)
        subprocess.run(["wineserver", "-w"], env=env, check=False)  # the registry is saved now
    # The caption buttons' glyphs come from this font; a new prefix does not always find it.
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    if os.path.exists(marlett) and os.path.isdir(fonts):
        if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            shutil.copy(marlett, fonts)
    wanted = {"Decorated": "N", "Managed": "Y" if window_manager else "N"}
    with open(os.path.join(prefix, "user.reg"), encoding="latin-1") as registry:
        settings = registry.read()
    for name, value in wanted.items():
        if '"%s"="%s"' % (name, value) not in settings:
            subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", name,
                            "/t", "REG_SZ", "/d", value, "/f"], env=env, **quiet)
    subprocess.run(["wineserver", "-w"], env=env, check=False)


def log_time(line):
    """Seconds since midnight of an Event Log line's "HH:MM:SS.mmm" time."""
    hours, minutes, seconds = line.split()[0].split(":")
    return int(hours) * 3600 + int(minutes) * 60 + float(seconds)


def ticks_for(milliseconds):
    return (milliseconds + 99) // 100


class Line:
    """The far end of one serial line: the master of a pseudo-terminal whose slave is linked as
    COM<port> in the prefix. Every received chunk is kept with its arrival time, and the text is
    also cut into '#'-terminated frames, each stamped with the arrival of its '#'."""

    def __init__(self, dosdevices, port, link=True):
        self.port = port
        self.master, self.slave = pty.openpty()
        # The slave stays open here too, so that a close by the bridge does not hang up the line.
        tty.setraw(self.slave)
        self.device = os.ttyname(self.slave)
        self.link = os.path.join(dosdevices, "com%d" % port) if link else None
        if self.link:
            if os.path.lexists(self.link):
                os.unlink(self.link)
            os.symlink(self.device, self.link)
        self.received = bytearray()
        self.chunks = []  # (offset just past the chunk, arrival time)
        self.frames = []  # (arrival time of the '#', frame bytes)
        self._partial = bytearray()
        self._changed = threading.Condition()
        self._running = True
        self._paused = False
        self._idle = threading.Event()  # set while the reader is paused
        self._closed = False
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while self._running:
            if self._paused:
                self._idle.set()
                time.sleep(0.02)
                continue
            self._idle.clear()
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.05)
                continue
            now = time.monotonic()
            with self._changed:
                self.received += data
                self.chunks.append((len(self.received), now))
                for byte in data:
                    self._partial.append(byte)
                    if byte == ord("#"):
                        self.frames.append((now, bytes(self._partial)))
                        self._partial.clear()
                self._changed.notify_all()

    def write(self, data, rate=None):
        """Sends the bytes; with a rate (bytes per second) paced as a serial line would carry them.
        Returns the time at which the last byte was handed to the line."""
        start = time.monotonic()
        sent = 0
        while sent < len(data):
            if rate:
                due = start + sent / rate
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                piece = data[sent:sent + max(1, int(rate * 0.01))]
            else:
                piece = data[sent:]
            sent += os.write(self.master, piece)
        return time.monotonic()

    def wait(self, condition, timeout):
        """Waits until condition(self) holds; returns whether it did within the timeout."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not condition(self):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True

    def wait_bytes(self, count, timeout):
        """Waits until count bytes in all have been received; returns all received bytes."""
        self.wait(lambda line: len(line.received) >= count, timeout)
        with self._changed:
            return bytes(self.received)

    def wait_frames(self, count, timeout):
        """Waits until count frames in all have been received; returns a copy of all frames."""
        self.wait(lambda line: len(line.frames) >= count, timeout)
        with self._changed:
            return list(self.frames)

    def time_of(self, offset):
        """Arrival time of the byte at this offset of everything received."""
        with self._changed:
            for end, when in self.chunks:
                if offset < end:
                    return when
        return None

    def stall(self, quiet=0.3):
        """Plays a far end that has stopped reading: our reader pauses, and the line's queue toward
        us is filled from our own opening of the device until it has taken nothing for a while.
        Returns the number of filler bytes queued."""
        self._paused = True
        self._idle.wait(5)
        flags = fcntl.fcntl(self.slave, fcntl.F_GETFL)
        fcntl.fcntl(self.slave, fcntl.F_SETFL, flags | os.O_NONBLOCK)
        queued = 0
        try:
            while True:
                try:
                    queued += os.write(self.slave, b"x" * 4096)
                    continue
                except BlockingIOError:
                    pass
                _, writable, _ = select.select([], [self.slave], [], quiet)
                if not writable:
                    return queued
        finally:
            fcntl.fcntl(self.slave, fcntl.F_SETFL, flags)

    def stop_reading(self):
        """Plays a far end that has stopped reading without filling the line first: the output of
        the line toward us is suspended (XOFF as the terminal driver does it), so the program's
        writes stay on their way."""
        termios.tcflow(self.slave, termios.TCOOFF)

    def read_again(self):
        termios.tcflow(self.slave, termios.TCOON)

    def resume(self):
        """Reads again after stall(): everything queued meanwhile is thrown away, and what comes
        after is framed afresh."""
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.3)
            if not ready:
                break
            try:
                os.read(self.master, 65536)
            except OSError:
                break
        with self._changed:
            self._partial.clear()
        self._paused = False

    def hang_up(self):
        """Pulls the line out: the device and its COM link vanish."""
        self.close()

    def close(self):
        if self._closed:
            return
        self._closed = True
        self._running = False
        self._thread.join(1.0)
        try:
            if self.link and os.path.islink(self.link) and os.readlink(self.link) == self.device:
                os.unlink(self.link)
        except OSError:
            pass
        os.close(self.master)
        os.close(self.slave)


class DriverError(Exception):
    pass


def _process_tree(root):
    """What the process root and its descendants run: (program, command line) for each."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    tree, grew = {root}, True
    while grew:
        grown = tree | {pid for pid, parent in parents.items() if parent in tree}
        grew, tree = grown != tree, grown
    found = []
    for pid in tree:
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as command:
                found.append((os.readlink("/proc/%d/exe" % pid), command.read()))
        except OSError:
            pass
    return found


class Bridge:
    """The bridge under Wine with its dialog driver and the far ends of its two lines. Use as a
    context manager; start() returns once the dialog is up."""

    def __init__(self, exe, driver, prefix, incoming_port=7, outgoing_port=8, visible=None,
                 log_folder=None, launcher=None):
        self.exe = os.path.abspath(exe)
        self.driver_exe = os.path.abspath(driver)
        self.prefix = os.path.abspath(prefix)
        self.incoming_port = incoming_port
        self.outgoing_port = outgoing_port
        # visible: use the X display of the environment; otherwise an X server of our own.
        self.visible = bool(os.environ.get("DISPLAY")) if visible is None else visible
        self.log_folder = log_folder or self.prefix
        # launcher(bridge): the command that starts the program, given the two lines; by default
        # the program under wine, with the lines linked as its COM ports here.
        self.launcher = launcher
        self.display = None
        self.xserver = None
        self.process = None
        self.driver = None
        self.guider = None
        self.mount = None
        self._logs = []
        self._stopped = False

    # --- Lifecycle ---

    def start(self, dialog_timeout=120):
        prepare_prefix(self.prefix, window_manager=self.visible)
        dosdevices = os.path.join(self.prefix, "dosdevices")
        linked = self.launcher is None
        self.guider = Line(dosdevices, self.incoming_port, linked)
        self.mount = Line(dosdevices, self.outgoing_port, linked)
        self.display = os.environ.get("DISPLAY") if self.visible else self._start_xserver()
        env = wine_environment(self.prefix, self.display)
        command = self.launcher(self) if self.launcher else ["wine", self.exe]
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self._log("bridge"), stderr=subprocess.STDOUT)
        if self.launcher:
            self._wait_for_program(dialog_timeout)
        self.driver = subprocess.Popen(["wine", self.driver_exe], env=env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=self._log("driver"))
        self.ask("find %d" % (dialog_timeout * 1000), timeout=dialog_timeout + 30)
        return self

    def _wait_for_program(self, timeout):
        """Waits until the launcher has handed over to Wine (itself, or a process it started), so
        that no other Wine process of ours (the driver) holds up what the launcher does with Wine
        first."""
        deadline = time.monotonic() + timeout
        program = os.path.basename(self.exe).encode()
        while self.process.poll() is None and time.monotonic() < deadline:
            if any(os.path.basename(exe).startswith("wine") and program in command
                   for exe, command in _process_tree(self.process.pid)):
                return
            time.sleep(0.1)
        raise RuntimeError("the launcher did not start the program")

    def _log(self, name):
        os.makedirs(self.log_folder, exist_ok=True)
        handle = open(os.path.join(self.log_folder, name + ".log"), "wb")
        self._logs.append(handle)
        return handle

    def _start_xserver(self):
        reader, writer = os.pipe()
        self.xserver = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[writer], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([reader], [], [], 1.0)
            if ready:
                piece = os.read(reader, 64)
                if not piece:
                    break
                number += piece
        os.close(reader)
        if not number.strip():
            raise RuntimeError("the X server did not start")
        return ":" + number.decode().strip()

    def close_dialog(self, timeout=30):
        """Ends the dialog as its close box does and waits for the program to end; returns its
        exit status, or None when it did not end in time."""
        self.ask("close")
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """Ends everything that start() began; may be called more than once."""
        if self._stopped:
            return
        self._stopped = True
        if self.process and self.process.poll() is None:
            try:
                self.ask("close")
                self.process.wait(20)
            except (DriverError, subprocess.TimeoutExpired, OSError):
                self.process.kill()
                self.process.wait()
        if self.driver:
            try:
                if self.driver.poll() is None:
                    self.driver.stdin.write(b"quit\n")
                    self.driver.stdin.flush()
                    self.driver.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.driver.kill()
                self.driver.wait()
            for pipe in (self.driver.stdin, self.driver.stdout):
                try:
                    pipe.close()
                except OSError:
                    pass
        # Let the prefix's server and its helpers end before the X server goes.
        env = wine_environment(self.prefix)
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=30, check=False)
        except subprocess.TimeoutExpired:
            pass
        for line in (self.guider, self.mount):
            if line:
                line.close()
        if self.xserver:
            self.xserver.terminate()
            self.xserver.wait(10)
        for handle in self._logs:
            handle.close()

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *_):
        self.stop()

    # --- The dialog, through the driver ---

    def ask(self, command, timeout=30):
        """Sends one command to the driver; returns the text after "ok"."""
        if self.driver is None or self.driver.poll() is not None:
            raise DriverError("the dialog driver is not running")
        self.driver.stdin.write(command.encode() + b"\n")
        self.driver.stdin.flush()
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.driver.stdout], [], [], max(left, 0))
            if not ready:
                raise DriverError("no answer to %r" % command)
            piece = os.read(self.driver.stdout.fileno(), 1)
            if not piece:
                raise DriverError("the driver ended at %r" % command)
            line += piece
        answer = line.decode("latin-1").rstrip("\r\n")
        if answer == "ok":
            return ""
        if answer.startswith("ok "):
            return answer[3:]
        raise DriverError("%s: %s" % (command, answer))

    def choose_port(self, selector, port):
        return int(self.ask("select %d %d" % (selector, port - 1)))

    def click(self, button):
        self.ask("click %d" % button)

    def text(self, control):
        return self.ask("text %d" % control)

    def wait_text(self, control, wanted, timeout=15):
        """Polls a control until it shows the wanted text (or one of a tuple of texts); returns the
        last text seen."""
        wanted = wanted if isinstance(wanted, tuple) else (wanted,)
        deadline = time.monotonic() + timeout
        while True:
            shown = self.text(control)
            if shown in wanted or time.monotonic() > deadline:
                return shown
            time.sleep(0.05)

    def connect_incoming(self, port=None):
        self.choose_port(INCOMING_PORT, port or self.incoming_port)
        self.click(INCOMING_CONNECT)

    def connect_outgoing(self, port=None):
        self.choose_port(OUTGOING_PORT, port or self.outgoing_port)
        self.click(OUTGOING_CONNECT)

    def open_event_log(self, timeout=30):
        """Opens the Event Log through the window menu and waits until it is shown."""
        self.ask("syscommand %d" % EVENT_LOG)
        self.ask("logfind %d" % (timeout * 1000), timeout=timeout + 10)

    def open_save_box(self, timeout=30):
        """Presses Save... in the open Event Log and waits for its box."""
        self.ask("logsave %d" % int(timeout * 1000), timeout=timeout + 5)

    def event_log_lines(self, last=None):
        """The Event Log's lines, or only the last ones."""
        count = int(self.ask("loglines"))
        first = max(0, count - last) if last else 0
        return [self.ask("logline %d" % index) for index in range(first, count)]

    def dialog_rect(self, window="dialog"):
        """The outer rectangle of the dialog, or with window="log" of the Event Log."""
        command = "rect" if window == "dialog" else "logrect"
        return [int(value) for value in self.ask(command).split()]

    def screenshot(self, path, window="dialog"):
        """Saves a picture of the dialog (or the Event Log) as the X server shows it; returns the
        path."""
        left, top, right, bottom = self.dialog_rect(window)
        env = dict(os.environ, DISPLAY=self.display)
        geometry = "%dx%d+%d+%d" % (right - left, bottom - top, max(left, 0), max(top, 0))
        subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", path],
                       env=env, check=True, timeout=60)
        return path


def tool_missing(*names):
    return [name for name in names if shutil.which(name) is None]
