"""Runs the six benchmarks one after the other (each in its own process, each bounded in time),
prints their tables as they come and then every goal line again with the machine it ran on.

    python bench/run.py [--quick] [--only 1,3]

The modules are taken from $EPSON_BENCH_BUILD (default: build-bench), which `make bench` builds
in Release with EPSON_BUILD_BENCH=ON.
"""

import argparse
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (number, script, arguments for a full run, arguments for --quick, time limit in seconds)
BENCHMARKS = [
    (1, "bench_command.py", [], ["--rounds", "8", "--sim-rounds", "4", "--batch", "200"], 180),
    (2, "bench_telemetry.py", [], ["--repetitions", "5", "--fresh-rounds", "2", "--fresh-count",
                                   "300", "--rate-rounds", "2", "--rate-count", "50000",
                                   "--latency-rounds", "2", "--latency-count", "300",
                                   "--record-rounds", "2", "--record-seconds", "1"], 240),
    (3, "bench_motion.py", [], ["--rounds", "3", "--plain", "100", "--pauses", "50", "--aborts",
                                "30"], 240),
    (4, "bench_scale.py", [], ["--rounds", "1", "--idle", "3", "--stations", "16"], 180),
    (5, "bench_gil.py", [], ["--rounds", "1", "--window", "0.3"], 180),
    (6, "bench_view.py", [], ["--rounds", "2", "--fresh-count", "300", "--latency-count", "300"],
     240),
]


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()
    return (f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}, Python "
            f"{platform.python_version()}; load average at start {load[0]:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds: a smoke run")
    parser.add_argument("--only", default="", help="comma-separated benchmark numbers")
    args = parser.parse_args()
    only = {int(n) for n in args.only.split(",") if n}

    print(f"machine: {machine()}", flush=True)
    started = time.monotonic()
    goals, failures = [], []
    for number, script, full, quick, limit in BENCHMARKS:
        if only and number not in only:
            continue
        command = [sys.executable, os.path.join(HERE, script)] + (quick if args.quick else full)
        try:
            process = subprocess.run(command, capture_output=True, text=True, timeout=limit)
        except subprocess.TimeoutExpired as expired:
            failures.append(f"{script}: stopped after {limit} s")
            sys.stdout.write(expired.stdout or "")
            continue
        for line in process.stdout.splitlines():
            # The link's own progress lines say nothing about speed.
            if line.startswith(("Connected to ", "Disconnected from ", "FIGURE ")):
                continue
            print(line, flush=True)
            if line.startswith("GOAL "):
                goals.append(line[5:])
        if process.returncode != 0:
            failures.append(f"{script}: exit status {process.returncode}")
            sys.stdout.write(process.stderr[-3000:])

    print(f"\n=== Goals ({machine()}) ===")
    for line in goals:
        print(f"  {line}")
    for line in failures:
        print(f"  FAILED {line}")
    print(f"  wall time of all benchmarks: {time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
