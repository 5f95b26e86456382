#!/usr/bin/env python3
"""The benchmarks: the real bridge under Wine against a simulated guider and mount, in several
sessions, each a fresh start of the program (pulse timing and query latency at random moments), on
a quiet host and on a busy one (one CPU-bound process per core beside the bridge), then sustained
input at the line rate, idle CPU and memory, the size of the program, and the native engine
throughput program. Prints a table and writes it, with the date, the machine and histograms beside
a baseline run of an earlier build, to docs/performance.md.

usage: bench.py --exe EXE --driver DRIVER --prefix WINEPREFIX --throughput PROGRAM --out FILE
                [--baseline RAW.json] [--raw RAW.json] [--event-log]
       bench.py --exe EXE --driver DRIVER --prefix WINEPREFIX --timing-only --raw RAW.json
                --label before --commit REV"""
import argparse
import contextlib
import datetime
import json
import os
import platform
import random
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import bridgehost as host  # noqa: E402

QUERIES = [(host.ACK, b"P"), (b":GA#", b"+00*00'00#"), (b":GD#", b"00*00'00#"),
           (b":GR#", b"00:00:00#"), (b":GS#", b"22:00:00#"), (b":GVF#", b"Meade Autostar 497#"),
           (b":GZ#", b"180*00#"), (b":Gt#", b"+47*00#")]
LINE_RATE = 960  # bytes per second at 9600 baud, 8N1
HOSTS = ("quiet", "busy")
# The heading of docs/performance.md's figures from other probes, which the bench leaves alone.
APART = "## Measured apart"


def log(text):
    print("bench: " + text, flush=True)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def fresh_links(bridge):
    bridge.click(host.INCOMING_DISCONNECT)
    bridge.wait_text(host.INCOMING_STATUS, ("Connection closed.", "Port is not opened yet."))
    bridge.connect_incoming()
    if bridge.wait_text(host.INCOMING_STATUS, "Waiting...") != "Waiting...":
        raise RuntimeError("the incoming link did not open")
    bridge.connect_outgoing()
    if bridge.wait_text(host.OUTGOING_STATUS, ("Port opened", "Already opened.")) not in (
            "Port opened", "Already opened."):
        raise RuntimeError("the outgoing link did not open")


def pulse_timing(bridge, count, chooser, both_axes=False):
    """Pulses of random direction and 100-1500 ms, each sent after a random pause of 0-300 ms: one
    at a time, or with both_axes one after another on each axis and both axes at once. Returns
    (direction, ms, n, move-to-halt interval in seconds) for every pulse."""
    pulses = [(chooser.choice("wens"), chooser.randint(100, 1500), chooser.uniform(0, 0.3))
              for _ in range(count)]
    streams = ["we", "ns"] if both_axes else ["wens"]
    results = {}

    def run_stream(directions):
        seen = len(bridge.mount.frames)
        rows = []
        for direction, milliseconds, pause in pulses:
            if direction not in directions:
                continue
            time.sleep(pause)
            bridge.guider.write(b":Mg%s%04d#" % (direction.encode(), milliseconds))
            move, halt = b":M%s#" % direction.encode(), host.HALT[direction]
            times = {}
            deadline = time.monotonic() + milliseconds / 1000 + 10
            while "halt" not in times and time.monotonic() < deadline:
                frames = bridge.mount.wait_frames(len(bridge.mount.frames) + 1, 0.5)
                for when, text in frames[seen:]:
                    if text == move and "move" not in times:
                        times["move"] = when
                    elif text == halt and "move" in times:
                        times["halt"] = when
                seen = len(frames)
            if "halt" not in times:
                raise RuntimeError("no halt for %s %d ms" % (direction, milliseconds))
            rows.append((direction, milliseconds, host.ticks_for(milliseconds),
                         times["halt"] - times["move"]))
        results[directions] = rows

    threads = [threading.Thread(target=run_stream, args=(stream,)) for stream in streams]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    rows = [row for stream in streams for row in results.get(stream, [])]
    if len(rows) != count:
        raise RuntimeError("%d of %d pulses measured" % (len(rows), count))
    return rows


def session_tick(rows):
    """The session's mean tick: the whole time of its pulses of 5 ticks or more over their whole
    number of ticks. Only the heartbeat's own pace moves it; a late move or halt moves it little."""
    long = [(n - 1, interval) for _, _, n, interval in rows if n >= 5]
    return sum(interval for _, interval in long) / sum(ticks for ticks, _ in long)


def pulse_errors(session, kind="pulses"):
    """Each pulse's error against what the program promises, (n - 1) x 100 ms, in seconds."""
    return [interval - (n - 1) * host.TICK for _, _, n, interval in session.get(kind, [])]


def within(errors, bound):
    return sum(abs(error) <= bound for error in errors) / max(1, len(errors))


class BusyHost:
    """One CPU-bound process per core beside the bridge, for as long as the context lasts."""

    def __enter__(self):
        self.hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                     for _ in range(os.cpu_count() or 1)]
        return self

    def __exit__(self, *_):
        for hog in self.hogs:
            hog.kill()
            hog.wait()


def query_latency(bridge, count, chooser):
    """Queries at random moments: a random pause of 0-300 ms before each. Returns the time from
    the last byte of :GR# to the last byte of its reply, per query."""
    latencies = []
    for _ in range(count):
        time.sleep(chooser.uniform(0, 0.3))
        start = len(bridge.guider.received)
        sent = bridge.guider.write(b":GR#")
        received = bridge.guider.wait_bytes(start + 9, 5)
        if received[start:] != b"00:00:00#":
            raise RuntimeError("wrong reply %r" % received[start:])
        latencies.append(bridge.guider.time_of(start + 8) - sent)
    return latencies


def sustained_input(bridge, seconds, seed, during=None):
    """Mixed queries and pulses at the line rate. Returns (commands sent, commands counted in the
    dialog, whether the replies were byte-exact). during(stop), if given, runs in a thread of its
    own while the bytes go out, until the threading.Event stop is set."""
    chooser = random.Random(seed)
    stream, replies, commands = b"", b"", 0
    while len(stream) < seconds * LINE_RATE:
        if chooser.random() < 0.7:
            command, reply = chooser.choice(QUERIES)
        else:
            command, reply = b":Mg%s%04d#" % (chooser.choice("wens").encode(),
                                             chooser.randint(100, 3000)), b""
        stream += command
        replies += reply
        commands += 1
    fresh_links(bridge)
    stop = threading.Event()
    helper = threading.Thread(target=during, args=(stop,)) if during else None
    if helper:
        helper.start()
    start = len(bridge.guider.received)
    bridge.guider.write(stream, rate=LINE_RATE)
    if helper:
        stop.set()
        helper.join()
    received = bridge.guider.wait_bytes(start + len(replies), 30)[start:]
    counted = bridge.wait_text(host.COMMAND_COUNT, str(commands), 15)
    return commands, int(counted or 0), received == replies, len(stream)


def pinger(bridge, seed, times):
    """A during() for sustained_input: asks the dialog for a message round trip every 50-150 ms
    and keeps the times (seconds), as measured by the driver beside the dialog."""
    chooser = random.Random(seed)

    def run(stop):
        while not stop.wait(chooser.uniform(0.05, 0.15)):
            times.append(int(bridge.ask("ping")) / 1e6)
    return run


def logged_errors(bridge, rows):
    """For each of the pulses just measured, its move-to-halt interval as the Event Log has it
    minus the interval the mount saw, in seconds."""
    time.sleep(0.3)  # the window takes new events every 50 ms
    writes = [(line.split()[1], host.log_time(line))
              for line in bridge.event_log_lines(last=4 * len(rows) + 8)
              if line.split()[1] in ("Move", "Halt")]
    pairs = []
    at = len(writes) - 1
    while at > 0 and len(pairs) < len(rows):
        if writes[at][0] == "Halt" and writes[at - 1][0] == "Move":
            pairs.append(writes[at][1] - writes[at - 1][1])
            at -= 2
        else:
            at -= 1
    pairs.reverse()
    return [logged - interval for logged, (_, _, _, interval) in zip(pairs, rows[-len(pairs):])]


def event_log_session(bridge, options, chooser, last):
    """The same pulses and queries again, now with the Event Log open; in the last session also
    sustained input at the line rate, while the dialog's round trip is timed. Returns the raw
    figures; the Event Log's line count shows that it kept up."""
    bridge.open_event_log()
    fresh_links(bridge)
    figures = {"pulses": pulse_timing(bridge, options.pulses, chooser)}
    figures["logged_errors"] = logged_errors(bridge, figures["pulses"])
    figures["latencies"] = query_latency(bridge, options.queries, chooser)
    figures["tick"] = session_tick(figures["pulses"])
    figures["host"] = "quiet"
    if last:
        pings = []
        figures["sustained"] = sustained_input(bridge, options.seconds, chooser.randrange(2**32),
                                               during=pinger(bridge, chooser.random(), pings))
        figures["pings"] = pings
    figures["lines"] = int(bridge.ask("loglines"))
    return figures


def event_log_report(raw):
    """Rows (measure, log closed, log open) comparing the sessions with the Event Log closed and
    open."""
    closed = summarize(raw)
    opened = summarize({"sessions": raw["event_log"], "idle": raw["idle"]})
    sent, counted, exact, volume = raw["event_log"][-1]["sustained"]
    pings = raw["event_log"][-1]["pings"]
    closed_pings = raw.get("pings_closed") or [0]
    cells = [[timing_cells(figures, "quiet")[index] for index in (0, 1, 3)]
             for figures in (closed, opened)]
    names = ["Guide pulses, quiet host", "Pulse error", "Query latency"]
    rows = [(name, before, after) for name, before, after in zip(names, *cells)]
    rows.append(("Sustained input at 9600 baud (%d bytes)" % volume,
                 *("%d commands sent, %d counted; replies %s" % (
                     figures[0], figures[1], "byte-exact" if figures[2] else "NOT byte-exact")
                   for figures in (raw["sustained"], (sent, counted, exact)))))
    rows.append(("Dialog round trip during sustained input (WM_NULL)",
                 "p50 %s, max %s (%d)" % (ms(percentile(closed_pings, 0.5)),
                                          ms(max(closed_pings)), len(closed_pings)),
                 "p50 %s, max %s (%d)" % (ms(percentile(pings, 0.5)), ms(max(pings)),
                                          len(pings))))
    logged = [abs(error) for session in raw["event_log"] for error in session["logged_errors"]]
    rows.append(("Move-to-halt in the Event Log minus the mount's own", "-",
                 "p50 %s, max %s (%d pulses)" % (ms(percentile(logged, 0.5)), ms(max(logged)),
                                                 len(logged))))
    return rows


def process_times(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_memory(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def wineserver_pid(prefix):
    """The Wine server of our prefix (only looked at, to report its share of the CPU)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if b"wineserver" not in cmdline.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if b"WINEPREFIX=" + os.path.abspath(prefix).encode() in environ.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def idle_load(bridge, seconds, prefix):
    pid = bridge.process.pid
    server = wineserver_pid(prefix)
    # Both links open and a guider that has said hello and then keeps quiet: the scheduler runs
    # and the dialog redraws its charts every second, as between two guide exposures.
    fresh_links(bridge)
    start = len(bridge.guider.received)
    bridge.guider.write(host.ACK)
    bridge.guider.wait_bytes(start + 1, 5)
    time.sleep(5)  # pulses left over from before run out
    begin, server_begin = process_times(pid), process_times(server) if server else 0
    started = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - started
    cpu = (process_times(pid) - begin) / elapsed * 100
    server_cpu = (process_times(server) - server_begin) / elapsed * 100 if server else None
    return cpu, server_cpu, peak_memory(pid), peak_memory(bridge.driver.pid)


def native_throughput(program):
    result = subprocess.run([program], capture_output=True, text=True, timeout=600, check=True)
    figures = {}
    for line in result.stdout.splitlines():
        name, _, _, rate = line.split()
        figures[name] = float(rate)
    return figures


def machine():
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    virtual = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            if " hypervisor" in cpuinfo.read():
                virtual = ", virtual machine"
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.split()
    return "%s, %d CPUs, %.0f GiB memory%s; Linux %s; %s" % (
        platform.machine(), os.cpu_count(), memory / 2**30, virtual,
        platform.release().split("-")[0], wine[0] if wine else "wine")


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def verdict(ok):
    return "yes" if ok else "**no**"


def measure(options):
    """Runs the sessions, each a fresh start of the program, and returns the raw figures."""
    seed = options.seed if options.seed is not None else random.SystemRandom().randrange(2**32)
    chooser = random.Random(seed)
    raw = {"label": options.label, "commit": options.commit, "seed": seed, "sessions": [],
           "load": os.getloadavg()}
    plan = [(state, index) for state in HOSTS for index in range(options.sessions)]
    for number, (state, index) in enumerate(plan):
        log("session %d of %d, %s host: starting the bridge under Wine" % (
            number + 1, len(plan), state))
        # A random wait before the start, so that sessions do not share a phase with the host.
        time.sleep(chooser.uniform(0, 1))
        with host.Bridge(options.exe, options.driver, options.prefix, visible=False,
                         log_folder=os.path.join(options.prefix, "logs")) as bridge:
            fresh_links(bridge)
            with BusyHost() if state == "busy" else contextlib.nullcontext():
                log("  %d pulses of 100-1500 ms at random moments, one at a time" %
                    options.pulses)
                rows = pulse_timing(bridge, options.pulses, chooser)
                log("  %d pulses on both axes at once" % options.both_axes)
                both = pulse_timing(bridge, options.both_axes, chooser, both_axes=True)
                log("  %d queries at random moments" % options.queries)
                latencies = query_latency(bridge, options.queries, chooser)
            session = {"host": state, "pulses": rows, "tick": session_tick(rows),
                       "latencies": latencies, "both_axes": both}
            errors = pulse_errors(session)
            log("  mean tick %s; within 2 ms %.1f %%, within 10 ms %.1f %%, worst %s; query p50 %s"
                % (ms(session["tick"]), within(errors, 0.002) * 100, within(errors, 0.010) * 100,
                   ms(max(abs(error) for error in errors)), ms(percentile(latencies, 0.5))))
            if state == "quiet" and index == options.sessions - 1:
                # Also for a baseline run, so that the idle load follows the same history.
                log("  sustained input at 9600 baud for %d s" % options.seconds)
                pings = []
                raw["sustained"] = sustained_input(
                    bridge, options.seconds, seed,
                    during=pinger(bridge, seed, pings) if options.event_log else None)
                raw["pings_closed"] = pings
                log("  idle load with both links open for %d s" % options.seconds)
                raw["idle"] = idle_load(bridge, options.seconds, options.prefix)
            if options.event_log and state == "quiet":
                log("  the same with the Event Log open")
                raw.setdefault("event_log", []).append(event_log_session(
                    bridge, options, chooser, index == options.sessions - 1))
        raw["sessions"].append(session)
    return raw


def summarize(raw):
    """The figures of each host state, and the idle load."""
    figures = {"idle_cpu": raw["idle"][0], "server_cpu": raw["idle"][1]}
    for state in HOSTS:
        sessions = [session for session in raw["sessions"] if session.get("host") == state]
        if not sessions:
            continue
        errors = [error for session in sessions for error in pulse_errors(session)]
        absolute = [abs(error) for error in errors]
        latencies = [value for session in sessions for value in session["latencies"]]
        both = [error for session in sessions for error in pulse_errors(session, "both_axes")]
        figures[state] = {
            "sessions": len(sessions), "pulses": len(errors),
            "within2": within(errors, 0.002), "within10": within(errors, 0.010),
            "session_within10": [within(pulse_errors(session), 0.010) for session in sessions],
            "ticks": [session["tick"] for session in sessions],
            "error_p99": percentile(absolute, 0.99), "error_max": max(absolute),
            "queries": len(latencies), "latency_p50": percentile(latencies, 0.50),
            "latency_p99": percentile(latencies, 0.99), "latency_max": max(latencies),
            "both_pulses": len(both), "both_within10": within(both, 0.010),
            "both_max": max([abs(error) for error in both], default=0),
        }
    return figures


def timing_cells(figures, state):
    """The cells of the timing rows of one host state, or dashes where it was not measured."""
    if state not in figures:
        return ["-"] * 5
    run = figures[state]
    return [
        "%.1f %% within 10 ms, %.1f %% within 2 ms, of %d (sessions %s)" % (
            run["within10"] * 100, run["within2"] * 100, run["pulses"],
            ", ".join("%.1f %%" % (share * 100) for share in run["session_within10"])),
        "p99 %s, worst %s" % (ms(run["error_p99"]), ms(run["error_max"])),
        ", ".join("%.2f ms" % (tick * 1000) for tick in run["ticks"]),
        "p50 %s, p99 %s, max %s (%d queries)" % (ms(run["latency_p50"]), ms(run["latency_p99"]),
                                                  ms(run["latency_max"]), run["queries"]),
        "%.1f %% of %d within 10 ms, worst %s" % (run["both_within10"] * 100, run["both_pulses"],
                                                  ms(run["both_max"])),
    ]


def idle_cell(figures):
    return "%.2f %%" % figures["idle_cpu"] + ("" if figures["server_cpu"] is None else
                                              " (Wine server: %.2f %%)" % figures["server_cpu"])


def draw(before, after, path):
    """Histograms of the pulse errors on each host and of the query latencies, before and
    after."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plot
        import matplotlib.ticker
    except ImportError:
        log("no matplotlib (Debian: python3-matplotlib): no pictures")
        return False
    figure, panels = plot.subplots(1, 3, figsize=(15, 4), dpi=100)
    runs = [(raw, colour) for raw, colour in ((before, "#c0392b"), (after, "#2471a3")) if raw]
    # Bins of 1 ms over every error of both runs, at least -10 to +10 ms.
    every = [error * 1000 for raw, _ in runs for session in raw["sessions"]
             for error in pulse_errors(session)]
    bins = [x - 0.5 for x in range(min(-10, int(min(every)) - 1), max(10, int(max(every)) + 2))]
    for raw, colour in runs:
        for axes, state in zip(panels, HOSTS):
            errors = [error * 1000 for session in raw["sessions"] if session.get("host") == state
                      for error in pulse_errors(session)]
            axes.hist(errors, bins=bins, histtype="step",
                      linewidth=1.6, color=colour, label="%s (%d)" % (raw["label"], len(errors)))
        latencies = [value * 1000 for session in raw["sessions"] for value in session["latencies"]]
        panels[2].hist(latencies, bins=range(0, 132, 2), histtype="step", linewidth=1.6,
                       color=colour, label="%s (%d)" % (raw["label"], len(latencies)))
    for axes, state in zip(panels, HOSTS):
        axes.set_yscale("log")
        axes.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        axes.set_xlabel("move-to-halt interval minus (n - 1) x 100 ms, ms")
        axes.set_ylabel("pulses (log scale)")
        axes.set_title("Guide pulse error, %s host" % state)
    queries = panels[2]
    queries.set_xlabel("last byte of :GR# to last byte of its reply, ms")
    queries.set_ylabel("queries (both hosts)")
    queries.set_title("Query latency")
    for axes in panels:
        axes.legend()
        axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, metadata={"Software": None})
    log("pictures written to %s" % path)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--throughput", help="the native throughput program")
    parser.add_argument("--out", help="the Markdown page to write")
    parser.add_argument("--raw", help="where to keep this run's raw figures (JSON)")
    parser.add_argument("--baseline", help="raw figures of the program before a change (JSON)")
    parser.add_argument("--label", default="after")
    parser.add_argument("--commit", help="the commit the program was built from")
    parser.add_argument("--timing-only", action="store_true",
                        help="the program under Wine only (no native throughput), and no page")
    parser.add_argument("--sessions", type=int, default=2, help="per host state")
    parser.add_argument("--pulses", type=int, default=120, help="per session")
    parser.add_argument("--queries", type=int, default=100, help="per session")
    parser.add_argument("--both-axes", type=int, default=50,
                        help="pulses on both axes at once, per session")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--seed", type=int, help="replay a run's random choices")
    parser.add_argument("--event-log", action="store_true",
                        help="repeat the pulses, queries and sustained input with the Event Log "
                        "open, and time the dialog's answers meanwhile")
    parser.add_argument("--replot", action="store_true",
                        help="write the page again from the figures of --raw; measure nothing")
    options = parser.parse_args()
    if options.replot and not (options.raw and options.out):
        parser.error("--replot needs --raw and --out")
    if not options.timing_only and not options.replot and not (options.throughput and options.out):
        parser.error("--throughput and --out are needed unless --timing-only")

    if options.replot:
        with open(options.raw) as source:
            raw = json.load(source)
    else:
        throughput = None
        if not options.timing_only:
            log("native engine throughput")
            throughput = native_throughput(options.throughput)
        raw = measure(options)
        raw["throughput"] = throughput
    throughput = raw["throughput"]
    if options.raw and not options.replot:
        os.makedirs(os.path.dirname(os.path.abspath(options.raw)), exist_ok=True)
        with open(options.raw, "w") as out:
            json.dump(raw, out)
        log("raw figures written to %s" % options.raw)
    after = summarize(raw)
    if options.timing_only:
        for state in HOSTS:
            print("\n".join("%s host, %s: %s" % (state, name, cell) for name, cell in zip(
                ("pulses", "pulse error", "mean ticks", "query latency", "both axes"),
                timing_cells(after, state))))
        print("idle CPU: %s" % idle_cell(after))
        if raw.get("event_log"):
            print("\n".join("%s: closed %s; open %s" % row for row in event_log_report(raw)))
        return

    before = None
    if options.baseline and os.path.exists(options.baseline):
        with open(options.baseline) as source:
            baseline = json.load(source)
        before = summarize(baseline)
    sent, counted, exact, volume = raw["sustained"]
    memory, driver_memory = raw["idle"][2], raw["idle"][3]
    exe_size = os.path.getsize(options.exe)
    rows = []
    for state in HOSTS:
        if state not in after:
            continue
        run, previous, now = after[state], timing_cells(before or {}, state), timing_cells(
            after, state)
        rows += [
            ("Guide pulses within 10 ms of (n - 1) x 100 ms, one at a time, %s host, sessions: %d"
             % (state, run["sessions"]), previous[0], now[0], "≥ 99.5 % within 10 ms",
             verdict(run["within10"] >= 0.995)),
            ("Pulse error, abs(move-to-halt interval - (n - 1) x 100 ms), %s host" % state,
             previous[1], now[1], "worst ≤ 40 ms", verdict(run["error_max"] <= 0.040)),
            ("Mean tick of each session, pulses of 5 ticks or more, %s host" % state,
             previous[2], now[2], "100.0 ms ± 0.1",
             verdict(all(abs(tick - host.TICK) <= 0.0001 for tick in run["ticks"]))),
            ("Query latency, last byte of :GR# to last reply byte, %s host" % state, previous[3],
             now[3], "p50 ≤ 15 ms, p99 ≤ 30 ms",
             verdict(run["latency_p50"] <= 0.015 and run["latency_p99"] <= 0.030)),
            ("Guide pulses on both axes at once, the same test, %s host" % state, previous[4],
             now[4], "(for information)", "-"),
        ]
    rows += [
        ("Idle CPU of the bridge process, both links open, %d s" % options.seconds,
         idle_cell(before) if before else "-", idle_cell(after), "≤ 0.35 %",
         verdict(after["idle_cpu"] <= 0.35)),
        ("Sustained input at 9600 baud for %d s (%d bytes)" % (options.seconds, volume), "-",
         "%d commands sent, %d counted; replies %s" % (
             sent, counted, "byte-exact" if exact else "NOT byte-exact"),
         "no lost commands, exact replies", verdict(sent == counted and exact)),
        ("Peak resident memory of the bridge process", "-", "%.1f MiB" % (memory / 2**20),
         "≤ 16 MiB", verdict(memory <= 16 * 2**20)),
        ("Size of autoguider-bridge.exe", "-", "%.0f KiB" % (exe_size / 1024), "≤ 1 MiB",
         verdict(exe_size <= 2**20)),
        ("Native engine throughput, pipe reader and framer", "-",
         "%.1f MB/s" % (throughput["framer"] / 1e6), "≥ 1 MB/s",
         verdict(throughput["framer"] >= 2**20)),
        ("Native, whole road: line, reader thread, pipe, worker", "-",
         "%.1f kB/s" % (throughput["line"] / 1e3), "(for information)", "-"),
    ]
    table = ["| Measure | Before | After | Target | Met |", "|---|---|---|---|---|"]
    table += ["| %s | %s | %s | %s | %s |" % row for row in rows]
    if raw.get("event_log"):
        table += ["", "| With the Event Log | Closed | Open |", "|---|---|---|"]
        table += ["| %s | %s | %s |" % row for row in event_log_report(raw)]
    picture = os.path.splitext(options.out)[0] + "-histograms.png"
    os.makedirs(os.path.dirname(os.path.abspath(options.out)), exist_ok=True)
    pictures = draw(baseline if before else None, raw, picture)
    today = datetime.date.today().isoformat()
    text = ["# Performance", "",
            "Measured on %s by `bash tools/bench.sh` (seed %d)." % (today, raw["seed"]), "",
            "Machine: %s; load average as the run began %s (1, 5, 15 min)." % (
                machine(), ", ".join("%.2f" % value for value in raw.get("load", []))), "",
            "\"Before\" is the program as it was before the heartbeat kept a fixed timetable "
            "(%s), measured by the same bench%s." % (
                baseline.get("commit") or "an earlier build" if before else "not measured",
                "" if not before else " (`bash tools/bench.sh --baseline %s`)"
                % (baseline.get("commit") or "REV")), "",
            *table, ""]
    if pictures:
        text += ["![Histograms of pulse errors and query latencies, before and after](%s)"
                 % os.path.basename(picture), ""]
    text += ["## Notes", "", *explain(after, before, throughput, driver_memory), ""]
    # What other probes measured, from its heading on, stays as it was.
    kept = ""
    if os.path.exists(options.out):
        with open(options.out) as old:
            _, heading, rest = old.read().partition(APART)
            kept = heading + rest
    with open(options.out, "w") as out:
        out.write("\n".join(text) + ("\n" + kept if kept else ""))
    print("\n".join(table))
    log("written to %s" % options.out)


def explain(after, before, throughput, driver_memory):
    """What each figure means and, where one misses its target, why."""
    notes = [
        "- Sessions: each is a fresh start of the program, with its own phase between the "
        "heartbeat and everything else. In each, pulses of random direction and 100-1500 ms go "
        "out one at a time, each after a random pause of 0-300 ms; then pulses on both axes at "
        "once, one after another on each axis; then queries, each after such a pause. Half the "
        "sessions run on a quiet host; the other half beside one CPU-bound process per core, "
        "started by the bench, at normal priority.",
        "- Pulse error: the mount's move-to-halt interval against what the program promises, "
        "(n - 1) x 100 ms for a pulse of n ticks; no tick is fitted to the session. The mean tick "
        "of a session is the time of its pulses of 5 ticks or more over their ticks: the "
        "heartbeat's own pace.",
    ]
    if before:
        notes.append(
            "  Before, the heartbeat waited 100 ms after each tick, so every tick carried the call "
            "and any late wake-up into all the ticks after it: mean ticks %s, and a pulse ran "
            "(n - 1) x (100 ms + drift). On Windows's default 15.625 ms timer such a wait ends "
            "after seven interrupts, 109.4 ms; Wine's timers are finer, so the bench sees only "
            "the drift." % ", ".join("%.2f ms" % (tick * 1000) for state in HOSTS
                                     if state in before for tick in before[state]["ticks"]))
    notes.append(
        "- Now the heartbeat keeps a fixed timetable on the performance counter and waits on a "
        "high-resolution timer, so the mean tick is 100 ms and only a single late move or halt "
        "moves a pulse. Those late ones are the host's scheduler: a tick reaches the mount through "
        "several wake-ups (the heartbeat, the worker, each trip through the Wine server, and the "
        "bench's own reader of the mount's line), and on a busy host each may wait for a "
        "processor. Under Wine here the threads' priorities do not reach Linux (the process may "
        "not raise its niceness), so the bridge's threads queue behind the CPU-bound ones. "
        "docs/design.md has the measured share of each step.")
    notes.append(
        "- Both axes at once: the same measure, with a guider that pulses right ascension and "
        "declination at the same time, one pulse after another on each axis.")
    notes.append(
        "- Query latency: from the last byte of the query on the guider's line to the last byte "
        "of the reply: the incoming reader's read completes, the worker wakes at once and "
        "answers.")
    notes.append(
        "- Idle CPU counts the bridge process only; the Wine server does part of the work of "
        "every wait and I/O on its behalf and is shown beside it. Idle, the heartbeat still "
        "ticks ten times a second and the worker wakes for each Tick. The figure moves by about "
        "0.3 points from one run to the next here, for either build: compare over several runs.")
    notes.append(
        "- Peak memory misses because the resident set of a process under Wine includes "
        "Wine's own libraries and loader: our dialog driver, a console program that only "
        "looks up windows, peaks at %.1f MiB under the same Wine, and a dialog adds the "
        "graphics and X11 parts of Wine. The program's own data is a few fixed-size records, "
        "two 2560-byte chart buffers and the event store (262 144 records of 88 bytes, 22 MiB "
        "taken at start, resident as they are first written: a bench session writes a few "
        "thousand); with --event-log, the peak includes the Event Log's index of lines (16 "
        "bytes a line, 4.5 MiB taken when it is first opened, resident as written)."
        % (driver_memory / 2**20))
    notes.append(
        "- Native throughput: the pipe reader and framer take %.0f MB/s, fed straight from "
        "memory. Through a pseudo-terminal, the incoming reader thread and the pipe, the engine "
        "takes %.0f kB/s, about %.0f times the 960 bytes per second of a 9600-baud line."
        % (throughput["framer"] / 1e6, throughput["line"] / 1e3, throughput["line"] / LINE_RATE))
    return notes


if __name__ == "__main__":
    main()
