"""5. The interpreter lock: the command rate one Python thread gets while another spins.

A worker thread calls get_power_mode() in a loop against the minimal responder for a window;
the rate alone is compared with the rate while a second thread runs a pure-Python loop. The
plain-Python socket client is measured the same way. Windows alternate (alone, spinning) and
the whole is repeated at the default switch interval (5 ms) and at 0.5 ms.

Every call releases the interpreter lock while it waits, so the spinner runs meanwhile. But
when the reply is in, the worker needs the lock back to return into Python, and a thread that
holds it runs on until the interpreter's switch interval has passed and it is asked to let go.
So with a spinner each call costs about one switch interval: the rate is bounded by
1 / sys.getswitchinterval(), whatever the connector does.
"""

import argparse
import sys
import threading
import time

import common
from common import PlainClient, goal, median, percentile, record

import _cell_command_link


def rate(function, window, spinning):
    """Calls per second of function in a worker thread over window seconds, and the time of
    each call, with or without a second thread spinning in pure Python meanwhile."""
    stop = threading.Event()
    times = []

    def work():
        clock = time.perf_counter_ns
        append = times.append
        while not stop.is_set():
            start = clock()
            function()
            append(clock() - start)

    def spin():
        n = 0
        while not stop.is_set():
            n += 1

    threads = [threading.Thread(target=work)]
    if spinning:
        threads.append(threading.Thread(target=spin))
    for thread in threads:
        thread.start()
    time.sleep(window)
    stop.set()
    for thread in threads:
        thread.join()
    return len(times) / window, times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    common.header(5, "The interpreter lock: command rate with a pure-Python thread spinning")
    default_interval = sys.getswitchinterval()
    results = {}
    latencies = {}
    with common.responder() as port:
        link = _cell_command_link.CellCommandLink()
        link.connect("127.0.0.1", port)
        plain = PlainClient(port)
        clients = {"product": link.get_power_mode, "plain Python socket": plain.get_power_mode}
        try:
            for interval in (default_interval, default_interval / 10):
                sys.setswitchinterval(interval)
                for r in range(args.rounds):
                    for name, function in clients.items():
                        for spinning in ((False, True) if r % 2 == 0 else (True, False)):
                            key = (interval, name, spinning)
                            calls, times = rate(function, args.window, spinning)
                            results.setdefault(key, []).append(calls)
                            latencies.setdefault(key, []).extend(times)
        finally:
            sys.setswitchinterval(default_interval)
            link.disconnect()
            plain.close()

    print(f"\n  calls per second (median of {args.rounds} windows of {args.window:g} s) and the time "
          "of one call as the worker sees it")
    print(f"    {'interval':<10}{'client':<21}{'alone/s':>9}{'spinning/s':>12}{'ratio':>8}"
          f"{'call alone':>23}{'call spinning':>26}")
    print(f"    {'':<10}{'':<21}{'':>9}{'':>12}{'':>8}{'median / p99':>23}{'median / p99':>26}")
    for interval in (default_interval, default_interval / 10):
        for name in ("product", "plain Python socket"):
            alone = median(results[(interval, name, False)])
            spinning = median(results[(interval, name, True)])
            a = latencies[(interval, name, False)]
            b = latencies[(interval, name, True)]
            print(f"    {interval * 1000:>5.1f} ms  {name:<21}{alone:>9,.0f}{spinning:>12,.0f}"
                  f"{spinning / alone:>8.3f}{median(a) / 1000:>11.1f} / {percentile(a, 99) / 1000:>6.1f} us"
                  f"{median(b) / 1000:>14.1f} / {percentile(b, 99) / 1000:>6.1f} us")
    alone = median(results[(default_interval, "product", False)])
    spinning = median(results[(default_interval, "product", True)])
    slow = latencies[(default_interval, "product", True)]
    long_calls = [t for t in slow if t > default_interval * 1e9 * 0.8]
    waited = len(long_calls) / len(slow)
    share = sum(long_calls) / (args.rounds * args.window * 1e9)
    record("gil_alone_per_s", alone)
    record("gil_spinning_per_s", spinning)
    print(f"    with the spinner at {default_interval * 1000:g} ms, {waited * 100:.1f} % of the "
          f"product's calls waited about a whole switch interval to get the lock back, {share * 100:.0f} % "
          f"of the time; most got it back before the spinner, woken by the release, took it. The "
          f"worker also loses the lock between calls whenever the spinner asks for it.")
    goal("GIL: product command rate while a pure-Python thread spins", None,
         f"{spinning:,.0f} calls/s vs {alone:,.0f} alone ({spinning / alone:.3f}x); p99 call "
         f"{percentile(slow, 99) / 1000:.0f} us, bounded by the {default_interval * 1000:g} ms "
         f"switch interval")


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"  ({time.monotonic() - started:.1f} s)")
