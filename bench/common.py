"""Shared parts of the benchmark drivers: module paths, the minimal responder, statistics,
printing and the goal lines that bench/run.py collects."""

import contextlib
import json
import math
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("EPSON_BENCH_BUILD", os.path.join(ROOT, "build-bench")))
sys.path[:0] = [os.path.join(BUILD, "python"), os.path.join(BUILD, "bench")]
# For A/B runs: directories searched before the build's modules (for example a second build
# of the connector's modules), separated by ':'.
if os.environ.get("EPSON_BENCH_FIRST_PATH"):
    sys.path[:0] = os.environ["EPSON_BENCH_FIRST_PATH"].split(":")

RESPONDER = os.path.join(BUILD, "bench", "epson-bench-responder")
PARSER_BENCH = os.path.join(BUILD, "bench", "epson-bench-parser")

POWER_COMMAND = '$Execute,"Print Power"'


def percentile(values, q):
    """Nearest-rank percentile (q in 0..100) of a non-empty sequence."""
    ordered = sorted(values)
    rank = max(1, math.ceil(q / 100.0 * len(ordered)))
    return ordered[rank - 1]


def median(values):
    return statistics.median(values)


def us(ns):
    return f"{ns / 1000.0:8.2f} us"


def spread(rounds):
    """The noise between rounds: lowest and highest per-round median, in microseconds."""
    medians = [median(r) for r in rounds if r]
    return f"{min(medians) / 1000:.2f}..{max(medians) / 1000:.2f}"


def table(title, rows, baselines=()):
    """Prints median, p99 and the per-round spread of each alternative, then the ratios of
    medians and p99s against each (name, baseline) pair. rows: name -> list of rounds (lists
    of nanoseconds)."""
    print(f"\n  {title}")
    print(f"    {'alternative':<34}{'n':>7}{'median':>13}{'p99':>13}   round medians (us)")
    flat = {}
    for name, rounds in rows.items():
        values = [v for r in rounds for v in r]
        flat[name] = values
        print(f"    {name:<34}{len(values):>7}{us(median(values)):>13}{us(percentile(values, 99)):>13}"
              f"   {spread(rounds)}")
    for name, base in baselines:
        m = median(flat[name]) / median(flat[base])
        p = percentile(flat[name], 99) / percentile(flat[base], 99)
        print(f"    ratio {name} / {base}: median {m:.3f}x, p99 {p:.3f}x")
    return flat


def goal(text, met, figure):
    """One goal line; bench/run.py repeats these at the end. met None: a figure to report."""
    mark = "REPORT" if met is None else "MET" if met else "MISSED"
    print(f"GOAL [{mark}] {text}: {figure}", flush=True)


def record(name, value):
    """A machine-readable figure for the summary (stdout line prefixed FIGURE)."""
    print("FIGURE " + json.dumps({name: value}), flush=True)


@contextlib.contextmanager
def responder():
    """The minimal responder as a child process; yields its port. It exits when we close its
    standard input, and by itself after ten minutes at the latest."""
    with responder_process() as (port, _):
        yield port


@contextlib.contextmanager
def responder_process():
    """The minimal responder; yields its port and the process, whose standard output then
    carries its "GO <ns>" and "ABORT <ns>" arrival lines."""
    process = subprocess.Popen([RESPONDER, "--lifetime", "600"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError(f"responder did not start: {line!r}")
        yield int(line.split()[1]), process
    finally:
        process.stdin.close()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


def wait_until(predicate, timeout=5.0, interval=0.001):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class PlainClient:
    """What a user would write instead of the connector: a socket, sendall and recv."""

    def __init__(self, port, password=""):
        import socket

        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        if not self.exchange(f"$Login,{password}\r\n".encode()).startswith(b"#Login"):
            raise RuntimeError("login refused")

    def exchange(self, wire):
        self.sock.sendall(wire)
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("peer closed")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line

    def get_power_mode(self):
        line = self.exchange(b'$Execute,"Print Power"\r\n')
        if not line.startswith(b"#Execute,"):
            raise RuntimeError(line.decode(errors="replace"))
        return int(line.split(b'"')[1])

    def close(self):
        self.sock.close()


def timed_calls(function, count):
    """Times count calls of function from Python; nanoseconds each."""
    clock = time.perf_counter_ns
    times = []
    append = times.append
    for _ in range(count):
        start = clock()
        function()
        append(clock() - start)
    return times


def timer_overhead_ns():
    """The cost of the timing itself around a call from Python (two clock reads)."""
    return median(timed_calls(lambda: None, 20000))


def header(number, title):
    print(f"\n=== {number}. {title} ===", flush=True)
