#!/usr/bin/env python3
"""Memory and CPU of epson-sim under hostile load, as sim/README.md reports them.

    python3 sim/tools/hostile_load.py build/sim/epson-sim

1. RSS of the process before and after 2000 command lines of 65 KB each, sent without a login.
2. CPU used over 5 s with its descriptors exhausted (limit 64, a logged-in command client, then
   100 telemetry connects), and whether the command client is still answered.
3. RSS after 20,000 one-shot regular-expression rules, each spent by one command.
4. RSS after 1,000,000 empty command lines with the log's capacity set to 10,000,000 lines.
5. RSS after 1,000,000 point assignments (P0 = ... up to P999999) and how many were taken.
6. Clients that never read: a command client that pipelines, eight control clients that send
   directives, 64 telemetry clients; whether each port serves a new client within 30 s.
"""

import contextlib
import os
import re
import resource
import socket
import subprocess
import sys
import threading
import time

BANNER = re.compile(rb"commands on [^:]+:(\d+), telemetry on [^:]+:(\d+)")
CONTROL = re.compile(rb"control on [^:]+:(\d+)")


def launch(executable, limit=None, *options):
    def restrict():
        if limit:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

    process = subprocess.Popen([executable, "--command-port", "0", "--telemetry-port", "0",
                                *options],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               preexec_fn=restrict)
    match = BANNER.search(process.stdout.readline())
    return process, int(match[1]), int(match[2])


def launch_with_control(executable, *options):
    process, command_port, telemetry_port = launch(executable, None, "--control-port", "0",
                                                   "--control-idle-timeout", "0", *options)
    control_port = int(CONTROL.search(process.stdout.readline())[1])
    return process, command_port, telemetry_port, control_port


def exchange(sock, lines, chunk=2000):
    """Sends the lines (bytes, each with its end) in chunks and reads one reply line for each;
    returns the replies."""
    replies = []
    pending = b""
    for start in range(0, len(lines), chunk):
        batch = lines[start:start + chunk]
        sock.sendall(b"".join(batch))
        wanted = len(replies) + len(batch)
        while len(replies) < wanted:
            data = sock.recv(1 << 20)
            if not data:
                return replies
            pending += data
            *complete, pending = pending.split(b"\n")
            replies += complete
    return replies


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(executable):
    process, command_port, _ = launch(executable)
    try:
        before = rss_kib(process.pid)
        with socket.create_connection(("127.0.0.1", command_port)) as client:
            client.settimeout(10)
            received = bytearray()

            def read():  # every reply is read: only the simulator's own memory grows
                while b"#Login,0" not in received[-64:]:
                    chunk = client.recv(65536)
                    if not chunk:
                        return
                    received.extend(chunk)

            reader = threading.Thread(target=read)
            reader.start()
            line = b"$" + b"L" * 65000 + b"\r\n"
            started = time.monotonic()
            for _ in range(2000):
                client.sendall(line)
            client.sendall(b"$Login\r\n")
            reader.join(30)
            elapsed = time.monotonic() - started
            after = rss_kib(process.pid)
        print(f"RSS {before / 1024:.1f} MiB -> {after / 1024:.1f} MiB after 2000 lines of "
              f"65 KB without a login ({elapsed:.2f} s)")
    finally:
        process.kill()
        process.wait()


def descriptors(executable):
    process, command_port, telemetry_port = launch(executable, limit=64)
    connections = []
    try:
        client = socket.create_connection(("127.0.0.1", command_port), timeout=5)
        connections.append(client)
        client.sendall(b"$Login\r\n")
        client.recv(64)
        for _ in range(100):
            connections.append(socket.create_connection(("127.0.0.1", telemetry_port)))
        time.sleep(0.5)
        before = cpu_seconds(process.pid)
        time.sleep(5.0)
        used = cpu_seconds(process.pid) - before
        client.sendall(b"$GetStatus\r\n")
        answer = client.recv(64)
        print(f"CPU {used:.2f} s in 5 s with descriptors exhausted; the command client still "
              f"gets {answer!r}")
    except OSError as error:
        print(f"CPU measurement failed: {error}")
    finally:
        for connection in connections:
            connection.close()
        process.kill()
        process.wait()


@contextlib.contextmanager
def clients(executable, login=True):
    """A simulator with a control port, a command client (logged in unless ``login`` is false)
    and a control client, both with 30 s time-outs; the simulator is killed at the end."""
    process, command_port, _, control_port = launch_with_control(executable)
    try:
        with socket.create_connection(("127.0.0.1", command_port), timeout=30) as client, \
                socket.create_connection(("127.0.0.1", control_port), timeout=30) as control:
            if login:
                exchange(client, [b"$Login\r\n"])
            yield process, client, control
    finally:
        process.kill()
        process.wait()


def one_shot_rules(executable):
    with clients(executable) as (process, client, control):
        before = rss_kib(process.pid)
        for round in range(20):
            names = range(round * 1000, round * 1000 + 1000)
            exchange(control, [b'answer "^\\\\$Execute,\\"Print %d\\"$" "#Execute,0" times=1 '
                               b"regex\n" % n for n in names])
            replies = exchange(client, [b'$Execute,"Print %d"\r\n' % n for n in names])
            assert replies[-1].rstrip() == b"#Execute,0", replies[-1]
        after = rss_kib(process.pid)
    print(f"RSS {before / 1024:.1f} MiB -> {after / 1024:.1f} MiB after 20,000 one-shot regex "
          f"rules, each spent")


def empty_lines(executable):
    with clients(executable, login=False) as (process, client, control):
        exchange(control, [b"log-capacity 10000000\n"])
        before = rss_kib(process.pid)
        exchange(client, [b"\r\n"] * 1_000_000, chunk=20000)
        after = rss_kib(process.pid)
    print(f"RSS {before / 1024:.1f} MiB -> {after / 1024:.1f} MiB after 1,000,000 empty "
          f"lines with log-capacity 10000000")


def points(executable):
    with clients(executable) as (process, client, _):
        before = rss_kib(process.pid)
        replies = exchange(client, [b'$Execute,"P%d = XY(%d, 1, 2, 3, 4, 5)"\r\n' % (n, n % 1000)
                                    for n in range(1_000_000)], chunk=20000)
        taken = sum(reply.startswith(b"#") for reply in replies)
        after = rss_kib(process.pid)
    print(f"RSS {before / 1024:.1f} MiB -> {after / 1024:.1f} MiB after 1,000,000 point "
          f"assignments ({taken} taken)")


def slot_comes_back(connect, probe, timeout=30.0):
    """Seconds until a new client of the port is served, or None."""
    started = time.monotonic()
    while time.monotonic() - started < timeout:
        try:
            with connect() as sock:
                sock.settimeout(1.0)
                if probe(sock):
                    return time.monotonic() - started
        except OSError:
            pass
        time.sleep(0.2)
    return None


def stalled_readers(executable):
    process, command_port, telemetry_port, control_port = launch_with_control(
        executable, "--rate", "10000")
    stalled = []

    def tiny(port):
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        sock.connect(("127.0.0.1", port))
        sock.setblocking(False)
        stalled.append(sock)
        return sock

    def flood(sock, data, seconds=3.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                sock.send(data)
            except BlockingIOError:
                time.sleep(0.01)
            except OSError:
                return

    def answered(port, line, expected):
        def probe(sock):
            sock.sendall(line)
            return sock.recv(256).startswith(expected)
        return slot_comes_back(lambda: socket.create_connection(("127.0.0.1", port)), probe)

    try:
        command = tiny(command_port)
        command.send(b"$Login\r\n")
        flood(command, b"$GetStatus\r\n" * 1000)
        controls = [tiny(control_port) for _ in range(8)]
        for sock in controls:
            flood(sock, (b"x" * 60 + b"\n") * 1000, seconds=1.0)
        for _ in range(64):
            tiny(telemetry_port)
        results = {
            "command": answered(command_port, b"$Login\r\n", b"#Login,0"),
            "control": answered(control_port, b"system-error 0\n", b"ok"),
            "telemetry": slot_comes_back(
                lambda: socket.create_connection(("127.0.0.1", telemetry_port)),
                lambda sock: sock.recv(256).startswith(b"X=")),
        }
        print("clients that never read: " + "; ".join(
            f"a new {port} client served after {seconds:.1f} s" if seconds is not None
            else f"no new {port} client served within 30 s" for port, seconds in results.items()))
    finally:
        for sock in stalled:
            sock.close()
        process.kill()
        process.wait()


if __name__ == "__main__":
    memory(sys.argv[1])
    descriptors(sys.argv[1])
    one_shot_rules(sys.argv[1])
    empty_lines(sys.argv[1])
    points(sys.argv[1])
    stalled_readers(sys.argv[1])
