"""4. Scale: 64 stations in one process against 64 simulated controllers streaming at 100 Hz.

The controllers run in a helper process (bench/scale_sims.py), so that this process holds only
the stations. Measured here: the time to open each station and all 64 (one after the other, as a
caller would), threads (/proc/self/task), resident memory (/proc/self/status VmRSS) before and
after, and the CPU time of this process (os.times(), all threads) over an idle window in which
no command is sent and the telemetry streams on, against the same window with no station open.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import common
from common import goal, median, percentile, record

import _bench_native
import _cell_command_link  # noqa: F401  (registers the Python types the station hands out)
import _cell_station
import _cell_telemetry  # noqa: F401


def threads():
    return len(os.listdir("/proc/self/task"))


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def cpu_seconds():
    times = os.times()
    return times.user + times.system


def child_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu_percent(window):
    """This process's CPU use over window seconds, in percent of one core."""
    cpu, wall = cpu_seconds(), time.monotonic()
    time.sleep(window)
    return 100.0 * (cpu_seconds() - cpu) / (time.monotonic() - wall)


def open_stations(ports, open_times):
    stations = []
    for command_port, telemetry_port in ports:
        t0 = time.perf_counter_ns()
        stations.append(_cell_station.CellStation("127.0.0.1", command_port, telemetry_port))
        open_times.append(time.perf_counter_ns() - t0)
    return stations


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stations", type=int, default=64)
    parser.add_argument("--rate", type=float, default=100.0)
    parser.add_argument("--idle", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    n = args.stations

    common.header(4, f"Scale: {n} stations against {n} simulated controllers at {args.rate:g} Hz")
    helper = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "scale_sims.py"),
                               str(n), str(args.rate)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    open_times, open_all, idle, floor, wakeups, close_all = [], [], [], [], [], []
    try:
        ports = json.loads(helper.stdout.readline())
        telemetry_ports = [t for _, t in ports]
        baseline_cpu = idle_cpu_percent(2.0)
        for r in range(args.rounds):
            # The floor: as many threads blocked in recv on the same streams, nothing else.
            floor.append(_bench_native.raw_readers(telemetry_ports, args.idle)["cpu_percent"])
            # Below it, what the wake-ups alone cost on this machine.
            wakeups.append(_bench_native.sleepers(n, args.rate, args.idle / 2))

            threads0, rss0 = threads(), rss_kib()
            started = time.monotonic()
            stations = open_stations(ports, open_times)
            open_all.append(time.monotonic() - started)
            threads1, rss1 = threads(), rss_kib()

            time.sleep(1.0)  # let the streams settle before the idle window
            sims_cpu0, wall0 = child_cpu_seconds(helper.pid), time.monotonic()
            idle.append(idle_cpu_percent(args.idle))
            sims_cpu = 100.0 * (child_cpu_seconds(helper.pid) - sims_cpu0) / (time.monotonic() - wall0)
            ages = [s.get_receive_interface().sample_age_seconds() for s in stations]
            connected = sum(1 for s in stations if s.is_connected())

            started = time.monotonic()
            for station in stations:
                station.disconnect()
            close_all.append(time.monotonic() - started)
            del stations
            if r == 0:
                first = (threads0, threads1, rss0, rss1)
    finally:
        helper.stdin.close()
        try:
            helper.wait(10)
        except subprocess.TimeoutExpired:
            helper.kill()
            helper.wait(5)

    threads0, threads1, rss0, rss1 = first
    station_cpu, floor_cpu = median(idle), median(floor)
    print(f"\n  open, one after the other: all {n} in {median(open_all):.3f} s (median of "
          f"{args.rounds} rounds); per station median {median(open_times) / 1e6:.2f} ms, p99 "
          f"{percentile(open_times, 99) / 1e6:.2f} ms (a station waits for its first complete "
          f"sample; samples come every {1000 / args.rate:.0f} ms)")
    print(f"  threads: {threads0} before, {threads1} with {n} stations "
          f"({(threads1 - threads0) / n:.2f} per station)")
    print(f"  resident memory: {rss0 / 1024:.1f} MiB before, {rss1 / 1024:.1f} MiB with {n} stations, "
          f"{(rss1 - rss0) / n:.0f} KiB per station")
    print(f"  CPU of this process while idle, telemetry streaming ({args.rounds} windows of "
          f"{args.idle:g} s each, interleaved):")
    print(f"    {n} stations                       {station_cpu:6.2f} % of one core   windows "
          f"{', '.join(f'{v:.2f}' for v in idle)}")
    print(f"    {n} raw recv threads (floor)       {floor_cpu:6.2f} % of one core   windows "
          f"{', '.join(f'{v:.2f}' for v in floor)}")
    print(f"    {n} threads that only wake at {args.rate:g} Hz {median(wakeups):6.2f} % of one core   windows "
          f"{', '.join(f'{v:.2f}' for v in wakeups)}")
    print(f"    no station open                    {baseline_cpu:6.2f} %")
    print(f"    ratio stations / floor: {station_cpu / floor_cpu:.2f}x; per station "
          f"{station_cpu / n * 1000:.1f} milli-% of a core")
    print(f"  (the {n} simulators in their own process used {sims_cpu:.1f} % of one core)")
    print(f"  last round: {connected}/{n} connected through the window; newest sample at its end "
          f"at most {max(ages) * 1000:.1f} ms old; closing all took {median(close_all):.3f} s")
    record("scale_open_all_s", median(open_all))
    record("scale_threads_per_station", (threads1 - threads0) / n)
    record("scale_rss_kib_per_station", (rss1 - rss0) / n)
    record("scale_idle_cpu_percent", station_cpu)
    record("scale_idle_floor_percent", floor_cpu)
    record("scale_idle_wakeups_percent", median(wakeups))
    goal(f"{n} stations idle with telemetry at {args.rate:g} Hz, CPU under 5% of one core",
         station_cpu < 5.0 and connected == n,
         f"{station_cpu:.2f} % (floor of {n} bare recv threads: {floor_cpu:.2f} %; {n} threads "
         f"only waking at {args.rate:g} Hz: {median(wakeups):.2f} %)")


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"  ({time.monotonic() - started:.1f} s)")
