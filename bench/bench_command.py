"""1. Command round trip on loopback: one $Execute "Print Power" query and its reply.

Alternatives, interleaved in batches (the order rotates every round):
  product        CellCommandLink.get_power_mode() from Python
  raw C++        blocking POSIX send/recv of the same bytes (the floor)
  plain Python   a socket client with sendall/recv (what a user would write instead)
  product (C++)  the same getPowerMode() called from C++, to show the binding's share

Against the minimal responder (answers at once: isolates the client's cost) and against the
simulator (end to end). The simulator serves one command client at a time, so there every
batch opens its own connection; the connect is outside the timed calls.
"""

import argparse
import time

import common
from common import POWER_COMMAND, PlainClient, goal, record, table, timed_calls

import _bench_native
import _cell_command_link
import _cell_simulator


class Alternative:
    def __init__(self, name, open_, batch, close):
        self.name, self.open, self.batch, self.close = name, open_, batch, close


def alternatives(port, expect):
    def open_product():
        link = _cell_command_link.CellCommandLink()
        link.connect("127.0.0.1", port)
        return link

    def product_batch(link, n):
        times = timed_calls(link.get_power_mode, n)
        if int(link.get_power_mode()) != int(expect[-2]):
            raise RuntimeError("product read a different power mode")
        return times

    def plain_batch(client, n):
        return timed_calls(client.get_power_mode, n)

    return [
        Alternative("product (Python)", open_product, product_batch, lambda l: l.disconnect()),
        Alternative("raw C++ send/recv (floor)", lambda: _bench_native.RawClient(port),
                    lambda c, n: c.round_trips(n, POWER_COMMAND, expect), lambda c: c.close()),
        Alternative("plain Python socket", lambda: PlainClient(port), plain_batch,
                    lambda c: c.close()),
        Alternative("product (C++ caller)", lambda: _bench_native.NativeLink(port),
                    lambda l, n: l.round_trips(n), lambda l: l.disconnect()),
    ]


def measure(alts, rounds, batch, per_batch_connection, before_open=lambda: None):
    results = {a.name: [] for a in alts}
    connections = {}
    if not per_batch_connection:
        connections = {a.name: a.open() for a in alts}
        for a in alts:
            a.batch(connections[a.name], 200)  # warm-up, not recorded
    for r in range(rounds):
        order = alts[r % len(alts):] + alts[:r % len(alts)]
        for a in order:
            if per_batch_connection:
                before_open()
                connection = a.open()
                a.batch(connection, 50)  # warm-up after the connect
            else:
                connection = connections[a.name]
            results[a.name].append(a.batch(connection, batch))
            if per_batch_connection:
                a.close(connection)
    for a in alts:
        if not per_batch_connection:
            a.close(connections[a.name])
    return results


BASELINES = [
    ("product (Python)", "raw C++ send/recv (floor)"),
    ("product (Python)", "plain Python socket"),
    ("plain Python socket", "raw C++ send/recv (floor)"),
    ("product (C++ caller)", "raw C++ send/recv (floor)"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=24)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--sim-rounds", type=int, default=8)
    args = parser.parse_args()

    common.header(1, "Command round trip on loopback ($Execute \"Print Power\")")
    print(f"  timing overhead of a Python-side measurement: "
          f"{common.timer_overhead_ns():.0f} ns (included in the Python rows)")

    with common.responder() as port:
        rows = measure(alternatives(port, '#Execute,"1"'), args.rounds, args.batch, False)
    flat = table(f"against the minimal responder ({args.rounds} rounds x {args.batch} calls each)",
                 rows, BASELINES)
    product = common.median(flat["product (Python)"])
    floor = common.median(flat["raw C++ send/recv (floor)"])
    plain = common.median(flat["plain Python socket"])
    record("rtt_product_us", product / 1000)
    record("rtt_floor_us", floor / 1000)
    record("rtt_plain_python_us", plain / 1000)
    goal("round trip, product median within 1.15x of the raw C++ loop (minimal responder)",
         product <= 1.15 * floor, f"{product / 1000:.2f} us vs {floor / 1000:.2f} us = "
         f"{product / floor:.3f}x")
    goal("round trip, product faster than the plain-Python client (minimal responder)",
         product < plain, f"{product / 1000:.2f} us vs {plain / 1000:.2f} us = "
         f"{product / plain:.3f}x")

    with _cell_simulator.Simulator() as sim:
        probe = _cell_command_link.CellCommandLink()
        probe.connect("127.0.0.1", sim.command_port)
        expect = f'#Execute,"{int(probe.get_power_mode())}"'
        probe.disconnect()

        def wait_for_free_port():
            if not common.wait_until(lambda: not sim.is_command_client_connected(), 5.0):
                raise RuntimeError("the simulator still holds the previous command client")

        rows = measure(alternatives(sim.command_port, expect), args.sim_rounds, args.batch, True,
                       wait_for_free_port)
    flat = table(f"against the simulator, end to end ({args.sim_rounds} rounds x {args.batch} calls)",
                 rows, BASELINES)
    record("rtt_sim_product_us", common.median(flat["product (Python)"]) / 1000)
    record("rtt_sim_floor_us", common.median(flat["raw C++ send/recv (floor)"]) / 1000)


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"  ({time.monotonic() - started:.1f} s)")
