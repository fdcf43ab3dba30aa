"""Helper of bench_scale.py: runs N simulated controllers in this process, prints their
(command port, telemetry port) pairs as one JSON line and serves until standard input closes
(or five minutes pass), so that the measured process holds only the stations."""

import json
import os
import sys
import threading

import common  # noqa: F401  (module paths)

import _cell_simulator


def main():
    count, rate = int(sys.argv[1]), float(sys.argv[2])
    # Never outlive a driver that died without closing our input.
    watchdog = threading.Timer(300.0, lambda: os._exit(3))
    watchdog.daemon = True
    watchdog.start()
    sims = [_cell_simulator.Simulator(rate_hz=rate) for _ in range(count)]
    for sim in sims:
        sim.start()
    print(json.dumps([[sim.command_port, sim.telemetry_port] for sim in sims]), flush=True)
    sys.stdin.read()
    for sim in sims:
        sim.stop()
    os._exit(0)


if __name__ == "__main__":
    main()
