#!/usr/bin/env python3
"""Fault soak: several threads drive one command link against the simulator while faults are
injected, checking that no call hangs, no reply reaches the wrong caller, memory stays flat,
and the documented state holds after each fault.

    python tests/soak/soak.py --seconds 60
"""

import argparse
import collections
import random
import sys
import threading
import time
import traceback

import _cell_command_link  # noqa: F401
import _cell_simulator
import _cell_telemetry
from _cell_command_link import CellCommandLink, EpsonPowerMode

COMMAND_DEADLINE = 5.0
MARGIN = 2.0


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


class Soak:
    def __init__(self, seconds, workers, seed):
        self.seconds = seconds
        self.workers = workers
        self.random = random.Random(seed)
        self.sim = _cell_simulator.Simulator(time_scale=0.05)
        self.link = CellCommandLink()
        self.receiver = _cell_telemetry.EthernetReceiveInterface()
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.failures = []
        self.calls = collections.Counter()
        self.errors = collections.Counter()
        self.slowest = collections.defaultdict(float)
        self.faults = collections.Counter()
        self.power = EpsonPowerMode.LOW
        # Motor On and Reset put the controller back to low power. Counted before and after
        # each, so that one overlapping a power change shows as a changed count.
        self.power_resets = 0
        self.power_resets_at_set = 0
        # Calls wait behind each other: every worker may hold the link for one deadline.
        self.bound = COMMAND_DEADLINE * (workers + 2) + MARGIN

    def fail(self, message):
        with self.lock:
            self.failures.append(message)

    def call(self, name, function, *args, bound=None):
        """Runs one operation, timing it; returns (ok, result)."""
        start = time.monotonic()
        try:
            result = function(*args)
            ok = True
        except (RuntimeError, ValueError, IndexError) as error:
            result = error
            ok = False
            text = str(error)
            # A reply that reached the wrong caller shows up as a reply that does not parse or
            # does not belong to the command; the faults injected here never cause either.
            if text.startswith(("Failed to parse", "Unexpected Epson response", "Invalid remote",
                                "Unexpected Execute response")):
                self.fail(f"{name}: misattributed reply? {text}")
            with self.lock:
                self.errors[text.split(":")[0][:70]] += 1
        elapsed = time.monotonic() - start
        limit = bound if bound is not None else self.bound
        with self.lock:
            self.calls[name] += 1
            self.slowest[name] = max(self.slowest[name], elapsed)
        if elapsed > limit:
            self.fail(f"{name} took {elapsed:.2f} s (limit {limit:.1f} s)")
        return ok, result

    # --- workers --------------------------------------------------------------------------

    def tool_worker(self, index):
        """Owns Tool slot index+1: whatever it reads back must be what it wrote last."""
        slot = index + 1
        iteration = 0
        while not self.stop.is_set():
            iteration += 1
            values = [index * 1000.0 + iteration % 997, -float(iteration % 89), 10.0 + index,
                      0.0, 0.0, float(iteration % 45)]
            point = "XY(" + ",".join(repr(v) for v in values) + ")"
            wrote, _ = self.call("tl_set", self.link.tl_set, slot, point)
            ok, read = self.call("get_tool_definition", self.link.get_tool_definition, slot)
            if wrote and ok and any(abs(a - b) > 1e-6 for a, b in zip(read, values)):
                self.fail(f"slot {slot}: wrote {values}, read {read}")
            ok, limits = self.call("get_ptp_motion_limits", self.link.get_ptp_motion_limits)
            if ok and (limits.speed_percent, limits.acceleration_percent,
                       limits.deceleration_percent) != (100, 120, 120):
                self.fail("PTP limits changed")
            ok, status = self.call("get_controller_status", self.link.get_controller_status)
            if ok and list(status) != sorted(status):
                self.fail("status keys out of order")
            self.idle()

    def resetting_power(self, function):
        with self.lock:
            self.power_resets += 1
        self.call(function.__name__, function)
        with self.lock:
            self.power_resets += 1

    def state_worker(self):
        while not self.stop.is_set():
            ok, state = self.call("get_state", self.link.get_state,
                                  bound=0.25 + COMMAND_DEADLINE + MARGIN)
            if ok and (len(state["joint_positions"]), len(state["tcp_pose"])) != (6, 6):
                self.fail(f"bad state {state}")
            ok, mode = self.call("get_power_mode", self.link.get_power_mode)
            reset_since = self.power_resets != self.power_resets_at_set
            if ok and mode != self.power and not (mode == EpsonPowerMode.LOW and reset_since):
                self.fail(f"power mode {mode} but {self.power} was set")
            self.idle(0.01)

    def motion_worker(self):
        targets = ["P1", "P2"]
        while not self.stop.is_set():
            if not self.sim.are_motors_on():
                self.resetting_power(self.link.motor_on)
            target = targets[self.random.randrange(2)]
            if self.random.random() < 0.5:
                ok, error = self.call("go", self.link.go, target, False, False, None, None, None,
                                      False, 50)
            else:
                ok, error = self.call("move", self.link.move, target, False, False, False, None,
                                      None, False, 200.0)
            self.idle(0.02)

    def pause_worker(self):
        while not self.stop.is_set():
            if self.sim.is_moving():
                paused, _ = self.call("pause", self.link.pause,
                                      bound=COMMAND_DEADLINE * (self.workers + 2) + MARGIN)
                time.sleep(0.02)
                # Never leave a motion paused: it would hold the link until its deadline.
                for _ in range(3):
                    resumed, _ = self.call("continue_motion", self.link.continue_motion)
                    if resumed or not self.link.is_connected():
                        break
            self.idle(0.03)

    def idle(self, seconds=0.005):
        self.stop.wait(seconds)

    # --- faults ---------------------------------------------------------------------------

    def await_disconnect(self):
        """After a connection fault the link must end up disconnected and logged out."""
        deadline = time.monotonic() + self.bound + COMMAND_DEADLINE
        while self.link.is_connected() and time.monotonic() < deadline:
            time.sleep(0.02)
        if self.link.is_connected():
            self.fail("the link stayed connected after a connection fault")
        if self.link.is_logged_in():
            self.fail("the link stayed logged in without a connection")

    def reconnect(self):
        ok, error = self.call("connect", self.link.connect, "127.0.0.1", self.sim.command_port,
                              bound=3 * (20 + 2) + MARGIN)
        if not ok:
            self.fail(f"reconnect failed: {error}")
        elif not self.link.is_logged_in():
            self.fail("connected but not logged in")

    def fault_worker(self):
        kinds = ["drop", "late_reply", "telemetry", "emergency_stop", "power"]
        while not self.stop.wait(self.random.uniform(1.0, 3.0)):
            kind = self.random.choice(kinds)
            self.faults[kind] += 1
            if kind == "drop":
                self.sim.drop_command_connection()
                self.await_disconnect()
                self.reconnect()
            elif kind == "late_reply":
                # The next query's reply comes after its deadline: the link must give up.
                self.sim.delay_reply("Print", COMMAND_DEADLINE + 1.0, times=1)
                self.await_disconnect()
                self.sim.clear_rules()
                self.reconnect()
            elif kind == "telemetry":
                self.sim.set_telemetry_mode("closed")
                time.sleep(0.5)
                self.sim.set_telemetry_mode("normal")
                deadline = time.monotonic() + 4.0
                while time.monotonic() < deadline and not (
                        self.receiver.is_connected() and self.receiver.sample_age_seconds() < 0.5):
                    time.sleep(0.05)
                if not self.receiver.is_connected():
                    self.fail("telemetry did not reconnect within 4 s")
            elif kind == "emergency_stop":
                self.sim.set_emergency_stop(True)
                ok, stopped = self.call("is_emergency_stopped", self.link.is_emergency_stopped)
                if ok and not stopped:
                    self.fail("emergency stop not reported")
                if self.sim.are_motors_on():
                    self.fail("motors stayed on through an emergency stop")
                self.sim.set_emergency_stop(False)
                self.resetting_power(self.link.reset_controller)
            elif kind == "power":
                mode = self.random.choice([EpsonPowerMode.LOW, EpsonPowerMode.HIGH])
                resets = self.power_resets
                ok, _ = self.call("set_power_mode", self.link.set_power_mode, mode)
                if ok:
                    self.power = mode
                    self.power_resets_at_set = resets
                else:
                    self.power = self.sim.power() and EpsonPowerMode.HIGH or EpsonPowerMode.LOW
            if not self.link.is_connected():
                self.reconnect()

    # --- run ------------------------------------------------------------------------------

    def run(self):
        self.sim.start()
        try:
            self.link.connect("127.0.0.1", self.sim.command_port)
            self.receiver.connect("127.0.0.1", self.sim.telemetry_port)
            home = self.link.get_state()["tcp_pose"]
            self.sim.set_point("P1", [home[0] - 40.0] + home[1:])
            self.sim.set_point("P2", [home[0], home[1] + 40.0] + home[2:])
            self.link.set_power_mode(EpsonPowerMode.LOW)
            threads = [threading.Thread(target=self.tool_worker, args=(i,))
                       for i in range(self.workers)]
            threads += [threading.Thread(target=self.state_worker),
                        threading.Thread(target=self.motion_worker),
                        threading.Thread(target=self.pause_worker),
                        threading.Thread(target=self.fault_worker)]
            start = time.monotonic()
            for thread in threads:
                thread.start()
            warm = min(10.0, self.seconds * 0.2)
            time.sleep(warm)
            rss_start = rss_mib()
            time.sleep(max(0.0, self.seconds - warm))
            self.stop.set()
            for thread in threads:
                thread.join(self.bound * 3)
                if thread.is_alive():
                    self.fail(f"thread {thread.name} did not finish")
            rss_end = rss_mib()
            if rss_end - rss_start > 16.0:
                self.fail(f"resident memory grew from {rss_start:.1f} to {rss_end:.1f} MiB")
            # After everything, a fresh connect must work.
            if not self.link.is_connected():
                self.reconnect()
            self.link.disconnect()
            self.receiver.disconnect()
            elapsed = time.monotonic() - start
        finally:
            self.sim.stop()
        self.report(elapsed, rss_start, rss_end)
        return 0 if not self.failures else 1

    def report(self, elapsed, rss_start, rss_end):
        print(f"soak: {elapsed:.0f} s, {sum(self.calls.values())} calls, "
              f"faults {dict(self.faults)}, RSS {rss_start:.1f} -> {rss_end:.1f} MiB")
        for name in sorted(self.calls):
            print(f"  {name:24} {self.calls[name]:6} calls, slowest {self.slowest[name]:.3f} s")
        for text, count in self.errors.most_common(8):
            print(f"  error x{count}: {text}")
        for failure in self.failures[:20]:
            print("FAIL:", failure)
        print(f"{0 if self.failures else 1} passed, {1 if self.failures else 0} failed")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args(argv)
    print(f"soak: seed {args.seed}")
    try:
        return Soak(args.seconds, args.workers, args.seed).run()
    except Exception:
        traceback.print_exc()
        return 1


if __name__ == "__main__":
    sys.exit(main())
