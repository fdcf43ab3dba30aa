"""`epson-cell`: check and move a robot cell from a shell."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, TextIO

from ._modules import _cell_command_link, _cell_telemetry
from .cell import Cell, connect
from .status import motors_on, power_high

if TYPE_CHECKING:
    from .view import LoggedCell

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
  epson-cell view --host 192.168.0.1 [--web] [--rrd run.rrd]
  epson-cell record --host 192.168.0.1 --seconds 5 --rrd run.rrd

exit codes:
  0  success
  1  unexpected error
  2  bad arguments (nothing was sent)
  3  could not connect, log in, or receive the first telemetry
  4  the connection was lost during the command
  5  the controller refused a command or ended the motion with an error
  6  a file could not be read or written
  7  an optional dependency is missing (plot: pip install 'epson-cell[plot]';
     view and record --rrd: pip install 'epson-cell[view]')
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
    if args.rrd is not None:
        return cmd_record_rrd(args, out)
    if args.output is None:
        raise CliError(EXIT_USAGE, "record needs -o FILE.csv, --rrd FILE.rrd or both")
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


# ---- Rerun: the live view and .rrd recordings ----

def _logged(receiver: _cell_telemetry.EthernetReceiveInterface, rrd: str | None,
            viewer: Literal["native", "web"] | None) -> LoggedCell:
    from .plot import MissingExtraError
    from .view import log_cell

    try:
        return log_cell(receiver, rrd=rrd, viewer=viewer)
    except MissingExtraError as error:
        raise CliError(EXIT_MISSING_EXTRA, str(error)) from error
    except OSError as error:
        raise CliError(EXIT_FILE, str(error)) from error


def _until(seconds: float | None, going: Callable[[], bool] = lambda: True) -> None:
    deadline = math.inf if seconds is None else time.monotonic() + seconds
    while going() and (left := deadline - time.monotonic()) > 0:
        time.sleep(min(left, 0.1))


def _require_rerun() -> None:
    from .view import MISSING_VIEW, rerun_available

    if not rerun_available():  # said before connecting to anything
        raise CliError(EXIT_MISSING_EXTRA, MISSING_VIEW)


def cmd_view(args: argparse.Namespace, out: TextIO) -> int:
    _require_rerun()
    receiver = _open_telemetry(args)
    try:
        logged = _logged(receiver, args.rrd, "web" if args.web else "native")
        with logged:
            viewer = logged.viewer
            assert viewer is not None
            data = {"viewer": "web" if args.web else "native", "grpc_url": viewer.grpc_url,
                    "web_url": logged.web_url, "rrd": args.rrd}
            text = (f"web viewer: {logged.web_url}" if args.web
                    else f"Rerun viewer started, receiving from {viewer.grpc_url}")
            _emit(args, data, text + ("" if args.seconds else "  (Ctrl-C to stop)"), out)
            # The native viewer's window closing ends the tool; the web viewer runs until then.
            _until(args.seconds, viewer.running)
    finally:
        receiver.disconnect()
    return EXIT_OK


def cmd_record_rrd(args: argparse.Namespace, out: TextIO) -> int:
    _require_rerun()
    receiver = _open_telemetry(args)
    csv_summary = None
    try:
        logged = _logged(receiver, args.rrd, None)
        try:
            if args.output is not None:
                receiver.start_recording(args.output)
        except (RuntimeError, OSError) as error:
            logged.close()
            raise CliError(EXIT_FILE, str(error)) from error
        with logged:
            try:
                _until(args.seconds)
            finally:
                if args.output is not None:
                    csv_summary = receiver.stop_recording()
    finally:
        receiver.disconnect()
    view = logged.view
    data: dict[str, Any] = {"rrd": args.rrd, "samples": view.samples, "lost": view.dropped}
    text = f"{view.samples} samples written to {args.rrd}" + (
        f", {view.dropped} lost" if view.dropped else "")
    if csv_summary is not None:
        data.update(path=csv_summary.path, rows=csv_summary.rows)
        text += f"; {csv_summary.rows} rows to {csv_summary.path}"
    _emit(args, data, text, out)
    return EXIT_OK


def _add_rerun_commands(add: Callable[..., argparse.ArgumentParser],
                        parents: list[argparse.ArgumentParser],
                        record: argparse.ArgumentParser) -> None:
    view = add("view", cmd_view, "the arm in 3D, joints, TCP and status, live in Rerun's viewer",
               parents)
    view.add_argument("--web", action="store_true",
                      help="serve the web viewer on 127.0.0.1 and print its address (for a "
                           "machine without a display: forward the port with ssh -L)")
    view.add_argument("--rrd", help="also write everything to this .rrd file")
    view.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")
    record.add_argument("--rrd", help="write a Rerun recording (.rrd) instead of, or beside, CSV")


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
    record.add_argument("-o", "--output", help="the CSV file to write")
    _add_rerun_commands(add, [link, output], record)
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
