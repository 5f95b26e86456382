#!/usr/bin/env python3
"""The benchmarks: the real bridge under Wine against a simulated guider and mount (pulse fidelity,
query latency, sustained input at the line rate, idle CPU and memory, size of the program), and the
native engine throughput program. Prints a table and writes it, with the date and the machine, to
docs/performance.md.

usage: bench.py --exe EXE --driver DRIVER --prefix WINEPREFIX --throughput PROGRAM --out FILE"""
import argparse
import datetime
import os
import platform
import random
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import bridgehost as host  # noqa: E402

QUERIES = [(host.ACK, b"P"), (b":GA#", b"+00*00'00#"), (b":GD#", b"00*00'00#"),
           (b":GR#", b"00:00:00#"), (b":GS#", b"22:00:00#"), (b":GVF#", b"Meade Autostar 497#"),
           (b":GZ#", b"180*00#"), (b":Gt#", b"+47*00#")]
AXES = {"ra": ("w", "e"), "dec": ("n", "s")}
LINE_RATE = 960  # bytes per second at 9600 baud, 8N1
TARGETS = {"fidelity_median": 0.010, "latency_p50": 0.060, "latency_p99": 0.120,
           "idle_cpu": 0.5, "peak_memory": 16 * 2**20, "exe_size": 2**20,
           "throughput": 2**20}


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


def pulse_fidelity(bridge, count, seed):
    """Pulses of random direction and duration, one axis after another on each axis, both axes at
    once. Returns the errors of the move-to-halt intervals against (n - 1) mean ticks, and the
    mean tick."""
    chooser = random.Random(seed)
    pulses = [(chooser.choice("wens"), chooser.randint(100, 3000)) for _ in range(count)]
    results = {}

    def run_axis(axis):
        moves = [b":M%s#" % d.encode() for d in AXES[axis]]
        halt = b":Qw#" if axis == "ra" else b":Qn#"
        seen = 0
        mine = [(d, ms) for d, ms in pulses if d in AXES[axis]]
        rows = []
        for direction, milliseconds in mine:
            bridge.guider.write(b":Mg%s%04d#" % (direction.encode(), milliseconds))
            times = {}
            deadline = time.monotonic() + milliseconds / 1000 + 10
            while "halt" not in times and time.monotonic() < deadline:
                frames = bridge.mount.wait_frames(len(bridge.mount.frames) + 1, 0.5)
                for when, text in frames[seen:]:
                    if text in moves and "move" not in times:
                        times["move"] = when
                    elif text == halt and "move" in times:
                        times["halt"] = when
                seen = len(frames)
            if "halt" not in times:
                raise RuntimeError("no halt for %s %d ms" % (direction, milliseconds))
            rows.append((host.ticks_for(milliseconds), times["halt"] - times["move"]))
            time.sleep(chooser.random() * 0.2)
        results[axis] = rows

    threads = [threading.Thread(target=run_axis, args=(axis,)) for axis in AXES]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    rows = results["ra"] + results["dec"]
    if len(rows) != count:
        raise RuntimeError("%d of %d pulses measured" % (len(rows), count))
    tick = sum((n - 1) * interval for n, interval in rows) / sum((n - 1) ** 2 for n, _ in rows)
    return [interval - (n - 1) * tick for n, interval in rows], tick


def query_latency(bridge, count, seed):
    chooser = random.Random(seed)
    latencies = []
    for _ in range(count):
        start = len(bridge.guider.received)
        sent = bridge.guider.write(b":GR#")
        received = bridge.guider.wait_bytes(start + 9, 5)
        if received[start:] != b"00:00:00#":
            raise RuntimeError("wrong reply %r" % received[start:])
        latencies.append(bridge.guider.time_of(start + 8) - sent)
        # A guider asks whenever it likes: the pause spreads the queries over several of the
        # worker's 100 ms rests, so that they do not keep one phase of them.
        time.sleep(chooser.uniform(0, 0.3))
    return latencies


def sustained_input(bridge, seconds, seed):
    """Mixed queries and pulses at the line rate. Returns (commands sent, commands counted in the
    dialog, whether the replies were byte-exact)."""
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
    start = len(bridge.guider.received)
    bridge.guider.write(stream, rate=LINE_RATE)
    received = bridge.guider.wait_bytes(start + len(replies), 30)[start:]
    counted = bridge.wait_text(host.COMMAND_COUNT, str(commands), 15)
    return commands, int(counted or 0), received == replies, len(stream)


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--throughput", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--pulses", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=60)
    options = parser.parse_args()

    log("native engine throughput")
    throughput = native_throughput(options.throughput)
    exe_size = os.path.getsize(options.exe)

    log("starting the bridge under Wine")
    with host.Bridge(options.exe, options.driver, options.prefix, visible=False,
                     log_folder=os.path.join(options.prefix, "logs")) as bridge:
        fresh_links(bridge)
        log("pulse fidelity: %d pulses of 100-3000 ms (about three minutes)" % options.pulses)
        errors, tick = pulse_fidelity(bridge, options.pulses, seed=5)
        log("query latency: 300 queries")
        latencies = query_latency(bridge, 300, seed=6)
        log("sustained input at 9600 baud for %d s" % options.seconds)
        sent, counted, exact, volume = sustained_input(bridge, options.seconds, seed=7)
        log("idle load with both links open for %d s" % options.seconds)
        cpu, server_cpu, memory, baseline = idle_load(bridge, options.seconds, options.prefix)

    absolute = [abs(error) for error in errors]
    fidelity = (statistics.median(absolute), percentile(absolute, 0.95), max(absolute))
    latency = (percentile(latencies, 0.50), percentile(latencies, 0.99))
    rows = [
        ("Pulse fidelity, move-to-halt error vs (n - 1) ticks (%d pulses, mean tick %s)"
         % (len(errors), ms(tick)),
         "median %s, p95 %s, max %s" % tuple(ms(v) for v in fidelity),
         "median ≤ 10 ms, max ≤ one tick (%s)" % ms(tick),
         verdict(fidelity[0] <= TARGETS["fidelity_median"] and fidelity[2] <= tick)),
        ("Query latency, last byte of :GR# to last reply byte (300 queries)",
         "p50 %s, p99 %s" % tuple(ms(v) for v in latency), "p50 ≤ 60 ms, p99 ≤ 120 ms",
         verdict(latency[0] <= TARGETS["latency_p50"] and latency[1] <= TARGETS["latency_p99"])),
        ("Sustained input at 9600 baud for %d s (%d bytes)" % (options.seconds, volume),
         "%d commands sent, %d counted; replies %s" % (
             sent, counted, "byte-exact" if exact else "NOT byte-exact"),
         "no lost commands, exact replies", verdict(sent == counted and exact)),
        ("Idle CPU of the bridge process, both links open, %d s" % options.seconds,
         "%.2f %% of one core" % cpu + ("" if server_cpu is None else
                                        " (Wine server: %.2f %%)" % server_cpu),
         "≤ 0.5 %", verdict(cpu <= TARGETS["idle_cpu"])),
        ("Peak resident memory of the bridge process", "%.1f MiB" % (memory / 2**20),
         "≤ 16 MiB", verdict(memory <= TARGETS["peak_memory"])),
        ("Size of autoguider-bridge.exe", "%.0f KiB" % (exe_size / 1024), "≤ 1 MiB",
         verdict(exe_size <= TARGETS["exe_size"])),
        ("Native engine throughput, pipe reader and framer",
         "%.1f MB/s" % (throughput["framer"] / 1e6), "≥ 1 MB/s",
         verdict(throughput["framer"] >= TARGETS["throughput"])),
        ("Native, whole road: line, reader thread, pipe, worker",
         "%.1f kB/s" % (throughput["line"] / 1e3), "(for information)", "-"),
    ]
    table = ["| Measure | Result | Target | Met |", "|---|---|---|---|"]
    table += ["| %s | %s | %s | %s |" % row for row in rows]
    notes = explain(fidelity, tick, latency, cpu, memory, baseline, throughput)
    today = datetime.date.today().isoformat()
    text = ["# Performance", "",
            "Measured on %s by `bash tools/bench.sh`." % today, "",
            "Machine: %s." % machine(), "", *table, "", "## Notes", "", *notes, ""]
    os.makedirs(os.path.dirname(os.path.abspath(options.out)), exist_ok=True)
    with open(options.out, "w") as out:
        out.write("\n".join(text))
    print("\n".join(table))
    log("written to %s" % options.out)


def explain(fidelity, tick, latency, cpu, memory, baseline, throughput):
    """What each figure means and, where one misses its target, why."""
    notes = [
        "- Pulse fidelity: the mean tick is the slope of the move-to-halt intervals over n - 1, "
        "fitted over all pulses; a pulse's error is its interval minus n - 1 such ticks. Moves "
        "and halts go out when the engine's worker processes a heartbeat tick, and the worker "
        "rests 100 ms whenever it finds its pipe empty, so a tick may wait up to 100 ms before it "
        "is processed. On a quiet host the rest and the heartbeat's own 100 ms keep in step: every "
        "tick waits about as long as the last, and the wait cancels between move and halt. On a "
        "busy host they fall out of step, and an interval can be off by up to about a tick.",
    ]
    if fidelity[0] > TARGETS["fidelity_median"] or fidelity[2] > tick:
        notes.append("  That is why the figure misses its target here; the program itself still "
                     "counts every pulse in whole ticks.")
    notes.append(
        "- Query latency: a query waits until the worker next looks at its pipe (it rests 100 ms "
        "when it finds the pipe empty), so latencies spread over 0-100 ms, plus the reply's "
        "write.")
    if latency[0] > TARGETS["latency_p50"] or latency[1] > TARGETS["latency_p99"]:
        notes.append("  That rest is why the figure misses its target.")
    notes.append(
        "- Idle CPU counts the bridge process only; the Wine server does part of the work of "
        "every wait and I/O on its behalf and is shown beside it.")
    if cpu > TARGETS["idle_cpu"]:
        notes.append(
            "  It misses because three of the program's threads wake on timers while idle (the "
            "heartbeat and the worker every 100 ms, the incoming reader every 200 ms), and under "
            "Wine each wait is a round trip to the Wine server.")
    if memory > TARGETS["peak_memory"]:
        notes.append(
            "- Peak memory misses because the resident set of a process under Wine includes "
            "Wine's own libraries and loader: our dialog driver, a console program that only "
            "looks up windows, peaks at %.1f MiB under the same Wine, and a dialog adds the "
            "graphics and X11 parts of Wine. The program's own data is a few fixed-size records "
            "and two 2560-byte chart buffers." % (baseline / 2**20))
    notes.append(
        "- Native throughput: the pipe reader and framer take %.0f MB/s, fed straight from "
        "memory. Through a pseudo-terminal, the incoming reader thread and the pipe, the engine "
        "takes %.0f kB/s: the worker empties the 4096-byte pipe and then rests 100 ms, so about "
        "one pipe-full passes per rest. That is still about %.0f times the 960 bytes per second "
        "of a 9600-baud line." % (throughput["framer"] / 1e6, throughput["line"] / 1e3,
                                   throughput["line"] / LINE_RATE))
    return notes


if __name__ == "__main__":
    main()
