"""
Simulator of an Epson six-axis controller: the Remote Ethernet command port and the telemetry lines of a Background Task, with hooks for tests.
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['ARM_GEOMETRY', 'EMERGENCY_STOP_ERROR', 'REPLY_CODES', 'Simulator']
class Simulator:
    """
    A controller simulator serving one command client, up to 64 telemetry clients and, when asked, the control channel on its own I/O thread.
    """
    def __enter__(self) -> Simulator:
        """
        Starts the simulator unless it runs already.
        """
    def __exit__(self, *args) -> None:
        """
        Stops the simulator.
        """
    def __init__(self, command_port: typing.SupportsInt | typing.SupportsIndex = 0, telemetry_port: typing.SupportsInt | typing.SupportsIndex = 0, password: str | None = None, time_scale: typing.SupportsFloat | typing.SupportsIndex = 1.0, rate_hz: typing.SupportsFloat | typing.SupportsIndex = 100.0, host: str = '127.0.0.1', strict_execute: bool = False, login_timeout: typing.SupportsFloat | typing.SupportsIndex = 10.0, idle_timeout: typing.SupportsFloat | typing.SupportsIndex = 0.0, log_capacity: typing.SupportsInt | typing.SupportsIndex = 10000, control_port: typing.SupportsInt | typing.SupportsIndex | None = None, control_host: str = '127.0.0.1', write_timeout: typing.SupportsFloat | typing.SupportsIndex = 10.0) -> None:
        """
        Creates a stopped simulator. Port 0 picks a free port (see command_port and telemetry_port after start; a restart keeps them). password None accepts any login. time_scale is wall seconds per simulated second (0.01 runs motions 100 times faster). rate_hz is the telemetry sample rate. strict_execute: only $Abort and $GetStatus while an $Execute runs. A command client that has not logged in within login_timeout seconds, or neither sent anything nor waited for a reply (its own motion's included) for idle_timeout seconds, is closed (0: no limit); a client of any port that takes no reply or packet within write_timeout seconds is dropped (0: no limit). log_capacity: command log lines kept. control_port: also serve the control channel (fault directives, one a line) on this port of control_host (0: a free one). ValueError for an option out of its range.
        """
    def answer(self, pattern: str, reply: str, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None, raw: bool = False) -> None:
        """
        Answers matching commands with reply instead of executing them. Each line of reply ('\\n'-separated) gets CR LF and all go out in one write, so two lines make two replies in one segment; raw=True sends the bytes exactly as given.
        """
    def are_motors_on(self) -> bool:
        """
        Whether the motors are on.
        """
    def clear_input_ties(self) -> None:
        """
        Removes every tie made by tie_input.
        """
    def clear_log(self) -> None:
        """
        Empties the command log.
        """
    def clear_rules(self) -> None:
        """
        Removes every rule and resets splitting and coalescing.
        """
    def coalesce_replies(self, on: bool = True) -> None:
        """
        Replies that are ready together (commands sent together, a motion's end and a control reply) go out in one write.
        """
    def command_log(self) -> list[str]:
        """
        Every command line received so far, exactly, without its CR LF.
        """
    def delay_reply(self, pattern: str, seconds: typing.SupportsFloat | typing.SupportsIndex, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None) -> None:
        """
        Executes matching commands at once but sends their reply seconds later (a motion's reply: seconds after the motion ends). times None: every match; ValueError for a negative one. regex: RE2 syntax, as in every rule.
        """
    def drop_command_connection(self, abortive: bool = False) -> bool:
        """
        Closes the current command connection from the controller's side (abortive=True: with a reset). False when no client was connected.
        """
    def drop_connection(self, pattern: str, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None, abortive: bool = False) -> None:
        """
        A matching command closes the command connection (abortive=True: resets it) instead of being answered.
        """
    def execute_then_answer(self, pattern: str, reply: str, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None, raw: bool = False) -> None:
        """
        A matching command is executed, then reply (shaped as in answer) goes out instead of its own reply: a corrupted or wrong reply to a command that took effect.
        """
    def execute_then_drop(self, pattern: str, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None, abortive: bool = False) -> None:
        """
        A matching command is executed, then the connection is closed (abortive=True: reset) instead of replying; for a motion, when it ends.
        """
    def fail_motion(self, code: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        Ends the running motion at once with the error reply '!Execute,<code>' (0: '#Execute,0'). False when no motion runs. IndexError outside 0..9999.
        """
    def go_silent(self, pattern: str, regex: bool = False, times: typing.SupportsInt | typing.SupportsIndex | None = None) -> None:
        """
        Matching commands are neither executed nor answered.
        """
    def input(self, bit: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        A simulated input bit.
        """
    def is_command_client_connected(self) -> bool:
        """
        Whether a command client is connected.
        """
    def is_emergency_stopped(self) -> bool:
        """
        Whether the emergency stop is on.
        """
    def is_logged_in(self) -> bool:
        """
        Whether the current command connection has logged in.
        """
    def is_moving(self) -> bool:
        """
        Whether a motion statement is executing (paused included).
        """
    def is_paused(self) -> bool:
        """
        Whether the running motion is paused.
        """
    def joints(self) -> typing.Annotated[list[float], "FixedSize(6)"]:
        """
        Current joint angles J1..J6 in degrees (moving state).
        """
    def last_motion(self) -> typing.Any:
        """
        The most recent motion that started (kind, statement, start, target, duration in simulated seconds and its modifiers), or None.
        """
    def last_refusal(self) -> str:
        """
        The most recent error reply's command line and the reason, for diagnostics.
        """
    def log_capacity(self) -> int:
        """
        How many lines the command log keeps.
        """
    def output(self, bit: typing.SupportsInt | typing.SupportsIndex) -> bool:
        """
        A simulated output bit 0..511, as the SPEL+ On and Off statements set it.
        """
    def pose(self) -> typing.Annotated[list[float], "FixedSize(6)"]:
        """
        Current TCP pose [X, Y, Z, U, V, W] of the selected Tool.
        """
    def power(self) -> int:
        """
        Power mode: 0 Low, 1 High.
        """
    def refused_command_connections(self) -> int:
        """
        Command connections refused because another client was connected.
        """
    def run_script(self, text: str) -> None:
        """
        Applies fault directives, one a line, as epson-sim's --rules file and control channel take them (see epson-sim --help). ValueError names the failing line.
        """
    def send_telemetry_raw(self, data: bytes) -> None:
        """
        Sends these bytes exactly, once, to every telemetry client.
        """
    def set_command_connections_refused(self, refused: bool) -> None:
        """
        True: the command port refuses new connections (the connected client stays).
        """
    def set_emergency_stop(self, on: bool) -> None:
        """
        On: ends a running motion at once (its reply is '!Execute,99'), switches the motors off and sets SysErr. Off: releases the stop; SysErr stays until Reset.
        """
    def set_input(self, bit: typing.SupportsInt | typing.SupportsIndex, on: bool) -> None:
        """
        Sets a simulated input bit 0..511 (Sw(bit), In(bit // 8)); a running motion's Till or Find condition is checked at once. IndexError outside the range.
        """
    def set_joint_point(self, name: str, joints: typing.Annotated[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "FixedSize(6)"]) -> None:
        """
        Defines a named point (P1, P(1) or an identifier) as six joint angles (degrees), as JA(...) would. ValueError as for set_point.
        """
    def set_joints(self, joints: typing.Annotated[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "FixedSize(6)"]) -> None:
        """
        Places the arm at six joint angles (degrees). RuntimeError while a motion runs, IndexError outside the joint limits.
        """
    def set_log_capacity(self, lines: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Keeps at most this many (the newest) lines in the command log. ValueError below 1.
        """
    def set_point(self, name: str, pose: typing.Annotated[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "FixedSize(6)"]) -> None:
        """
        Defines a named point (P1, P(1) or an identifier; P01 is P1, other names ignore case) as a TCP pose [X, Y, Z, U, V, W]. ValueError for another name, a value not finite or beyond 1e6, or a new point while 1000 are stored.
        """
    def set_safeguard_open(self, open: bool) -> None:
        """
        Opens or closes the safeguard (SafetyOn, CtrlInfo bit 9).
        """
    def set_status_override(self, word: str, value: typing.SupportsInt | typing.SupportsIndex | None) -> None:
        """
        Pins 'stat', 'robot_info' or 'ctrl_info' (Print and telemetry) to value; None computes it again.
        """
    def set_strict_execute(self, on: bool) -> None:
        """
        On: only $Abort and $GetStatus are accepted while an $Execute runs.
        """
    def set_system_error(self, code: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Sets SysErr (0 clears it). IndexError outside 0..9999.
        """
    def set_teach_mode(self, on: bool) -> None:
        """
        Switches teach mode (TeachOn, Stat bit 19).
        """
    def set_telemetry_mode(self, mode: str) -> None:
        """
        'normal'; 'silent' (connected, nothing sent); 'closed' (clients closed, new connections accepted and closed at once); 'refused' (listener closed: connects are refused); 'garbled' (every value non-numeric); 'status-only' (a status line every period, no samples).
        """
    def split_replies(self, segments: typing.SupportsInt | typing.SupportsIndex, gap: typing.SupportsFloat | typing.SupportsIndex = 0.005) -> None:
        """
        Writes every reply in this many TCP segments, gap seconds apart (1: whole).
        """
    def start(self) -> None:
        """
        Binds both ports and starts serving. RuntimeError when a port cannot be bound.
        """
    def state(self) -> dict:
        """
        The whole controller state at one instant, as a dict.
        """
    def stop(self) -> None:
        """
        Closes every connection and listener and stops the I/O thread; a running motion halts where it is. Idempotent.
        """
    def system_error(self) -> int:
        """
        SysErr: 0, or the error pending until Reset.
        """
    def telemetry_client_count(self) -> int:
        """
        Connected telemetry clients.
        """
    def telemetry_mode(self) -> str:
        """
        The current telemetry mode name.
        """
    def telemetry_samples_sent(self) -> int:
        """
        Complete sample lines written to telemetry clients so far (each client counts).
        """
    def tie_input(self, output_bit: typing.SupportsInt | typing.SupportsIndex, input_bit: typing.SupportsInt | typing.SupportsIndex, delay: typing.SupportsFloat | typing.SupportsIndex = 0.08, inverted: bool = False) -> None:
        """
        Ties input_bit to output_bit: delay seconds after the output changes, the input takes its value (the opposite one when inverted), as a gripper's sensor does. IndexError for a bit outside 0..511, ValueError for a delay outside 0..60 s or a 65th tie.
        """
    def tool(self) -> int:
        """
        The selected Tool number.
        """
    def tool_definition(self, tool_num: typing.SupportsInt | typing.SupportsIndex) -> typing.Annotated[list[float], "FixedSize(6)"] | None:
        """
        Tool slot 1..15 as a pose, or None if undefined.
        """
    def wait_for_command(self, pattern: str, timeout: typing.SupportsFloat | typing.SupportsIndex = 5.0, regex: bool = False, start: typing.SupportsInt | typing.SupportsIndex = 0) -> str | None:
        """
        The first logged line at index >= start (counted since the last clear_log) that contains pattern (or matches the regular expression, RE2 syntax), waiting up to timeout seconds; None when none came. ValueError for a bad expression.
        """
    @property
    def command_port(self) -> int:
        """
        The bound Remote Ethernet command port (0 before start).
        """
    @property
    def control_port(self) -> int:
        """
        The bound control port (0 before start or without one).
        """
    @property
    def rate_hz(self) -> float:
        """
        Telemetry samples per second.
        """
    @property
    def running(self) -> bool:
        """
        Whether the simulator is serving.
        """
    @property
    def telemetry_port(self) -> int:
        """
        The bound telemetry port (0 before start).
        """
    @property
    def time_scale(self) -> float:
        """
        Wall seconds per simulated second.
        """
ARM_GEOMETRY: dict = {'links': [{'axis': 'z', 'sign': 1, 'offset': [100.0, 0.0, 320.0]}, {'axis': 'y', 'sign': -1, 'offset': [0.0, 0.0, 250.0]}, {'axis': 'y', 'sign': -1, 'offset': [250.0, 0.0, 30.0]}, {'axis': 'x', 'sign': 1, 'offset': [0.0, 0.0, 0.0]}, {'axis': 'y', 'sign': -1, 'offset': [0.0, 0.0, 0.0]}, {'axis': 'x', 'sign': 1, 'offset': [65.0, 0.0, 0.0]}], 'flange_axes': [[0.0, 0.0, 1.0], [0.0, -1.0, 0.0], [1.0, 0.0, 0.0]], 'lower_limits': [-170.0, -160.0, -51.0, -200.0, -135.0, -360.0], 'upper_limits': [170.0, 65.0, 225.0, 200.0, 135.0, 360.0]}
EMERGENCY_STOP_ERROR: int = 1
REPLY_CODES: dict = {'no_dollar': 10, 'unknown_command': 11, 'bad_format': 12, 'wrong_password': 13, 'parameter_count': 14, 'out_of_range': 15, 'time_out': 19, 'not_ready': 20, 'already_executing': 21, 'system_error': 99, 'aborted': 99}
__version__: str
