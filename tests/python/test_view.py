"""The cell in Rerun: the arm's geometry, a recorded session read back with Rerun's own reader,
the tool's commands, and the web viewer in a real browser."""

import io
import math
import pathlib
import random
import sys
import threading
import time

import pytest

import _cell_simulator
import epson_cell
from conftest import wait_until
from epson_cell import JA, XY, cli
from epson_cell.view import ArmGeometry, pose_rotation

SIM_GEOMETRY = ArmGeometry.simulator()
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def _random_joints(rng):
    # Within the simulator's limits, away from them so that every target is reachable.
    lower, upper = (_cell_simulator.ARM_GEOMETRY[k] for k in ("lower_limits", "upper_limits"))
    return [rng.uniform(lo * 0.8, hi * 0.8) for lo, hi in zip(lower, upper)]


def _assert_frame_is_pose(frame, pose, tolerance=1e-6):
    assert list(frame.position) == pytest.approx(pose[:3], abs=tolerance)
    expected = pose_rotation(pose)
    for row, wanted in zip(frame.rotation, expected):
        assert list(row) == pytest.approx(list(wanted), abs=tolerance)


def test_the_drawn_flange_is_where_the_simulator_puts_it(sim, cell):
    # The geometry comes from the simulator's own chain: any posture it reaches, the drawing's
    # flange frame matches the controller's pose (Tool 0), position and axes.
    cell.control.motor_on()
    rng = random.Random(25)
    for _ in range(6):
        cell.go(JA(*_random_joints(rng)), speed=100)
        _assert_frame_is_pose(SIM_GEOMETRY.frames(sim.joints())[-1], sim.pose())
    # The zero posture, where the drawing is easiest to check by eye: column up, arm forward.
    zero = SIM_GEOMETRY.outline([0.0] * 6)
    assert zero[0] == (0.0, 0.0, 0.0) and zero[1][:2] == (0.0, 0.0) and zero[1][2] > 0
    assert [p[2] for p in zero] == sorted(p[2] for p in zero)


@pytest.mark.parametrize("rows, message", [
    ([], "at least one link"),
    ([("w", 1, (0, 0, 1))], "axis must be"),
    ([("z", 2, (0, 0, 1))], "sign 1 or -1"),
    ([("z", 1, (0, 0))], "three finite numbers"),
    ([{"axis": "x", "sign": -1, "offset": (0, math.nan, 0)}], "three finite numbers"),
])
def test_a_table_that_is_not_an_arm_is_refused(rows, message):
    with pytest.raises(ValueError, match=message):
        ArmGeometry.from_table(rows)


def test_another_arm_from_a_table():
    # A planar two-link arm: 300 mm then 200 mm, both joints about z.
    arm = ArmGeometry.from_table([("z", 1, (300, 0, 0)), ("z", 1, (200, 0, 0))])
    frames = arm.frames([90.0, -90.0])
    assert list(frames[1].position) == pytest.approx([0, 300, 0], abs=1e-9)
    assert list(frames[2].position) == pytest.approx([200, 300, 0], abs=1e-9)
    with pytest.raises(ValueError, match="2 joint angles expected"):
        arm.frames([0.0] * 6)


# ---- a session recorded to .rrd, read back with Rerun's reader ----

def _read_rrd(path):
    """Every logged row, per entity, in time order: (time in ns, {column: value})."""
    import pyarrow
    from rerun.chunk import RrdReader

    rows = {}
    for chunk in RrdReader(path).stream():
        if chunk.is_static:
            continue
        batch = chunk.to_record_batch()
        columns = {}
        for name in batch.schema.names:
            column = batch.column(name)
            if pyarrow.types.is_timestamp(column.type):
                column = column.cast(pyarrow.int64())
            columns[name] = column.to_pylist()
        times = columns.pop("time")
        for i, t in enumerate(times):
            values = {name.split(":")[-1]: column[i] for name, column in columns.items()}
            rows.setdefault(chunk.entity_path.lstrip("/"), []).append((t, values))
    for entity in rows.values():
        entity.sort(key=lambda r: r[0])
    return rows


def test_a_recorded_session_reads_back_with_every_sample_and_its_events(tmp_path):
    pytest.importorskip("rerun")
    from epson_cell.view import log_cell

    path = tmp_path / "session.rrd"
    marks = {}
    with epson_cell.Simulator(time_scale=0.5) as sim, epson_cell.connect(
            "127.0.0.1", command_port=sim.command_port,
            telemetry_port=sim.telemetry_port) as cell:
        control = cell.control
        home = XY(*sim.pose())
        # An independent subscriber sees the same events with the same receive times.
        with cell.telemetry.subscribe(65536) as witness, log_cell(cell, rrd=path) as logged:
            control.motor_on()
            cell.go(XY(home.x, home.y + 60, home.z - 40, home.u, home.v, home.w), speed=100)
            # A search that fires half way: the arm stops where the input came on.
            mover = threading.Thread(target=lambda: marks.setdefault(
                "till_on", cell.move(XY(home.x, home.y - 60, home.z - 40, home.u, home.v,
                                        home.w), speed=100, till="Sw(3) = On")))
            mover.start()
            assert wait_until(sim.is_moving)
            assert wait_until(lambda: abs(sim.pose()[1] - home.y) < 20, 10)
            marks["input"] = time.time()
            sim.set_input(3, True)
            mover.join()
            marks["till_returned"] = time.time()
            sim.set_input(3, False)
            stopped = logged.view.samples
            assert wait_until(lambda: logged.view.samples >= stopped + 20, 5)
            # An abort from another thread, on the way to a point far off.
            aborted = {}
            far = XY(home.x, home.y + 150, home.z - 100, home.u, home.v, home.w)

            def run_go():
                try:
                    cell.go(far, speed=10)
                except epson_cell.MotionAbortedError as error:
                    aborted["error"] = error
                    aborted["at"] = time.time()

            goer = threading.Thread(target=run_go)
            started_at = sim.pose()
            goer.start()
            assert wait_until(sim.is_moving)
            assert wait_until(lambda: math.dist(sim.pose()[:3], started_at[:3]) > 30, 20)
            marks["abort"] = time.time()
            control.abort_motion()
            goer.join()
            # The arm stands still after the abort: a few more samples of it.
            after_abort = logged.view.samples
            assert wait_until(lambda: logged.view.samples >= after_abort + 20, 5)
        view = logged.view
        witnessed = []
        while (event := witness.get(0)) is not None:
            witnessed.append(event)
    assert marks["till_on"] is True and "error" in aborted
    assert view.dropped == 0 and view.samples > 50

    rows = _read_rrd(path)
    for entity in ("cell/arm", "cell/arm/joints", "cell/flange", "cell/tcp", "cell/trail",
                   "plots/joints", "plots/tcp", "events/motion", "events/status"):
        assert entity in rows, f"{entity} missing from the recording: {sorted(rows)}"

    # One frame per sample received, none lost, none twice: exactly the witness's samples
    # between the first and the last that the view logged.
    frames = [t for t, _ in rows["cell/arm"]]
    assert len(frames) == view.samples == len(set(frames))
    sample_times = [round(e.wall_time * 1e9) for e in witnessed if e.sample is not None]
    logged_span = [t for t in sample_times if frames[0] <= t <= frames[-1]]
    assert frames == logged_span
    for series in ("plots/joints", "plots/tcp", "cell/tcp", "cell/flange"):
        assert [t for t, _ in rows[series]] == frames, series

    # What the view drew is what the controller reported: the flange (Tool 0) at the pose of
    # every sample, the joint series the joints, the arm and the TCP frame as the one-sample
    # geometry draws them.
    samples = {round(e.wall_time * 1e9): e.sample for e in witnessed if e.sample is not None}
    for (t, flange), (_, joints), (_, arm), (_, tcp) in zip(
            rows["cell/flange"], rows["plots/joints"], rows["cell/arm"], rows["cell/tcp"]):
        sample = samples[t]
        assert flange["translation"][0] == pytest.approx(sample.tcp_pose[:3], abs=0.05)
        assert joints["scalars"] == pytest.approx(sample.joints, abs=1e-9)
        assert len(arm["strips"]) == 1 and [list(p) for p in SIM_GEOMETRY.outline(
            sample.joints)] == [pytest.approx(p, abs=0.01) for p in arm["strips"][0]]
        # Column-major, as Rerun stores a 3x3 matrix.
        rotation = pose_rotation(sample.tcp_pose)
        assert tcp["mat3x3"][0] == pytest.approx(
            [rotation[r][c] for c in range(3) for r in range(3)], abs=1e-6)

    # The motion calls, in order, each at its time.
    events = [(t, v["text"][0]) for t, v in rows["events/motion"]]
    texts = [e[1] for e in events]
    phases = [t.split(":")[0] for t in texts]
    assert phases == ["start", "end", "start", "till", "end", "start", "abort"], texts
    assert "Till Sw(3) = On" in texts[3] and texts[6].startswith("abort: Go XY(")
    till_at, abort_at = events[3][0] / 1e9, events[6][0] / 1e9
    assert marks["input"] <= till_at <= marks["till_returned"]
    assert marks["abort"] <= abort_at <= aborted["at"]

    # The arm stood still from the till and from the abort on, and moved just before each.
    def positions(start, end):
        return [sample.tcp_pose[:3] for t, sample in sorted(samples.items())
                if start <= t / 1e9 <= end]

    for fired, after in ((till_at, events[5][0] / 1e9), (abort_at, frames[-1] / 1e9)):
        still = positions(fired + 0.05, after)
        assert still and max(math.dist(p, still[0]) for p in still) < 1e-6
        before = positions(fired - 0.3, fired - 0.1)
        assert math.dist(before[0], before[-1]) > 1.0

    statuses = [v["text"][0] for _, v in rows["events/status"]]
    assert any("motors on" in s for s in statuses), statuses


# ---- the tool ----

def test_record_rrd_and_a_missing_extra(sim, tmp_path, monkeypatch, capsys):
    link = ["--host", "127.0.0.1", "--command-port", str(sim.command_port),
            "--telemetry-port", str(sim.telemetry_port)]
    path = tmp_path / "run.rrd"
    if "rerun" in sys.modules or _has_rerun():
        out = io.StringIO()
        assert cli.main(["record", *link, "--seconds", "0.5", "--rrd", str(path), "--json"],
                        out) == cli.EXIT_OK
        import json
        result = json.loads(out.getvalue())
        assert result["samples"] > 10 and result["lost"] == 0
        assert len(_read_rrd(path)["cell/arm"]) == result["samples"]
        # The web form serves on loopback and says where.
        monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
        out = io.StringIO()
        assert cli.main(["view", *link, "--web", "--seconds", "0.5", "--json"],
                        out) == cli.EXIT_OK
        shown = json.loads(out.getvalue())
        assert shown["web_url"].startswith("http://127.0.0.1:")
        assert shown["grpc_url"].startswith("rerun+http://127.0.0.1:")
        # The demo shows its session when asked: here into a file, its two motions in it.
        demo = tmp_path / "demo.rrd"
        import subprocess
        subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--time-scale", "0.1",
                        "--rrd", str(demo)], check=True, capture_output=True, timeout=120)
        phases = [v["text"][0].split(":")[0] for _, v in _read_rrd(demo)["events/motion"]]
        assert phases == ["start", "end", "start", "end"]
    # Without rerun-sdk: the extra is named, nothing is connected, exit code 7.
    monkeypatch.setitem(sys.modules, "rerun", None)
    for command in (["view", *link], ["record", *link, "--seconds", "1", "--rrd", "x.rrd"]):
        assert cli.main(command, io.StringIO()) == cli.EXIT_MISSING_EXTRA
        assert "pip install 'epson-cell[view]'" in capsys.readouterr().err
    with pytest.raises(SystemExit) as usage:  # refused by the parser, as every usage error
        cli.main(["record", *link, "--seconds", "1"], io.StringIO())
    assert usage.value.code == cli.EXIT_USAGE


def _has_rerun():
    try:
        import rerun  # noqa: F401
    except ImportError:
        return False
    return True


# ---- the web viewer in a real browser ----

def _arm_pixels(png):
    """The pixels in the arm's colour (lit orange, which nothing else in the view uses)."""
    from PIL import Image

    image = Image.open(io.BytesIO(png)).convert("RGB")
    pixels = image.tobytes()
    return {i // 3 for i in range(0, len(pixels), 3)
            if (r := pixels[i]) > 150 and 60 < (g := pixels[i + 1]) < 200
            and (b := pixels[i + 2]) < 100 and r - b > 100 and r > g + 30}


def test_the_web_viewer_shows_the_arm_moving_in_headless_chromium(sim, cell, tmp_path,
                                                                   monkeypatch):
    pytest.importorskip("rerun")
    pytest.importorskip("PIL")
    from browser import Chromium, chromium_path
    from epson_cell.view import log_cell, rerun_executable

    if chromium_path() is None:
        pytest.skip("chromium is not installed (scripts/bootstrap.sh installs it)")
    # Rerun's usage statistics stay off: a configuration of this test's own.
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    import subprocess
    subprocess.run([rerun_executable(), "analytics", "disable"], check=True, timeout=60,
                   capture_output=True)

    control = cell.control
    control.motor_on()
    home = XY(*sim.pose())
    ends = [XY(home.x, home.y + 150, home.z - 100, home.u, home.v, home.w),
            XY(home.x, home.y - 150, home.z - 100, home.u, home.v, home.w)]
    stop = threading.Event()

    def sweep():
        n = 0
        while not stop.is_set():
            cell.move(ends[n % 2], speed=100)
            n += 1

    deadline = time.monotonic() + 240  # a loaded two-core machine renders slowly in software
    with log_cell(cell, viewer="web") as logged:
        assert logged.web_url.startswith("http://127.0.0.1:")
        mover = threading.Thread(target=sweep)
        mover.start()
        try:
            with Chromium(timeout=120) as browser:
                browser.open(logged.web_url)
                first = set()
                while len(first) < 400:  # the arm drawn: the viewer has loaded and connected
                    assert time.monotonic() < deadline, "the web viewer never drew the arm"
                    first = _arm_pixels(shot := browser.screenshot())
                (tmp_path / "first.png").write_bytes(shot)
                moved_from = sim.pose()
                assert wait_until(lambda: math.dist(sim.pose()[:3], moved_from[:3]) > 80, 30)
                while True:
                    second = _arm_pixels(shot := browser.screenshot())
                    if len(second) >= 400 and len(first ^ second) > len(first) // 3:
                        break
                    assert time.monotonic() < deadline, \
                        "the picture did not change while the arm moved"
                (tmp_path / "second.png").write_bytes(shot)
        finally:
            stop.set()
            mover.join()
        assert logged.viewer.running()
    assert not logged.viewer.running()
