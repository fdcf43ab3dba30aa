"""2. Telemetry: parser throughput, freshness at 1 kHz, and a max-rate stream without loss.

- Parser (Google Benchmark, bench/parser_bench.cpp): the receiver's parsePacket_ on a typical
  full sample packet and on a status packet, against scanning the same bytes for the ';' and
  '=' separators. Repetitions are randomly interleaved; median and p99 are over repetitions.
- Freshness: a loopback peer writes a full sample packet every millisecond; a reader thread
  polls getSample() and notes when each packet's values appear. Measured per packet from just
  before the peer's write. Floor, interleaved in blocks: a blocking recv on the same stream that
  notes when each packet's line end arrives.
- Max rate: the peer writes packets as fast as the socket takes them. The receiver must keep
  every one: the last packet is the last sample seen, every sample seen is self-consistent
  (all twelve values from one packet) and in order, and the connection never dropped. The
  receiver reads every byte in order on one connection and each packet is well formed, so
  with those checks no packet was skipped. Floor: a recv loop that only finds line ends.
"""

import argparse
import json
import subprocess
import time

import common
from common import goal, median, percentile, record

import _bench_native


def parser_throughput(repetitions):
    output = subprocess.run(
        [common.PARSER_BENCH, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
         "--benchmark_min_time=0.05", "--benchmark_enable_random_interleaving=true"],
        check=True, capture_output=True, text=True, timeout=120).stdout
    runs = {}
    for run in json.loads(output)["benchmarks"]:
        if run.get("run_type") == "iteration":
            # CPU time per packet: on a shared machine it is less disturbed than wall time.
            runs.setdefault(run["run_name"], []).append(run["cpu_time"])
    print("\n  parser, CPU time per packet over "
          f"{repetitions} interleaved repetitions (Google Benchmark)")
    print(f"    {'benchmark':<18}{'median':>12}{'p99':>12}{'packets/s (median)':>22}")
    for name, times in runs.items():
        print(f"    {name:<18}{median(times):>9.1f} ns{percentile(times, 99):>9.1f} ns"
              f"{1e9 / median(times):>22,.0f}")
    for parse, scan in (("BM_ParseSample", "BM_ScanSample"), ("BM_ParseStatus", "BM_ScanStatus")):
        print(f"    ratio {parse} / {scan}: median {median(runs[parse]) / median(runs[scan]):.1f}x, "
              f"p99 {percentile(runs[parse], 99) / percentile(runs[scan], 99):.1f}x")
    sample = median(runs["BM_ParseSample"])
    record("parser_sample_ns", sample)
    record("parser_sample_packets_per_s", 1e9 / sample)
    return sample


def freshness(rounds, count):
    rows = {"receiver getSample()": [], "raw recv (floor)": []}
    missed = {name: 0 for name in rows}
    inconsistent = 0
    for r in range(rounds):
        order = [("receiver", "receiver getSample()"), ("raw", "raw recv (floor)")]
        for reader, name in (order if r % 2 == 0 else order[::-1]):
            result = _bench_native.freshness(reader, 1000.0, count)
            rows[name].append(result["latencies_ns"])
            missed[name] += result["missed"]
            inconsistent += result["inconsistent"]
    flat = common.table(f"freshness at 1 kHz, peer write to reader seeing it ({rounds} rounds x "
                        f"{count} packets)", rows,
                        [("receiver getSample()", "raw recv (floor)")])
    print(f"    packets the polling reader never saw: {missed}; mixed samples seen: {inconsistent}")
    value = median(flat["receiver getSample()"])
    record("freshness_median_us", value / 1000)
    record("freshness_p99_us", percentile(flat["receiver getSample()"], 99) / 1000)
    goal("telemetry freshness at 1 kHz, median under 100 us", value < 100_000 and inconsistent == 0,
         f"{value / 1000:.1f} us (p99 {percentile(flat['receiver getSample()'], 99) / 1000:.1f} us)")


def max_rate(rounds, count):
    rates = {"receiver": [], "raw": []}
    lossless = True
    notes = []
    for r in range(rounds):
        for reader in (("receiver", "raw") if r % 2 == 0 else ("raw", "receiver")):
            result = _bench_native.max_rate(reader, count)
            rates[reader].append(count / result["seconds"])
            if reader == "receiver":
                ok = (result["last_seen"] == count and result["stayed_connected"]
                      and result["inconsistent"] == 0 and result["backwards"] == 0)
                lossless = lossless and ok
                notes.append(f"last={result['last_seen']} checks={result['checks']} "
                             f"mixed={result['inconsistent']} backwards={result['backwards']} "
                             f"connected={result['stayed_connected']}")
    print(f"\n  max-rate stream, {count} packets of {len(_bench_native.sample_packet(count // 2))} "
          f"bytes per run, {rounds} runs each")
    for reader, name in (("receiver", "receiver (parses, publishes)"), ("raw", "raw recv, line ends only")):
        values = rates[reader]
        print(f"    {name:<34}median {median(values):>12,.0f} packets/s   "
              f"slowest run {min(values):>12,.0f} packets/s")
    print(f"    ratio receiver / raw: {median(rates['receiver']) / median(rates['raw']):.3f}x")
    for note in notes:
        print(f"    receiver run: {note}")
    record("max_rate_packets_per_s", median(rates["receiver"]))
    goal("telemetry max-rate stream, no packet lost by the receiver", lossless,
         f"{median(rates['receiver']):,.0f} packets/s, all {count} packets of every run kept")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repetitions", type=int, default=20)
    parser.add_argument("--fresh-rounds", type=int, default=4)
    parser.add_argument("--fresh-count", type=int, default=750)
    parser.add_argument("--rate-rounds", type=int, default=4)
    parser.add_argument("--rate-count", type=int, default=200_000)
    args = parser.parse_args()

    common.header(2, "Telemetry")
    parser_throughput(args.repetitions)
    freshness(args.fresh_rounds, args.fresh_count)
    max_rate(args.rate_rounds, args.rate_count)


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"  ({time.monotonic() - started:.1f} s)")
