"""3. pause(), get_remote_status() and abort_motion() during a motion, and get_state()'s fail-fast error during a
motion.

Against the simulator. Each round first times plain get_power_mode() round trips (no motion),
then starts a Go in a second Python thread and, while it runs, repeats: pause() (timed; kept
only when the simulator then reports the motion paused, i.e. the pause really went beside a
running motion), a few get_state() calls timed to their RuntimeError, and continue_motion()
(timed).

On loopback the cost of a round trip depends on where the scheduler puts the threads: a wake-up
of a thread on the same CPU is cheap, one on the other CPU of this virtual machine costs an
interrupt between CPUs. A pause has one hop more than a plain command (the motion's thread reads
the reply and hands it to the caller), so the ratio swings with placement. Two placements are
therefore measured, round by round alternately, each against its own simulator:
  controller on its own CPU: the simulator's thread on CPU 1, every client thread on CPU 0, as
      with a real controller, which is always another machine;
  unpinned: wherever the scheduler puts them.
"""

import argparse
import os
import threading
import time

import common
from common import goal, median, percentile, record, table, timed_calls

import _cell_command_link
import _cell_simulator


class Cell:
    """A simulator started with its thread on sim_cpus, and a motor-on link to it."""

    def __init__(self, sim_cpus, client_cpus):
        self.client_cpus = client_cpus
        everywhere = os.sched_getaffinity(0)
        os.sched_setaffinity(0, sim_cpus)  # the simulator's thread inherits this
        try:
            # Motions at 0.2 wall seconds per simulated second: a Go at Speed 5 takes ~0.2 s.
            self.sim = _cell_simulator.Simulator(time_scale=0.2)
            self.sim.start()
        finally:
            os.sched_setaffinity(0, everywhere)
        self.link = _cell_command_link.CellCommandLink()
        self.link.connect("127.0.0.1", self.sim.command_port)
        pose = self.link.get_state()["tcp_pose"]
        self.sim.set_point("P1", [pose[0] + 60.0] + pose[1:])
        self.sim.set_point("P2", [pose[0] - 60.0] + pose[1:])
        self.link.motor_on()
        self.target = "P1"

    def close(self):
        self.link.motor_off()
        self.link.disconnect()
        self.sim.stop()

    def round(self, plain_count, pause_count):
        """Plain calls, then pause/get_state/continue during one Go: four lists of ns."""
        link, sim, clock = self.link, self.sim, time.perf_counter_ns
        plain = timed_calls(link.get_power_mode, plain_count)
        errors = []

        def go(destination):
            try:
                link.go(destination, False, False, None, None, None, False, 5)
            except Exception as error:  # reported below; the benchmark must not hang on it
                errors.append(error)

        motion = threading.Thread(target=go, args=(self.target,))
        motion.start()
        if not common.wait_until(lambda: sim.is_moving(), 5.0):
            raise RuntimeError("the motion did not start")
        pauses, continues, states = [], [], []
        while motion.is_alive() and len(pauses) < pause_count:
            start = clock()
            link.pause()
            elapsed = clock() - start
            if not sim.is_paused():
                break  # the motion ended before the pause: not a pause beside a motion
            pauses.append(elapsed)
            for _ in range(4):
                start = clock()
                try:
                    link.get_state()
                except RuntimeError:
                    states.append(clock() - start)
                else:
                    raise RuntimeError("get_state() answered during a motion")
            start = clock()
            link.continue_motion()
            continues.append(clock() - start)
        motion.join(30)
        if errors:
            raise errors[0]
        self.target = "P2" if self.target == "P1" else "P1"
        return plain, pauses, continues, states


def abort_rounds(rounds, plain_count, abort_count, client_cpus, responder_cpus, status_count=5):
    """Against the minimal responder, which holds every Go until an $Abort and reports when each
    arrives: per round, plain round trips, then beside one Go after another a few
    get_remote_status() calls and abort_motion(). Four lists of rounds of ns: plain, call to
    $Abort at the peer, call to acknowledged return, get_remote_status() during the motion."""
    plain, arrivals, returns, statuses = [], [], [], []
    everywhere = os.sched_getaffinity(0)
    with common.responder_process() as (port, process):
        if responder_cpus:
            os.sched_setaffinity(process.pid, responder_cpus)
        link = _cell_command_link.CellCommandLink()
        link.connect("127.0.0.1", port)
        os.sched_setaffinity(0, client_cpus)
        try:
            for _ in range(rounds):
                plain.append(timed_calls(link.get_power_mode, plain_count))
                arrived, returned, status = [], [], []
                for _ in range(abort_count):
                    errors = []

                    def go():
                        try:
                            link.go("P1", False, False, None, None, None, False)
                        except RuntimeError as error:
                            errors.append(error)

                    motion = threading.Thread(target=go)
                    motion.start()
                    if not process.stdout.readline().startswith("GO "):
                        raise RuntimeError("the responder did not report the motion")
                    for _ in range(status_count):
                        start = time.perf_counter_ns()
                        running = link.get_remote_status().running
                        status.append(time.perf_counter_ns() - start)
                        if not running:
                            raise RuntimeError("get_remote_status() did not see the motion")
                    start = time.perf_counter_ns()
                    link.abort_motion()
                    returned.append(time.perf_counter_ns() - start)
                    event = process.stdout.readline().split()
                    if event[:1] != ["ABORT"]:
                        raise RuntimeError(f"the responder did not report the abort: {event}")
                    arrived.append(int(event[1]) - start)
                    motion.join(10)
                    if motion.is_alive() or not errors or "!Execute,20" not in str(errors[0]):
                        raise RuntimeError(f"the aborted motion did not end as aborted: {errors}")
                arrivals.append(arrived)
                returns.append(returned)
                statuses.append(status)
        finally:
            os.sched_setaffinity(0, everywhere)
            link.disconnect()
    return plain, arrivals, returns, statuses


def report_aborts(args):
    """abort_motion() beside a motion next to the plain round trip of the same run."""
    cpus = sorted(os.sched_getaffinity(0))
    placements = {"unpinned": (set(cpus), None)}
    if len(cpus) >= 2:
        placements = {"controller on its own CPU": ({cpus[0]}, {cpus[1]}), **placements}
    ratios, status_ratios = {}, {}
    for name, (client_cpus, responder_cpus) in placements.items():
        plain, arrivals, returns, statuses = abort_rounds(args.rounds, args.plain, args.aborts,
                                                          client_cpus, responder_cpus)
        rows = {"plain round trip (get_power_mode)": plain,
                "get_remote_status() during a motion": statuses,
                "abort_motion(): call to $Abort at the peer": arrivals,
                "abort_motion(): call to acknowledged return": returns}
        flat = table(f"{name}: {args.rounds} rounds of {args.plain} plain calls, then "
                     f"{args.aborts} aborted Go motions (minimal responder)", rows,
                     [("abort_motion(): call to acknowledged return",
                       "plain round trip (get_power_mode)"),
                      ("get_remote_status() during a motion",
                       "plain round trip (get_power_mode)")])
        per_round = [median(a) / median(p) for a, p in zip(returns, plain)]
        print("    abort / plain, round by round: " + ", ".join(f"{x:.2f}" for x in per_round)
              + f"; median {median(per_round):.2f}x")
        status_rounds = [median(s) / median(p) for s, p in zip(statuses, plain)]
        print("    get_remote_status() / plain, round by round: "
              + ", ".join(f"{x:.2f}" for x in status_rounds)
              + f"; median {median(status_rounds):.2f}x")
        status_ratios[name] = (median(status_rounds),
                               median(flat["get_remote_status() during a motion"]))
        ratios[name] = (median(per_round),
                        median(flat["abort_motion(): call to acknowledged return"]),
                        median(flat["abort_motion(): call to $Abort at the peer"]),
                        median(flat["plain round trip (get_power_mode)"]))
    names = list(ratios)
    ratio, returned, arrived, plain = ratios[names[0]]
    others = "; ".join(f"{n}: {ratios[n][0]:.2f}x" for n in names[1:])
    record("abort_us", returned / 1000)
    record("abort_at_peer_us", arrived / 1000)
    record("abort_ratio", ratio)
    goal("abort_motion() during a motion, at most 1.5x a plain command's round trip",
         ratio <= 1.5,
         f"{ratio:.2f}x with the {names[0]} ({returned / 1000:.1f} us to the acknowledged "
         f"return, $Abort at the peer after {arrived / 1000:.1f} us, plain {plain / 1000:.1f} us)"
         + (f"; {others}" if others else ""))
    status_ratio, status = status_ratios[names[0]]
    others = "; ".join(f"{n}: {status_ratios[n][0]:.2f}x" for n in names[1:])
    record("remote_status_us", status / 1000)
    record("remote_status_ratio", status_ratio)
    goal("get_remote_status() during a motion, at most 1.5x a plain command's round trip",
         status_ratio <= 1.5,
         f"{status_ratio:.2f}x with the {names[0]} ({status / 1000:.1f} us, plain "
         f"{plain / 1000:.1f} us)" + (f"; {others}" if others else ""))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--plain", type=int, default=300)
    parser.add_argument("--pauses", type=int, default=150)
    parser.add_argument("--aborts", type=int, default=100)
    args = parser.parse_args()

    common.header(3, "pause() and get_state() during a motion (simulator)")
    everywhere = os.sched_getaffinity(0)
    cpus = sorted(everywhere)
    placements = {}
    if len(cpus) >= 2:
        placements["controller on its own CPU"] = Cell({cpus[1]}, {cpus[0]})
    placements["unpinned"] = Cell(everywhere, everywhere)
    names = list(placements)
    rows = {name: {"plain round trip (get_power_mode)": [], "pause() during a motion": [],
                   "continue_motion() during a motion": []} for name in names}
    states = []
    try:
        for r in range(args.rounds):
            for name in (names if r % 2 == 0 else names[::-1]):
                cell = placements[name]
                # Threads started from here (the motion's) inherit the placement too.
                os.sched_setaffinity(0, cell.client_cpus)
                plain, pauses, continues, state = cell.round(args.plain, args.pauses)
                os.sched_setaffinity(0, everywhere)
                rows[name]["plain round trip (get_power_mode)"].append(plain)
                rows[name]["pause() during a motion"].append(pauses)
                rows[name]["continue_motion() during a motion"].append(continues)
                states.append(state)
    finally:
        os.sched_setaffinity(0, everywhere)
        for cell in placements.values():
            cell.close()

    ratios = {}
    for name in names:
        flat = table(f"{name}: {args.rounds} rounds of {args.plain} plain calls, then up to "
                     f"{args.pauses} pause/continue pairs during one Go", rows[name],
                     [("pause() during a motion", "plain round trip (get_power_mode)"),
                      ("continue_motion() during a motion", "plain round trip (get_power_mode)")])
        # Each round's pause against the same round's plain calls, a few milliseconds apart.
        per_round = [median(p) / median(q)
                     for p, q in zip(rows[name]["pause() during a motion"],
                                     rows[name]["plain round trip (get_power_mode)"]) if p and q]
        print("    pause / plain, round by round: " + ", ".join(f"{x:.2f}" for x in per_round)
              + f"; median {median(per_round):.2f}x")
        ratios[name] = (median(per_round), median(flat["pause() during a motion"]),
                        median(flat["plain round trip (get_power_mode)"]))
    flat_states = [v for r in states for v in r]
    print(f"\n  get_state() during a motion, call to RuntimeError, both placements: "
          f"median {flat_states and median(flat_states) / 1000:.2f} us, "
          f"p99 {percentile(flat_states, 99) / 1000:.2f} us (n={len(flat_states)})")

    main_name = names[0]
    ratio, pause, plain = ratios[main_name]
    others = "; ".join(f"{n}: {ratios[n][0]:.2f}x" for n in names[1:])
    record("pause_us", pause / 1000)
    record("pause_ratio", ratio)
    state = median(flat_states)
    record("get_state_fail_fast_us", state / 1000)
    goal("pause() during a motion, at most 1.5x a plain command's round trip", ratio <= 1.5,
         f"{ratio:.2f}x with the {main_name} ({pause / 1000:.1f} us vs {plain / 1000:.1f} us)"
         + (f"; {others}" if others else ""))
    goal("get_state() during a motion, fail-fast error under 20 us median", state < 20_000,
         f"{state / 1000:.1f} us (p99 {percentile(flat_states, 99) / 1000:.1f} us)")
    report_aborts(args)


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"  ({time.monotonic() - started:.1f} s)")
