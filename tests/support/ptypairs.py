#!/usr/bin/env python3
"""Serial line pairs for the Windows tests: two pseudo-terminals per pair, linked as comA and comB
in a Wine dosdevices folder, with every byte relayed between them, so that a test running under Wine
can play the far end of a port that the code under test opens.

usage: ptypairs.py DOSDEVICES A:B [A:B ...]
Prints "ready" once all links exist and relays until stdin closes or SIGTERM arrives."""
import os
import pty
import select
import signal
import stat
import sys
import tty


def main():
    folder = sys.argv[1]
    masters = {}  # master fd -> the master fd that receives its bytes
    keep = []
    links = []
    for pair_text in sys.argv[2:]:
        ports = [int(p) for p in pair_text.split(":")]
        pair = []
        for port in ports:
            master, slave = pty.openpty()
            tty.setraw(slave)
            os.set_blocking(master, False)
            link = os.path.join(folder, "com%d" % port)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.ttyname(slave), link)
            links.append(link)
            keep.append(slave)  # held open so that a close by the program does not hang up the line
            pair.append(master)
        masters[pair[0]] = pair[1]
        masters[pair[1]] = pair[0]

    def stop(*_):
        for link in links:
            try:
                os.unlink(link)
            except OSError:
                pass
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("ready", flush=True)
    pending = {fd: b"" for fd in masters}
    watch_stdin = stat.S_ISFIFO(os.fstat(0).st_mode)
    while True:
        readers = list(masters) + ([0] if watch_stdin else [])
        writers = [fd for fd, data in pending.items() if data]
        ready_r, ready_w, _ = select.select(readers, writers, [], 1.0)
        for fd in ready_r:
            if fd == 0:
                if not os.read(0, 4096):
                    stop()
                continue
            try:
                data = os.read(fd, 4096)
            except OSError:
                continue
            pending[masters[fd]] += data
        for fd in ready_w:
            try:
                n = os.write(fd, pending[fd])
                pending[fd] = pending[fd][n:]
            except OSError:
                pass


if __name__ == "__main__":
    main()
