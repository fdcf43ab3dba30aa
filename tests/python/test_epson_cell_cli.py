"""`epson-cell`: exit codes, --json, the plot, and the examples run against the simulator."""

import csv
import importlib.util
import io
import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import _cell_command_link
import epson_cell
from conftest import DEFAULT_SIGINT_PRELUDE, wait_until
from epson_cell import cli

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = [sys.executable, "-m", "epson_cell"]
# The tool as a test interrupts it: with Python's Ctrl-C handler even when the suite runs with
# SIGINT ignored, which the child would inherit.
INTERRUPTIBLE_TOOL = [sys.executable, "-c", DEFAULT_SIGINT_PRELUDE +
                      "import runpy; runpy.run_module('epson_cell', run_name='__main__', "
                      "alter_sys=True)"]


def run_cli(*argv):
    out = io.StringIO()
    try:
        code = cli.main([str(a) for a in argv], out=out)
    except SystemExit as exit_info:  # argparse refusing an argument
        code = exit_info.code
    return code, out.getvalue()


def link_args(sim, *extra):
    return ["--host", "127.0.0.1", "--command-port", sim.command_port, "--telemetry-port",
            sim.telemetry_port, *extra]


def test_status_json_and_text(sim, monkeypatch):
    code, out = run_cli("status", *link_args(sim, "--json"))
    assert code == 0, out
    data = json.loads(out)
    assert data["power"] == "LOW" and data["motors_on"] is False and data["tool"] == 0
    assert data["pose"] == pytest.approx(sim.pose(), abs=1e-6) and len(data["joints"]) == 6
    assert data["status"]["ready"] is True and data["status"]["running"] is False
    # The controller from the environment, as a shell session keeps it.
    monkeypatch.setenv("EPSON_CELL_HOST", "127.0.0.1")
    monkeypatch.setenv("EPSON_CELL_COMMAND_PORT", str(sim.command_port))
    monkeypatch.setenv("EPSON_CELL_TELEMETRY_PORT", str(sim.telemetry_port))
    code, out = run_cli("status")
    assert code == 0 and "motors  off" in out and "ready" in out
    monkeypatch.setenv("EPSON_CELL_COMMAND_PORT", "99999")
    assert run_cli("status") == (cli.EXIT_USAGE, "")


def run_piped(tool_argv, reader_source, timeout=60):
    """Runs the tool with its stdout piped into a Python reader process, as `tool | reader`."""
    with subprocess.Popen([*TOOL, *map(str, tool_argv)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as tool:
        reader = subprocess.run([sys.executable, "-c", reader_source], stdin=tool.stdout,
                                capture_output=True, text=True, timeout=timeout)
        tool.stdout.close()
        assert tool.wait(timeout=timeout) == 0, tool.stderr.read()
    assert reader.returncode == 0, reader.stderr
    return json.loads(reader.stdout)


def test_results_pipe_into_parsers(sim):
    # Connection lines stay off stdout: the results parse as they come.
    status = run_piped(["status", *link_args(sim, "--json")],
                       "import json, sys; print(json.dumps(json.load(sys.stdin)))")
    assert status["pose"] == pytest.approx(sim.pose(), abs=1e-6)
    lines = run_piped(["watch", *link_args(sim, "--json", "--interval", "0.05", "--seconds",
                                           "0.3")],
                      "import json, sys; print(json.dumps([json.loads(l) for l in sys.stdin]))")
    assert len(lines) >= 3 and all(line["pose"] == pytest.approx(sim.pose()) for line in lines)
    times = [line["wall_time"] for line in lines]
    assert times == sorted(times) and all(t.endswith("Z") and "T" in t for t in times)
    rows = run_piped(["record", *link_args(sim, "--seconds", "0.3", "-o", "-")],
                     "import csv, json, sys; print(json.dumps(list(csv.DictReader(sys.stdin))))")
    assert len(rows) > 10 and {row["kind"] for row in rows} == {"sample", "status"}
    assert all(bool(row["J1"]) == (row["kind"] == "sample") for row in rows)


# (what goes wrong, simulator options, arguments after the link's, expected exit code, what the
# JSON result or error says)
@pytest.mark.parametrize("case, options, argv, exit_code, says", [
    ("ok: a motion with the motors switched on", {}, ["go", "--motors-on", "--speed", "50",
                                                      "Here"], 0, {"command": "go"}),
    ("a motion with the motors off", {}, ["go", "Here"], cli.EXIT_REFUSED,
     {"kind": "ControllerError", "code": 20, "meaning": "Controller is not ready"}),
    ("a statement the controller does not know", {}, ["move", "--motors-on", "XY(1,2)"],
     cli.EXIT_REFUSED, {"kind": "ControllerError"}),
    ("the link lost during the motion", {"drop": "Go "},
     ["go", "--motors-on", "--speed", "50", "Here"], cli.EXIT_LINK_LOST,
     {"kind": "ConnectionLostError"}),
    ("a refused login", {"password": "right"}, ["motors", "off", "--password", "wrong"],
     cli.EXIT_CONNECT, {"kind": "ControllerError", "code": 13}),
    ("ok: abort with nothing running", {}, ["abort"], 0, {"aborted": False}),
    # Refused before connecting: nothing reaches the controller.
    ("till with its keyword", {}, ["move", "--till", "Till Sw(1) = On", "P1"], cli.EXIT_USAGE,
     None),
    ("a speed out of range", {}, ["go", "--speed", "500", "Here"], cli.EXIT_USAGE, None),
    ("a deceleration without acceleration", {}, ["go", "--decel", "5", "Here"], cli.EXIT_USAGE,
     None),
    ("a target with a quote", {}, ["go", 'P1"', "--motors-on"], cli.EXIT_USAGE, None),
    ("a port out of range", {}, ["status", "--command-port", "99999"], cli.EXIT_USAGE, None),
    ("a recording into no directory", {}, ["record", "-o", "/no/such/dir/x.csv"], cli.EXIT_FILE,
     {"exit_code": cli.EXIT_FILE}),
])
def test_exit_codes_say_what_failed(case, options, argv, exit_code, says, capsys):
    drop = options.pop("drop", None)
    with epson_cell.Simulator(time_scale=0.02, **options) as sim:
        if drop:
            sim.drop_connection(drop)
        command, *rest = argv
        positional = [a for a in rest if a in ("on", "off")]
        code, out = run_cli(command, *positional, *link_args(sim, "--json"),
                            *[a for a in rest if a not in positional])
        log = sim.command_log()
    assert code == exit_code, (case, out)
    if says is None:
        assert out == "" and log == [], "refused before anything was sent"
        assert "usage:" in capsys.readouterr().err
        return
    data = json.loads(out.splitlines()[-1])
    assert ("error" in data) == (exit_code != 0), data
    assert data.items() >= says.items(), data
    if "meaning" in says:
        assert says["meaning"] in data["error"], "the message says what the code means"


def test_abort_says_what_it_did():
    with epson_cell.Simulator() as sim:  # real time: the motion outlasts both attempts
        link = _cell_command_link.CellCommandLink()
        link.connect("127.0.0.1", sim.command_port)
        link.motor_on()
        x, y, z, u, v, w = sim.pose()
        ended = []
        mover = threading.Thread(target=lambda: ended.append(pytest.raises(
            RuntimeError, link.move, f"XY({x},{y},{z - 60},{u},{v},{w})", False, False, False,
            None, None, False, 2.0)))
        mover.start()
        assert wait_until(sim.is_moving)
        # The script holds the command connection: said so at once (one attempt, not the
        # link's three 2 s apart), with its own exit code.
        started = time.monotonic()
        code, out = run_cli("abort", *link_args(sim, "--json"))
        assert time.monotonic() - started < 1.5
        assert code == cli.EXIT_BUSY and "held by another client" in json.loads(out)["error"]
        assert sim.is_moving() and "$Abort" not in sim.command_log()
        # The script went away; its motion runs on until the tool aborts it.
        sim.drop_command_connection()
        mover.join(10)
        assert ended and sim.is_moving()
        code, out = run_cli("abort", *link_args(sim, "--json"))
        assert (code, json.loads(out)) == (0, {"aborted": True, "was_running": True})
        assert not sim.is_moving()


# (command, the signal that ends it, its last JSON line): each runs until the signal, which
# ends it cleanly (exit 0, the motors off, the file whole)
@pytest.mark.parametrize("argv, ending, last", [
    (["motors", "on"], signal.SIGINT, {"motors": "off"}),
    (["record", "-o", "{tmp}/run.csv"], signal.SIGTERM, {"lost": 0}),
    pytest.param(["record", "--rrd", "{tmp}/run.rrd", "-o", "{tmp}/run.csv"], signal.SIGINT,
                 {"lost": 0}, marks=pytest.mark.skipif(
                     importlib.util.find_spec("rerun") is None, reason="needs rerun-sdk")),
])
def test_holding_commands_run_until_a_signal(sim, tmp_path, argv, ending, last):
    recording = tmp_path / "run.csv"
    argv = [a.format(tmp=tmp_path) for a in argv]
    with subprocess.Popen([*INTERRUPTIBLE_TOOL, *argv, *map(str, link_args(sim, "--json"))],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as tool:
        if argv[0] == "motors":
            assert json.loads(tool.stdout.readline())["motors"] == "on"
            assert sim.are_motors_on()
        else:
            assert wait_until(lambda: recording.exists() and
                              len(recording.read_text().splitlines()) > 10)
        tool.send_signal(ending)
        assert tool.wait(timeout=10) == 0, tool.stderr.read()
        result = json.loads(tool.stdout.read().splitlines()[-1])
    assert result.items() >= last.items()
    assert not sim.are_motors_on()
    if argv[0] == "record":
        assert len(list(csv.reader(recording.open()))) == result["rows"] + 1


def test_usage_errors_exit_2_with_help_that_shows_examples(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["go"])
    assert exit_info.value.code == cli.EXIT_USAGE
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    help_text = capsys.readouterr().out
    assert "examples:" in help_text and "exit codes:" in help_text
    assert "EPSON_CELL_HOST" in help_text
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["--version"])
    assert exit_info.value.code == 0
    assert capsys.readouterr().out == f"epson-cell {epson_cell.__version__}\n"


def test_io_set_get_and_watch(sim):
    sim.tie_input(0, 8, 0.0)  # a sensor that follows output 0 at once
    steps = [  # (arguments, the JSON line expected)
        (["set", "0", "on"], {"output": 0, "on": True}),
        (["get", "--output", "0"], {"output": 0, "on": True}),
        (["get", "8"], {"input": 8, "on": True}),
        (["get", "9"], {"input": 9, "on": False}),
        (["watch", "--inputs", "8-9,20", "--outputs", "0", "--seconds", "0.2"],
         {"inputs_on": [8], "outputs_on": [0]}),
        (["set", "0", "off"], {"output": 0, "on": False}),
    ]
    for argv, expected in steps:
        code, out = run_cli("io", argv[0], *link_args(sim, "--json"), *argv[1:])
        assert code == 0, (argv, out)
        lines = [json.loads(line) for line in out.splitlines()]
        assert len(lines) == 1 and expected.items() <= lines[0].items(), (argv, out)
    assert not sim.output(0)
    code, out = run_cli("io", "get", *link_args(sim), "8")
    assert (code, out) == (0, "input 8 off\n")
    for bad in (["set", "512", "on"], ["get", "-1"], ["watch", "--inputs", "5-3"]):
        with pytest.raises(SystemExit) as exit_info:
            cli.main(["io", bad[0], *map(str, link_args(sim)), *bad[1:]])
        assert exit_info.value.code == cli.EXIT_USAGE, bad


def test_go_json_reports_till(sim):
    sim.set_input(2, True)
    code, out = run_cli("go", *link_args(sim, "--json", "--motors-on", "--till", "Sw(2) = On"),
                        "Here")
    assert code == 0, out
    assert json.loads(out)["till_on"] is True


def test_watch_prints_plain_lines_when_not_a_terminal(sim):
    code, out = run_cli("watch", *link_args(sim, "--interval", "0.05", "--seconds", "0.2"))
    lines = out.splitlines()
    assert code == 0 and len(lines) >= 2 and "\x1b" not in out
    assert all(line.startswith("joints") and "motors off" in line for line in lines)
    code, out = run_cli("watch", *link_args(sim, "--json", "--interval", "0.05", "--seconds",
                                            "0.1"))
    assert code == 0 and json.loads(out.splitlines()[0])["pose"] == pytest.approx(sim.pose())
    # A reader that goes away (`watch | head -1`) ends the tool quietly, not with a traceback.
    with subprocess.Popen([sys.executable, "-m", "epson_cell", "watch",
                           *map(str, link_args(sim, "--interval", "0.05", "--seconds", "5"))],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as tool:
        assert tool.stdout.readline().startswith("joints")
        tool.stdout.close()
        assert tool.wait(timeout=10) == 0
        assert "Error" not in tool.stderr.read()


def test_watch_redraws_in_place_on_a_terminal(sim):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    out = Terminal()
    argv = ["watch", *link_args(sim, "--interval", "0.05", "--seconds", "0.15")]
    assert cli.main([str(a) for a in argv], out=out) == 0
    blocks = out.getvalue().split("\x1b[3F\x1b[J")  # up three lines, clear below
    assert len(blocks) >= 3 and all(b.count("\n") == 3 for b in blocks)


HEADER = ("monotonic_s,wall_time,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,"
          "emergency_stopped,safeguard_open,teach_mode,control_device,robot_info,ctrl_info,kind")


def test_record_then_plot(sim, tmp_path):
    recording = tmp_path / "run.csv"
    code, out = run_cli("record", *link_args(sim, "--json", "--seconds", "0.3", "-o", recording))
    assert code == 0, out
    summary = json.loads(out)
    rows = list(csv.reader(recording.open()))
    assert ",".join(rows[0]) == HEADER and len(rows) - 1 == summary["rows"] > 10
    assert summary["lost"] == 0
    pytest.importorskip("matplotlib", reason="plot needs the optional extra epson-cell[plot]")
    code, out = run_cli("plot", recording, "-o", tmp_path / "run.png")
    assert code == 0, out


def synthetic_recording(path):
    lines = [HEADER]
    for i in range(50):
        stat = "0" if i < 25 else "1"
        lines.append(f"{i * 0.01:.6f},2026-01-01T00:00:00.000000Z,{i},{-i},{i / 2},0,-90,0,"
                     f"{300 + i},0,{400 - i},0,0,180,{stat},0,0,0,0,26,4,0,sample")
        if i == 24:
            lines.append(f"{i * 0.01 + 0.005:.6f},2026-01-01T00:00:00.000000Z,,,,,,,,,,,,,"
                         f"1,0,0,0,0,26,4,0,status")
    path.write_text("\n".join(lines) + "\n")


def test_plot_draws_a_picture(tmp_path):
    image = pytest.importorskip("matplotlib.image",
                                reason="plot needs the optional extra epson-cell[plot]")
    synthetic_recording(tmp_path / "run.csv")
    code, out = run_cli("plot", tmp_path / "run.csv", "-o", tmp_path / "run.png", "--json")
    assert code == 0, out
    assert json.loads(out)["status_changes"] == 1
    pixels = image.imread(tmp_path / "run.png")
    assert pixels.shape[:2] == (700, 1000)
    assert pixels[..., :3].std() > 0.05  # lines drawn, not a blank canvas


def test_plot_without_matplotlib_names_the_extra_and_bad_files_exit_6(tmp_path, monkeypatch,
                                                                      capsys):
    synthetic_recording(tmp_path / "run.csv")
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, _ = run_cli("plot", tmp_path / "run.csv", "-o", tmp_path / "run.png")
    assert code == cli.EXIT_MISSING_EXTRA
    assert "pip install 'epson-cell[plot]'" in capsys.readouterr().err
    monkeypatch.undo()
    pytest.importorskip("matplotlib", reason="plot needs the optional extra epson-cell[plot]")
    (tmp_path / "bad.csv").write_text("a,b\n1,2\n")
    for path in (tmp_path / "bad.csv", tmp_path / "missing.csv"):
        code, _ = run_cli("plot", path, "-o", tmp_path / "x.png")
        assert code == cli.EXIT_FILE


# ---- the examples, against the simulator at a fast time scale ----

@pytest.mark.parametrize("example, time_scale, expected", [
    ("pick_and_place.py", 0.02, ["slot 1: gripper closed", "slot 2: no part in the feeder",
                                 "placed 2 part(s)"]),
    ("error_handling.py", 0.02, ["refused before sending", "code 20", "motion aborted as asked",
                                 "connection lost", "opened again"]),
    ("async_motion.py", 0.02, ["streamed", "0 dropped", "timed out; the motion was aborted"]),
    # Slower: the demo pauses a motion on its way, which a busy machine could otherwise miss.
    ("demo.py", 0.2, ["paused", "continued", "Arrived at", "Disconnected"]),
])
def test_examples_run(example, time_scale, expected):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / example), "--time-scale",
                             str(time_scale)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    for text in expected:
        assert text in result.stdout, result.stdout


def test_pick_and_place_stops_when_the_gripper_never_closes():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "pick_and_place.py"),
                             "--time-scale", "0.02", "--broken-gripper"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1, result.stdout + result.stderr
    assert ("stopped: gripper did not close: input 8 was not on 1 s after output 0 was "
            "switched on") in result.stdout
    assert "placed" not in result.stdout


def test_python_dash_m_runs_the_tool():
    result = subprocess.run([sys.executable, "-m", "epson_cell", "plot", "--help"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "epson-cell plot" in result.stdout
