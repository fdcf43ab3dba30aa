#!/usr/bin/env python3
"""Memory and CPU of epson-sim under hostile load, as sim/README.md reports them.

    python3 sim/tools/hostile_load.py build/sim/epson-sim

1. RSS of the process before and after 2000 command lines of 65 KB each, sent without a login.
2. CPU used over 5 s with its descriptors exhausted (limit 64, a logged-in command client, then
   100 telemetry connects), and whether the command client is still answered.
"""

import os
import re
import resource
import socket
import subprocess
import sys
import threading
import time

BANNER = re.compile(rb"commands on [^:]+:(\d+), telemetry on [^:]+:(\d+)")


def launch(executable, limit=None):
    def restrict():
        if limit:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

    process = subprocess.Popen([executable, "--command-port", "0", "--telemetry-port", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               preexec_fn=restrict)
    match = BANNER.search(process.stdout.readline())
    return process, int(match[1]), int(match[2])


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


if __name__ == "__main__":
    memory(sys.argv[1])
    descriptors(sys.argv[1])
