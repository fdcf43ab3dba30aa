"""`epson-cell`: check and move a robot cell from a shell.

Output rules: a command's results, and nothing else, go to standard output (one JSON object per
line with ``--json``); the links' console lines and every diagnostic go to standard error.
Every argument is checked before anything is sent or connected.

Each subcommand is one ``add_<name>`` function in ``SUBCOMMANDS``: it adds its parser and names
its handler.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import logging
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Generator, Iterable, Sequence
from contextlib import contextmanager
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Literal, TextIO

from ._modules import _cell_command_link, _cell_telemetry
from .cell import Cell, connect, till_clause
from .console import set_console_lines
from .errors import (ControllerBusyError, ControllerError, OutcomeUnknownError, connect_failed,
                     explain, explained)
from .status import Status, motors_on, power_high
from .targets import spel

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
EXIT_BUSY = 8           # another client holds the controller's command connection
EXIT_UNKNOWN = 9        # a command's reply was lost: it may have taken effect
EXIT_INTERRUPTED = 130  # Ctrl-C

# The environment supplies what a shell session keeps using; an option given wins.
ENV_HOST = "EPSON_CELL_HOST"
ENV_COMMAND_PORT = "EPSON_CELL_COMMAND_PORT"
ENV_TELEMETRY_PORT = "EPSON_CELL_TELEMETRY_PORT"
ENV_PASSWORD = "EPSON_CELL_PASSWORD"

EPILOG = f"""\
examples:
  epson-cell status --host 192.168.0.1
  epson-cell status --host 192.168.0.1 --json | jq .pose
  epson-cell watch --host 192.168.0.1 --seconds 10
  epson-cell go --host 192.168.0.1 --motors-on --speed 30 "XY(300,0,400,0,0,180)"
  epson-cell move --host 192.168.0.1 --motors-on --speed 100 --till "Sw(3) = On" P2
  epson-cell motors on --host 192.168.0.1          # held on until Ctrl-C
  epson-cell abort --host 192.168.0.1
  epson-cell record --host 192.168.0.1 -o run.csv  # until Ctrl-C; -o - for stdout
  epson-cell plot run.csv -o run.png
  epson-cell io set --host 192.168.0.1 0 on
  epson-cell io get --host 192.168.0.1 8
  epson-cell io watch --host 192.168.0.1 --inputs 0-23 --seconds 10
  epson-cell view --host 192.168.0.1 [--web] [--rrd run.rrd]
  epson-cell record --host 192.168.0.1 --seconds 5 --rrd run.rrd

output:
  results alone on stdout (--json: one JSON object per line); connection lines and
  diagnostics on stderr (-v adds "Connected to ..." and the like)

environment:
  {ENV_HOST}, {ENV_COMMAND_PORT}, {ENV_TELEMETRY_PORT},
  {ENV_PASSWORD}: defaults for --host, --command-port, --telemetry-port, --password

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
  8  another client holds the controller's command connection
  9  a command's outcome is unknown: its reply was lost, it may have taken effect
  130 interrupted (Ctrl-C; a running motion is aborted first)

The connector switches the motors off again when it disconnects, if it switched them on:
`go --motors-on` switches them on for one motion, `motors on` until Ctrl-C.
"""


class CliError(Exception):
    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code


def _classify(error: BaseException) -> int:
    if isinstance(error, ControllerError):
        return EXIT_REFUSED
    if isinstance(error, OutcomeUnknownError):
        return EXIT_UNKNOWN
    if isinstance(error, (_cell_command_link.ConnectionLostError,
                          _cell_command_link.NotConnectedError)):
        return EXIT_LINK_LOST
    if isinstance(error, (ValueError, TypeError)):
        return EXIT_USAGE
    if isinstance(error, OSError):
        return EXIT_FILE
    return EXIT_ERROR


def _error_details(error: BaseException | None) -> dict[str, Any]:
    """What a script needs to tell failures apart, beside the message."""
    if error is None:
        return {}
    details: dict[str, Any] = {"kind": type(error).__name__}
    if isinstance(error, ControllerError):
        details.update(code=error.code, meaning=error.meaning, command=error.command,
                       reply=error.reply)
    return details


# ---- connecting ----

def _cannot_open(args: argparse.Namespace, error: BaseException) -> CliError:
    """What the tool says when the cell could not be opened: busy, or any other failure."""
    if isinstance(error, ControllerBusyError):
        return CliError(EXIT_BUSY, f"{args.host}:{args.command_port} is held by another client: "
                                   f"{error}")
    return CliError(EXIT_CONNECT, f"cannot open the cell at {args.host}: {explain(error)}")


def _open_cell(args: argparse.Namespace) -> Cell:
    try:
        return connect(args.host, command_port=args.command_port,
                       telemetry_port=args.telemetry_port, password=args.password,
                       status_timeout=args.timeout)
    except (RuntimeError, TimeoutError) as error:
        raise _cannot_open(args, error) from error


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


def _wait(seconds: float | None, stop: threading.Event | None = None,
          going: Callable[[], bool] = lambda: True) -> None:
    """Wait ``seconds`` (``None``: for ever) or until Ctrl-C, SIGTERM, ``stop`` is set or
    ``going()`` turns false. It ends a command that holds until asked, so an interrupt here is
    that command's clean end, not a failure."""
    deadline = math.inf if seconds is None else time.monotonic() + seconds
    ended = stop or threading.Event()
    try:
        while going() and not ended.is_set() and (left := deadline - time.monotonic()) > 0:
            ended.wait(min(left, 0.1))
    except KeyboardInterrupt:
        pass


def _writable(path: str) -> None:
    # Checked before connecting, so that a typo costs no connection; the writer still reports
    # what fails later.
    if path == "-":
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise CliError(EXIT_FILE, f"cannot write {path}: {folder} is not a writable directory")


# ---- output ----

def _emit(args: argparse.Namespace, data: dict[str, Any], text: str, out: TextIO) -> None:
    print(json.dumps(data) if args.json else text, file=out, flush=True)


def _numbers(values: Iterable[float], digits: int = 3) -> str:
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def _iso(seconds: float) -> str:
    moment = datetime.datetime.fromtimestamp(seconds, datetime.UTC)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _telemetry_state(receiver: _cell_telemetry.EthernetReceiveInterface) -> dict[str, Any]:
    sample = receiver.get_sample()
    age = receiver.sample_age_seconds()
    state: dict[str, Any] = {"wall_time": _iso(time.time() - age), "sample_age_s": age,
                             "joints": list(sample.joints), "pose": list(sample.tcp_pose)}
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


# ---- argument types: every check runs before anything is sent ----

def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is from 1 to 65535, not {value}")
    return value


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return value


def _whole(low: int, high: int | None = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(
                f"{value} is out of range: from {low}" + (f" to {high}" if high else " up"))
        return value
    return convert


def _checked(check: Callable[[str], object]) -> Callable[[str], str]:
    # The package's own check, run at parse time: its ValueError becomes a usage error.
    def convert(text: str) -> str:
        try:
            check(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return text
    return convert


def _statement(text: str) -> None:
    if not text.strip() or any(c in text for c in '"\r\n\0'):
        raise ValueError(f"not a SPEL+ statement to send: {text!r}")


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
        if args.state == "off":
            cell.control.motor_off()
            _emit(args, {"motors": "off"}, "motors off", out)
            return EXIT_OK
        cell.control.motor_on()
        # The link switches them off when it disconnects, so the tool stays to hold them.
        until = "Ctrl-C" if args.seconds is None else f"{args.seconds:g} s have passed"
        deadline = math.inf if args.seconds is None else time.monotonic() + args.seconds
        try:
            # Whoever reads this line may interrupt at once: from here on that is the end asked.
            _emit(args, {"motors": "on", "held_until": "interrupt" if args.seconds is None
                         else "seconds"},
                  f"motors on; held until {until}, off again when this tool exits", out)
            # A status read each second keeps the session in use and notices a lost connection.
            while (left := deadline - time.monotonic()) > 0:
                threading.Event().wait(min(left, 1.0))
                cell.status()
        except KeyboardInterrupt:
            pass
    _emit(args, {"motors": "off"}, "motors off", out)
    return EXIT_OK


def _open_command_link(args: argparse.Namespace) -> _cell_command_link.CellCommandLink:
    """The command link alone, in one attempt: while another client holds the controller, a
    stop must be refused at once rather than after the link's retries."""
    link = _cell_command_link.CellCommandLink()
    link.set_connect_attempts(1)
    try:
        link.connect(args.host, args.command_port,
                     args.password if args.password is not None else "")
    except RuntimeError as error:
        with contextlib.suppress(RuntimeError):
            link.disconnect()
        raise _cannot_open(args, connect_failed(error)) from error
    return link


def cmd_abort(args: argparse.Namespace, out: TextIO) -> int:
    link = _open_command_link(args)
    try:
        with explained():
            before = Status.decode(link.get_remote_status())
            if not (before.running or before.paused):
                _emit(args, {"aborted": False, "was_running": False},
                      "nothing was running; no abort sent", out)
                return EXIT_OK
            link.abort_motion()
            # Success is what the controller reports afterwards, not that $Abort was accepted.
            deadline = time.monotonic() + args.timeout
            while Status.decode(link.get_remote_status()).running:
                if time.monotonic() >= deadline:
                    raise CliError(EXIT_ERROR, f"$Abort was accepted, but the controller still "
                                               f"reports a motion running after "
                                               f"{args.timeout:g} s")
                time.sleep(0.05)
        _emit(args, {"aborted": True, "was_running": True},
              "aborted the running motion; the controller reports it stopped", out)
        return EXIT_OK
    finally:
        link.disconnect()


@contextmanager
def _csv_destination(output: str, out: TextIO, gone: threading.Event) -> Generator[str, None, None]:
    """The path the recorder writes: the file itself, or for ``-`` a pipe relayed to stdout
    (a file there may be opened for appending, which reopening by name would not keep).
    ``gone`` is set when the reader of stdout goes away."""
    if output != "-":
        yield output
        return
    read_end, write_end = os.pipe()
    sink: IO[bytes] | None = getattr(out, "buffer", None)

    def relay() -> None:
        # Drains the pipe to the end even after stdout went away, so the recorder never blocks.
        with os.fdopen(read_end, "rb", buffering=0) as source:
            while chunk := source.read(65536):
                if gone.is_set():
                    continue
                try:
                    if sink is not None:
                        sink.write(chunk)
                        sink.flush()
                    else:
                        out.write(chunk.decode())
                        out.flush()
                except (BrokenPipeError, ValueError):
                    gone.set()

    relay_thread = threading.Thread(target=relay, name="epson-cell-stdout", daemon=True)
    relay_thread.start()
    try:
        # The recorder opens the pipe by name; it holds its own end from then on.
        yield f"/dev/fd/{write_end}"
    finally:
        os.close(write_end)
    relay_thread.join()


def cmd_record(args: argparse.Namespace, out: TextIO) -> int:
    if args.rrd is not None:
        return cmd_record_rrd(args, out)
    to_stdout = args.output == "-"
    _writable(args.output)
    receiver = _open_telemetry(args)
    stdout_gone = threading.Event()
    try:
        with _csv_destination(args.output, out, stdout_gone) as path:
            try:
                receiver.start_recording(path)
            except (RuntimeError, OSError) as error:
                raise CliError(EXIT_FILE, str(error)) from error
            try:
                _wait(args.seconds, stdout_gone)
            finally:
                summary = receiver.stop_recording()
    finally:
        receiver.disconnect()
    if stdout_gone.is_set():
        raise BrokenPipeError  # ends quietly, as `watch | head` does
    data = {"path": args.output if not to_stdout else "-", "rows": summary.rows,
            "lost": summary.lost}
    text = (f"{summary.rows} rows written to {'stdout' if to_stdout else summary.path}"
            + (f", {summary.lost} lost" if summary.lost else ""))
    # With -o - stdout is the CSV; the summary is a diagnostic then.
    _emit(args, data, text, sys.stderr if to_stdout else out)
    return EXIT_OK


def cmd_plot(args: argparse.Namespace, out: TextIO) -> int:
    from .plot import MissingExtraError, plot_recording

    to_stdout = args.output == "-"
    _writable(args.output)
    try:
        changes = plot_recording(args.csv, getattr(out, "buffer") if to_stdout else args.output)
    except MissingExtraError as error:
        raise CliError(EXIT_MISSING_EXTRA, str(error)) from error
    except ValueError as error:  # not a recording
        raise CliError(EXIT_FILE, str(error)) from error
    _emit(args, {"input": args.csv, "output": args.output, "status_changes": changes},
          f"wrote {'stdout' if to_stdout else args.output} ({changes} status changes marked)",
          sys.stderr if to_stdout else out)
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
            _wait(args.seconds, going=viewer.running)
    finally:
        receiver.disconnect()
    return EXIT_OK


def cmd_record_rrd(args: argparse.Namespace, out: TextIO) -> int:
    _require_rerun()
    _writable(args.rrd)
    if args.output is not None:
        _writable(args.output)
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
                _wait(args.seconds)
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


# ---- digital I/O: `io get`, `io set`, `io watch` ----

_IO_BITS = 512


_io_bit = _whole(0, _IO_BITS - 1)


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


# ---- the parser: one add_<name> per subcommand ----

class Subcommands:
    """Adds subcommands with the shared options: ``link`` (host, ports, password, timeout)
    and ``output`` (``--json``)."""

    def __init__(self, parser: argparse.ArgumentParser) -> None:
        self._commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
        self.link = argparse.ArgumentParser(add_help=False)
        host = os.environ.get(ENV_HOST) or None
        self.link.add_argument("--host", required=host is None, default=host,
                               help=f"controller hostname or IP address (default: ${ENV_HOST})")
        self.link.add_argument("--command-port", type=_port,
                               default=os.environ.get(ENV_COMMAND_PORT) or 5000,
                               help=f"default: ${ENV_COMMAND_PORT} or 5000")
        self.link.add_argument("--telemetry-port", type=_port,
                               default=os.environ.get(ENV_TELEMETRY_PORT) or 2000,
                               help=f"default: ${ENV_TELEMETRY_PORT} or 2000")
        self.link.add_argument("--password", default=os.environ.get(ENV_PASSWORD),
                               help=f"Remote Ethernet password (default: ${ENV_PASSWORD}, "
                                    "else the station's)")
        self.link.add_argument("--timeout", type=_positive, default=5.0,
                               help="seconds to wait for the first controller status, and for "
                                    "an abort to show (default: 5)")
        self.output = argparse.ArgumentParser(add_help=False)
        self.output.add_argument("--json", action="store_true",
                                 help="print one JSON object per result, for scripts")

    def add(self, name: str, handler: Callable[[argparse.Namespace, TextIO], int], help: str,
            link: bool = True, output: bool = True) -> argparse.ArgumentParser:
        parents = ([self.link] if link else []) + ([self.output] if output else [])
        sub = self._commands.add_parser(name, help=help, description=help, parents=parents,
                                        epilog=EPILOG,
                                        formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler)
        return sub


def add_status(commands: Subcommands) -> None:
    commands.add("status", cmd_status, "power, motors, tool, joints, pose and the decoded status")


def add_watch(commands: Subcommands) -> None:
    watch = commands.add("watch", cmd_watch, "live joints, pose and status from the telemetry")
    watch.add_argument("--interval", type=_positive, default=0.2, help="seconds per update")
    watch.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")


def _add_motion(commands: Subcommands, name: str) -> argparse.ArgumentParser:
    motion = commands.add(name, cmd_motion, f"a {'point-to-point' if name == 'go' else 'straight'}"
                          f"{'' if name == 'go' else '-line'} motion (SPEL+ {name.capitalize()})")
    motion.add_argument("target", type=_checked(spel),
                        help="SPEL+ point: 'XY(x,y,z,u,v,w)', 'JA(...)', P1, Here")
    motion.add_argument("--cp", action="store_true", help="continuous-path mode")
    motion.add_argument("--till", type=_checked(till_clause),
                        help="stop when this condition holds, e.g. 'Sw(3) = On'")
    motion.add_argument("--parallel", type=_checked(_statement),
                        help="a SPEL+ statement run during the motion")
    motion.add_argument("--motors-on", action="store_true",
                        help="switch the motors on first (off again on disconnect)")
    return motion


def add_go(commands: Subcommands) -> None:
    go = _add_motion(commands, "go")
    go.add_argument("--speed", type=_whole(1, 100), help="speed in percent (1-100)")
    go.add_argument("--accel", type=_whole(1), help="acceleration in percent")
    go.add_argument("--decel", type=_whole(1), help="deceleration in percent (needs --accel)")
    go.add_argument("--ljm", action="store_true", help="least joint motion")


def add_move(commands: Subcommands) -> None:
    move = _add_motion(commands, "move")
    move.add_argument("--speed", type=_positive, help="speed in mm/s")
    move.add_argument("--accel", type=_positive, help="acceleration in mm/s²")


def add_motors(commands: Subcommands) -> None:
    motors = commands.add("motors", cmd_motors, "switch the motors on (held until Ctrl-C) or "
                                                "off")
    motors.add_argument("state", choices=["on", "off"])
    motors.add_argument("--seconds", type=_positive,
                        help="with on: hold them this long instead of until Ctrl-C")


def add_abort(commands: Subcommands) -> None:
    commands.add("abort", cmd_abort, "abort the running motion ($Abort), if one runs")


def add_record(commands: Subcommands) -> None:
    record = commands.add("record", cmd_record, "record the telemetry to CSV, or to Rerun's .rrd")
    record.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")
    record.add_argument("-o", "--output", help="the CSV file to write; - for stdout")
    record.add_argument("--rrd", help="write a Rerun recording (.rrd) instead of, or beside, CSV")


def add_view(commands: Subcommands) -> None:
    view = commands.add("view", cmd_view,
                        "the arm in 3D, joints, TCP and status, live in Rerun's viewer")
    view.add_argument("--web", action="store_true",
                      help="serve the web viewer on 127.0.0.1 and print its address (for a "
                           "machine without a display: forward the port with ssh -L)")
    view.add_argument("--rrd", help="also write everything to this .rrd file")
    view.add_argument("--seconds", type=_positive, help="stop after this long (default: Ctrl-C)")


def add_io(commands: Subcommands) -> None:
    # The connection options belong to each action, where they are written: `io get --host H 8`.
    io = commands.add("io", cmd_io, "read and switch digital inputs and outputs", link=False,
                      output=False)
    parents = [commands.link, commands.output]
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


def add_plot(commands: Subcommands) -> None:
    plot = commands.add("plot", cmd_plot, "plot a recording: joints and TCP against time",
                        link=False)
    plot.add_argument("csv", help="a recording made by `epson-cell record` or cell.record()")
    plot.add_argument("-o", "--output", required=True, help="the PNG file to write; - for stdout")


SUBCOMMANDS: list[Callable[[Subcommands], None]] = [
    add_status, add_watch, add_go, add_move, add_motors, add_abort, add_record, add_view,
    add_io, add_plot,
]


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog="epson-cell", description="Check and move an Epson robot cell.", epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"epson-cell {__version__}")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the links' connection lines on stderr")
    commands = Subcommands(parser)
    for add in SUBCOMMANDS:
        add(commands)
    return parser


def _check_combinations(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "decel", None) is not None and getattr(args, "accel", None) is None:
        parser.error("--decel needs --accel")
    if getattr(args, "state", None) == "off" and getattr(args, "seconds", None) is not None:
        parser.error("--seconds goes with motors on")
    if args.command == "record":
        if args.output is None and args.rrd is None:
            parser.error("record needs -o FILE.csv, --rrd FILE.rrd or both")
        if args.rrd is not None and args.output == "-":
            parser.error("with --rrd, -o takes a file name, not -")


class _StderrLines(logging.Handler):
    """The links' console lines, on whatever ``sys.stderr`` is when they arrive."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            print(f"epson-cell: {record.getMessage()}", file=sys.stderr, flush=True)
        except Exception:
            self.handleError(record)


@contextmanager
def _console_lines_on_stderr(verbose: bool) -> Generator[None, None, None]:
    logger = logging.getLogger("epson_cell")
    handler = _StderrLines(logging.INFO if verbose else logging.WARNING)
    saved = logger.propagate, logger.level
    logger.addHandler(handler)
    logger.propagate = False
    logger.setLevel(logging.INFO)
    set_console_lines("logging")
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.propagate, logger.level = saved


@contextmanager
def _sigterm_as_interrupt() -> Generator[None, None, None]:
    # `timeout 5 epson-cell record ...` ends as Ctrl-C does: files closed, motors off.
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum: int, frame: FrameType | None) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Run the tool; returns the exit code."""
    stream = out if out is not None else sys.stdout
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_combinations(parser, args)
    handler: Callable[[argparse.Namespace, TextIO], int] = args.handler
    cause: BaseException | None
    try:
        with _console_lines_on_stderr(args.verbose), _sigterm_as_interrupt():
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
        code, message, cause = error.code, str(error), error.__cause__
    except Exception as error:  # every failure becomes a message and its exit code
        code, message, cause = _classify(error), explain(error), error
        message = f"{type(error).__name__}: {message}"
    if args.json:
        print(json.dumps({"error": message, "exit_code": code, **_error_details(cause)}),
              file=stream, flush=True)
    print(f"epson-cell: {message}", file=sys.stderr, flush=True)
    return code
