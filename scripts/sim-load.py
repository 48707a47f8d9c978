#!/usr/bin/env python3
"""Measures minimap-server under load: memory per idle connection, the descriptor limit, and a
large scenario.

    scripts/sim-load.py [--server build/release/bin/minimap-server] [--idle 500]
                        [--nofile 256] [--flood 600] [--seconds 6] [--npcs 100000]

Idle: starts the server, opens --idle connections that read their Hello and then wait, and
prints the growth of the server's resident memory and heap per connection. Descriptor limit:
starts the server under `prlimit --nofile=N`, opens --flood connections, holds them for
--seconds, closes one and checks that a waiting client is served; prints the server's CPU
time, the log lines it wrote and the connections it accepted. Large scenario: --npcs NPCs
at time 0; one client polls and then queries every NPC, reading as fast as it can; prints the
messages received, the time each answer took and the server's peak resident memory. Loopback
only.
"""
import argparse
import os
import re
import socket
import subprocess
import struct
import sys
import tempfile
import time

HELLO = bytes.fromhex("21000100 0e000000 08000100 0000".replace(" ", ""))


def start(server, prefix=(), log=subprocess.DEVNULL, extra=()):
    env = dict(os.environ, PLINTH_LOG_LEVEL="3")
    proc = subprocess.Popen(list(prefix) + [server, "--port", "0"] + list(extra),
                            stdout=subprocess.PIPE, stderr=log, env=env, text=True)
    line = proc.stdout.readline()
    port = int(re.search(r":(\d+),", line).group(1))
    return proc, port


def connect(port, read_hello=True, timeout=10.0):
    s = socket.create_connection(("127.0.0.1", port))
    if read_hello:
        s.settimeout(timeout)
        got = b""
        while len(got) < len(HELLO):
            chunk = s.recv(len(HELLO) - len(got))
            if not chunk:
                raise RuntimeError("connection closed before Hello")
            got += chunk
        if got != HELLO:
            raise RuntimeError("not a Hello: " + got.hex())
    return s


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle(args):
    proc, port = start(args.server)
    try:
        warm = [connect(port) for _ in range(10)]
        before = status_kb(proc.pid, "VmRSS")
        conns = [connect(port) for _ in range(args.idle)]
        after = status_kb(proc.pid, "VmRSS")
        per = (after - before) * 1024 / args.idle
        print(f"idle: {args.idle} connections: resident memory +{after - before} KiB, "
              f"{per:.0f} bytes per idle connection")
        for s in conns + warm:
            s.close()
    finally:
        proc.terminate()
        proc.wait()


def flood(args):
    log_path = "/tmp/sim-load-flood.log"
    with open(log_path, "w") as log:
        proc, port = start(args.server, ("prlimit", f"--nofile={args.nofile}"), log)
    try:
        cpu0 = cpu_seconds(proc.pid)
        conns = [connect(port, read_hello=False) for _ in range(args.flood)]
        time.sleep(args.seconds)
        cpu = cpu_seconds(proc.pid) - cpu0
        # Who got a Hello: the served ones; close one of them, and one waiting client must
        # then be served.
        served = []
        waiting = []
        for s in conns:
            s.setblocking(False)
            try:
                (served if s.recv(64) else waiting).append(s)
            except BlockingIOError:
                waiting.append(s)
        served[0].close()
        served_after_close = False
        deadline = time.time() + 10
        while time.time() < deadline and not served_after_close:
            for s in waiting:
                try:
                    if s.recv(64):
                        served_after_close = True
                        break
                except BlockingIOError:
                    pass
            time.sleep(0.05)
        for s in conns:
            s.close()
    finally:
        proc.terminate()
        proc.wait()
    with open(log_path) as f:
        lines = f.read().splitlines()
    accept_lines = sum(1 for line in lines if "accept failed" in line)
    print(f"descriptor limit {args.nofile}, {args.flood} connections held {args.seconds} s: "
          f"server CPU {cpu:.2f} s, {len(lines)} log lines ({accept_lines} 'accept failed'), "
          f"{len(served)} served, a waiting client served after a close: {served_after_close}")


def read_until_end(sock):
    """Reads messages up to and including a QueryEnd; returns how many, or raises with the
    count when the server closes the connection first."""
    count = 0
    buf = b""
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            raise ConnectionError(f"connection closed by the server after {count} messages")
        buf += chunk
        at = 0
        while len(buf) - at >= 6:
            length = struct.unpack_from("<H", buf, at + 4)[0]
            if len(buf) - at < length:
                break
            count += 1
            # Type 32, id 254, chunk 0 op 4: QueryEnd.
            if buf[at:at + 4] == b"\x20\x00\xfe\x00" and \
                    struct.unpack_from("<i", buf, at + 10)[0] == 4:
                return count
            at += length
        buf = buf[at:]


def large(args):
    poll = bytes.fromhex("2000ff000e00" "00000800" "05000000")
    query_all = bytes.fromhex("2000ff001600" "00000800" "03000000" "01000800" "ffffffff")
    # A query no NPC answers: its QueryEnd marks the end of a poll answer.
    query_none = bytes.fromhex("2000ff001600" "00000800" "03000000" "01000800" "e7030000")
    with tempfile.NamedTemporaryFile("w", suffix=".scn", delete=False) as f:
        for i in range(1, args.npcs + 1):
            f.write(f'0 npc {i} appear name="Trader" x=1 y=1\n')
        path = f.name
    proc, port = start(args.server, extra=("--scenario", path, "--clock", "poll"))
    try:
        s = connect(port)
        s.settimeout(60)
        figures = []
        for name, request in (("poll", poll + query_none), ("query", query_all)):
            t0 = time.time()
            try:
                s.sendall(request)
                count = read_until_end(s)
            except OSError as e:
                figures.append(f"{name}: {e}")
                break
            # Without the QueryEnd: the Sets of the poll, the results of the query.
            figures.append(f"{name}: {count - 1} messages in {time.time() - t0:.2f} s")
        hwm = status_kb(proc.pid, "VmHWM")
        print(f"large: {args.npcs} NPCs: " + "; ".join(figures) +
              f"; server peak resident memory {hwm / 1024:.1f} MiB")
        s.close()
    finally:
        proc.terminate()
        proc.wait()
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default="build/release/bin/minimap-server")
    parser.add_argument("--idle", type=int, default=500)
    parser.add_argument("--nofile", type=int, default=256)
    parser.add_argument("--flood", type=int, default=600)
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--npcs", type=int, default=100000)
    args = parser.parse_args()
    idle(args)
    flood(args)
    large(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
