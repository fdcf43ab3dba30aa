"""`epson-cell`: check and move a robot cell from a shell."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any, TextIO

from ._modules import _cell_command_link, _cell_telemetry
from .cell import Cell, connect
from .status import motors_on, power_high

# Exit codes, one per kind of failure; the help text and the README list them.
EXIT_OK = 0
EXIT_ERROR = 1          # anything unexpected
EXIT_USAGE = 2          # bad arguments: nothing was sent
EXIT_CONNECT = 3        # could not connect, log in, or get the first telemetry
EXIT_LINK_LOST = 4      # the connection was lost during the command
EXIT_REFUSED = 5        # the controller refused a command or ended the motion with an error
EXIT_FILE = 6           # a file could not be read or written
EXIT_MISSING_EXTRA = 7  # an optional dependency is not installed
EXIT_INTERRUPTED = 130  # Ctrl-C

EPILOG = """\
examples:
  epson-cell status --host 192.168.0.1
  epson-cell status --host 192.168.0.1 --json
  epson-cell watch --host 192.168.0.1 --seconds 10
  epson-cell go --host 192.168.0.1 --motors-on --speed 30 "XY(300,0,400,0,0,180)"
  epson-cell move --host 192.168.0.1 --motors-on --speed 100 --till "Sw(3) = On" P2
  epson-cell motors off --host 192.168.0.1
  epson-cell abort --host 192.168.0.1
  epson-cell record --host 192.168.0.1 --seconds 5 -o run.csv
  epson-cell plot run.csv -o run.png
  epson-cell io set --host 192.168.0.1 0 on
  epson-cell io get --host 192.168.0.1 8
  epson-cell io watch --host 192.168.0.1 --inputs 0-23 --seconds 10

exit codes:
  0  success
  1  unexpected error
  2  bad arguments (nothing was sent)
  3  could not connect, log in, or receive the first telemetry
  4  the connection was lost during the command
  5  the controller refused a command or ended the motion with an error
  6  a file could not be read or written
  7  an optional dependency is missing (plot: pip install 'epson-cell[plot]')
  130 interrupted (Ctrl-C; a running motion is aborted first)

The connector switches the motors off again when it disconnects, if it switched them on:
`go --motors-on` switches them on for one motion.
"""


class CliError(Exception):
    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


def _classify(error: BaseException) -> int:
    if isinstance(error, _cell_command_link.ControllerError):
        return EXIT_REFUSED
    if isinstance(error, (_cell_command_link.ConnectionLostError,
                          _cell_command_link.NotConnectedError)):
        return EXIT_LINK_LOST
    if isinstance(error, ValueError):
        return EXIT_USAGE
    if isinstance(error, OSError):
        return EXIT_FILE
    return EXIT_ERROR


# ---- connecting ----

def _open_cell(args: argparse.Namespace) -> Cell:
    try:
        return connect(args.host, command_port=args.command_port,
                       telemetry_port=args.telemetry_port, password=args.password,
                       status_timeout=args.timeout)
    except (RuntimeError, TimeoutError) as error:
        raise CliError(EXIT_CONNECT, f"cannot open the cell at {args.host}: {error}") from error


def _open_telemetry(args: argparse.Namespace) -> _cell_telemetry.EthernetReceiveInterface:
    receiver = _cell_telemetry.EthernetReceiveInterface()
    try:
        receiver.connect(args.host, args.telemetry_port)
    except RuntimeError as error:
        raise CliError(EXIT_CONNECT, f"cannot receive telemetry from {args.host}:"
                                     f"{args.telemetry_port}: {error}") from error
    deadline = time.monotonic() + args.timeout
    while not receiver.has_controller_status():
        if time.monotonic() >= deadline:
            receiver.disconnect()
            raise CliError(EXIT_CONNECT, f"no controller status from {args.host}:"
                                         f"{args.telemetry_port} within {args.timeout:g} s")
        time.sleep(0.01)
    return receiver


# ---- output ----

def _emit(args: argparse.Namespace, data: dict[str, Any], text: str, out: TextIO) -> None:
    print(json.dumps(data) if args.json else text, file=out, flush=True)


def _numbers(values: Iterable[float], digits: int = 3) -> str:
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def _telemetry_state(receiver: _cell_telemetry.EthernetReceiveInterface) -> dict[str, Any]:
    sample = receiver.get_sample()
    state: dict[str, Any] = {"joints": list(sample.joints), "pose": list(sample.tcp_pose),
                             "sample_age_s": receiver.sample_age_seconds()}
    if receiver.has_controller_status():
        raw = receiver.get_controller_status()
        state.update(motors_on=motors_on(raw), power_high=power_high(raw),
                     emergency_stop=bool(raw["emergency_stopped"]),
                     safeguard_open=bool(raw["safeguard_open"]), system_error=raw["system_error"],
                     controller_status=dict(raw))
    return state


def _telemetry_lines(state: dict[str, Any]) -> list[str]:
    lines = [f"joints  {_numbers(state['joints'])} deg",
             f"pose    {_numbers(state['pose'])} mm, deg"]
    if "motors_on" in state:
        lines.append(f"status  motors {'on' if state['motors_on'] else 'off'}, power "
                     f"{'high' if state['power_high'] else 'low'}, emergency stop "
                     f"{'ON' if state['emergency_stop'] else 'off'}, safeguard "
                     f"{'open' if state['safeguard_open'] else 'closed'}, system error "
                     f"{state['system_error']}")
    else:
        lines.append("status  (no controller status yet)")
    return lines


# ---- commands ----

def cmd_status(args: argparse.Namespace, out: TextIO) -> int:
    with _open_cell(args) as cell:
        control = cell.control
        state = control.get_state()
        status = cell.status()
        raw = cell.telemetry.get_controller_status()
        data = {"power": control.get_power_mode().name, "motors_on": motors_on(raw),
                "tool": control.get_tool(), "joints": state["joint_positions"],
                "pose": state["tcp_pose"], "status": status.as_dict()}
        text = "\n".join([
            f"power   {data['power']}", f"motors  {'on' if data['motors_on'] else 'off'}",
            f"tool    {data['tool']}", f"joints  {_numbers(state['joint_positions'])} deg",
            f"pose    {_numbers(state['tcp_pose'])} mm, deg", f"status  {status}"])
        _emit(args, data, text, out)
    return EXIT_OK


def cmd_watch(args: argparse.Namespace, out: TextIO) -> int:
    receiver = _open_telemetry(args)
    # In a terminal the block is redrawn in place; into a pipe or file each update is a line.
    in_place = out.isatty() and not args.json
    deadline = math.inf if args.seconds is None else time.monotonic() + args.seconds
    drawn = 0
    try:
        while True:
            state = _telemetry_state(receiver)
            if args.json:
                print(json.dumps(state), file=out, flush=True)
            elif in_place:
                lines = _telemetry_lines(state)
                if drawn:
                    out.write(f"\x1b[{drawn}F\x1b[J")
                out.write("\n".join(lines) + "\n")
                out.flush()
                drawn = len(lines)
            else:
                print("  |  ".join(_telemetry_lines(state)), file=out, flush=True)
            if time.monotonic() + args.interval > deadline:
                return EXIT_OK
            time.sleep(args.interval)
    finally:
        receiver.disconnect()


def cmd_motion(args: argparse.Namespace, out: TextIO) -> int:
    target: str = args.target
    till: str | None = args.till
    parallel: str | None = args.parallel
    with _open_cell(args) as cell:
        if args.motors_on:
            cell.control.motor_on()
        started = time.monotonic()
        # Ctrl-C here reaches the link first, which aborts the motion before it raises.
        if args.command == "go":
            till_on = cell.go(target, speed=args.speed, acceleration=args.accel,
                              deceleration=args.decel, cp=args.cp, ljm=args.ljm, till=till,
                              parallel=parallel)
        else:
            till_on = cell.move(target, speed=args.speed, acceleration=args.accel, cp=args.cp,
                                till=till, parallel=parallel)
        elapsed = time.monotonic() - started
        pose = cell.pose()
        data: dict[str, Any] = {"command": args.command, "target": args.target,
                                "seconds": round(elapsed, 3), "pose": list(pose)}
        text = f"{args.command} {args.target}: arrived after {elapsed:.2f} s at {_numbers(pose)}"
        if args.till is not None:
            data["till_on"] = till_on
            text += f"; stopped by till: {'yes' if till_on else 'no'}"
        _emit(args, data, text, out)
    return EXIT_OK


def cmd_motors(args: argparse.Namespace, out: TextIO) -> int:
    with _open_cell(args) as cell:
        if args.state == "on":
            cell.control.motor_on()
        else:
            cell.control.motor_off()
        _emit(args, {"motors": args.state}, f"motors {args.state}", out)
    return EXIT_OK


def cmd_abort(args: argparse.Namespace, out: TextIO) -> int:
    with _open_cell(args) as cell:
        cell.control.abort_motion()
        _emit(args, {"aborted": True}, "abort sent", out)
    return EXIT_OK


def cmd_record(args: argparse.Namespace, out: TextIO) -> int:
    receiver = _open_telemetry(args)
    try:
        try:
            receiver.start_recording(args.output)
        except (RuntimeError, OSError) as error:
            raise CliError(EXIT_FILE, str(error)) from error
        try:
            deadline = time.monotonic() + args.seconds
            while (left := deadline - time.monotonic()) > 0:
                time.sleep(min(left, 0.1))
        finally:
            summary = receiver.stop_recording()
    finally:
        receiver.disconnect()
    data = {"path": summary.path, "rows": summary.rows, "lost": summary.lost}
    _emit(args, data, f"{summary.rows} rows written to {summary.path}"
          + (f", {summary.lost} lost" if summary.lost else ""), out)
    return EXIT_OK


def cmd_plot(args: argparse.Namespace, out: TextIO) -> int:
    from .plot import MissingExtraError, plot_recording

    try:
        changes = plot_recording(args.csv, args.output)
    except MissingExtraError as error:
        raise CliError(EXIT_MISSING_EXTRA, str(error)) from error
    except ValueError as error:  # not a recording
        raise CliError(EXIT_FILE, str(error)) from error
    _emit(args, {"input": args.csv, "output": args.output, "status_changes": changes},
          f"wrote {args.output} ({changes} status changes marked)", out)
    return EXIT_OK


# ---- digital I/O: `io get`, `io set`, `io watch` ----

_IO_BITS = 512


def _io_bit(text: str) -> int:
    bit = int(text)
    if not 0 <= bit < _IO_BITS:
        raise argparse.ArgumentTypeError(f"not an I/O bit 0-{_IO_BITS - 1}: {text}")
    return bit


def _io_bits(text: str) -> list[int]:
    """"0-15" or "8,9,12-13": the bits, in order."""
    bits: list[int] = []
    for part in text.split(","):
        first, _, last = part.strip().partition("-")
        low = _io_bit(first)
        high = _io_bit(last) if last else low
        if high < low:
            raise argparse.ArgumentTypeError(f"empty range: {part}")
        bits.extend(b for b in range(low, high + 1) if b not in bits)
    return bits


def _io_read(cell: Cell, bits: list[int], outputs: bool) -> list[int]:
    """The bits of ``bits`` that are on, read a 16-bit word at a time."""
    read = cell.control.get_output_word if outputs else cell.control.get_input_word
    words = {port: read(port) for port in sorted({b // 16 for b in bits})}
    return [b for b in bits if words[b // 16] >> (b % 16) & 1]


def cmd_io(args: argparse.Namespace, out: TextIO) -> int:
    with _open_cell(args) as cell:
        if args.action == "set":
            on = args.state == "on"
            cell.set_output(args.bit, on)
            _emit(args, {"output": args.bit, "on": on}, f"output {args.bit} {args.state}", out)
            return EXIT_OK
        if args.action == "get":
            kind = "output" if args.output else "input"
            on = cell.output(args.bit) if args.output else cell.input(args.bit)
            _emit(args, {kind: args.bit, "on": on}, f"{kind} {args.bit} {'on' if on else 'off'}",
                  out)
            return EXIT_OK
        # watch: a line whenever a watched bit changes, the first at once.
        started = time.monotonic()
        deadline = math.inf if args.seconds is None else started + args.seconds
        last: tuple[list[int], list[int]] | None = None
        while True:
            state = (_io_read(cell, args.inputs, False), _io_read(cell, args.outputs, True))
            if state != last:
                seconds = round(time.monotonic() - started, 3)
                text = (f"{seconds:8.3f} s  inputs on: {', '.join(map(str, state[0])) or '-'}"
                        f"  outputs on: {', '.join(map(str, state[1])) or '-'}")
                _emit(args, {"seconds": seconds, "inputs_on": state[0],
                             "outputs_on": state[1]}, text, out)
                last = state
            if time.monotonic() + args.interval > deadline:
                return EXIT_OK
            time.sleep(args.interval)


def _add_io_command(add: Callable[..., argparse.ArgumentParser],
                    parents: list[argparse.ArgumentParser]) -> None:
    # The connection options belong to each action, where they are written: `io get --host H 8`.
    io = add("io", cmd_io, "read and switch digital inputs and outputs", [])
    actions = io.add_subparsers(dest="action", required=True, metavar="ACTION")
    get = actions.add_parser("get", help="read an input (or with --output an output) bit",
                             parents=parents)
    get.add_argument("bit", type=_io_bit, help="bit number 0-511")
    get.add_argument("--output", action="store_true", help="read the output bit instead")
    set_ = actions.add_parser("set", help="switch an output bit on or off", parents=parents)
    set_.add_argument("bit", type=_io_bit, help="bit number 0-511")
    set_.add_argument("state", choices=["on", "off"])
    watch = actions.add_parser("watch", help="print the bits that are on whenever they change",
                               parents=parents)
    watch.add_argument("--inputs", type=_io_bits, default=_io_bits("0-15"),
                       help="input bits to watch, e.g. 0-15 or 8,9 (default: 0-15)")
    watch.add_argument("--outputs", type=_io_bits, default=_io_bits("0-15"),
                       help="output bits to watch (default: 0-15)")
    watch.add_argument("--interval", type=_positive, default=0.1, help="seconds between reads")
    watch.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")


# ---- the parser ----

def _positive(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="epson-cell", description="Check and move an Epson robot cell.", epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    link = argparse.ArgumentParser(add_help=False)
    link.add_argument("--host", required=True, help="controller hostname or IP address")
    link.add_argument("--command-port", type=int, default=5000, help="default: %(default)s")
    link.add_argument("--telemetry-port", type=int, default=2000, help="default: %(default)s")
    link.add_argument("--password", help="Remote Ethernet password (default: the station's)")
    link.add_argument("--timeout", type=_positive, default=5.0,
                      help="seconds to wait for the first controller status (default: 5)")
    output = argparse.ArgumentParser(add_help=False)
    output.add_argument("--json", action="store_true", help="print JSON for scripts")

    def add(name: str, handler: Callable[[argparse.Namespace, TextIO], int], help: str,
            parents: list[argparse.ArgumentParser]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, parents=parents,
                                  epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler)
        return sub

    add("status", cmd_status, "power, motors, tool, joints, pose and the decoded status",
        [link, output])
    watch = add("watch", cmd_watch, "live joints, pose and status from the telemetry",
                [link, output])
    watch.add_argument("--interval", type=_positive, default=0.2, help="seconds per update")
    watch.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")

    for name, unit in (("go", "percent"), ("move", "mm/s")):
        motion = add(name, cmd_motion, f"a {'point-to-point' if name == 'go' else 'straight-line'}"
                     f" motion (SPEL+ {name.capitalize()})", [link, output])
        motion.add_argument("target", help="SPEL+ point: 'XY(x,y,z,u,v,w)', 'JA(...)', P1, Here")
        number = int if name == "go" else float
        motion.add_argument("--speed", type=number, help=f"speed in {unit}")
        motion.add_argument("--accel", type=number, help=f"acceleration in {unit}"
                            + ("" if name == "go" else "²"))
        if name == "go":
            motion.add_argument("--decel", type=int, help="deceleration in percent")
            motion.add_argument("--ljm", action="store_true", help="least joint motion")
        motion.add_argument("--cp", action="store_true", help="continuous-path mode")
        motion.add_argument("--till", help="stop when this condition holds, e.g. 'Sw(3) = On'")
        motion.add_argument("--parallel", help="a SPEL+ statement run during the motion")
        motion.add_argument("--motors-on", action="store_true",
                            help="switch the motors on first (off again on disconnect)")

    motors = add("motors", cmd_motors, "switch the motors on or off", [link, output])
    motors.add_argument("state", choices=["on", "off"])
    add("abort", cmd_abort, "abort the running motion ($Abort)", [link, output])
    record = add("record", cmd_record, "record the telemetry to CSV", [link, output])
    record.add_argument("--seconds", type=_positive, required=True)
    record.add_argument("-o", "--output", required=True, help="the CSV file to write")
    _add_io_command(add, [link, output])
    plot = add("plot", cmd_plot, "plot a recording: joints and TCP against time", [output])
    plot.add_argument("csv", help="a recording made by `epson-cell record` or cell.record()")
    plot.add_argument("-o", "--output", required=True, help="the PNG file to write")
    return parser


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Run the tool; returns the exit code."""
    stream = out if out is not None else sys.stdout
    args = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace, TextIO], int] = args.handler
    try:
        return handler(args, stream)
    except KeyboardInterrupt:
        print("epson-cell: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Whoever read the output went away (`epson-cell watch | head`): stop quietly, as shell
        # tools do, and keep Python's exit-time flush from failing on the closed pipe.
        if stream is sys.stdout:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except CliError as error:
        code, message = error.code, str(error)
    except Exception as error:  # every failure becomes a message and its exit code
        code, message = _classify(error), str(error)
        message = f"{type(error).__name__}: {message}"
    if args.json:
        print(json.dumps({"error": message, "exit_code": code}), file=stream, flush=True)
    print(f"epson-cell: {message}", file=sys.stderr, flush=True)
    return code
