"""The _cell_simulator module: the simulator driven through its Python API and plain sockets."""

import math
import re
import socket
import threading
import time

import pytest

import _cell_simulator
from _cell_simulator import Simulator

FAST = 0.02  # time scale for tests that do not measure time


class Client:
    """A Remote Ethernet client over a plain socket: CR LF lines, deadlines on every read."""

    def __init__(self, port, timeout=3.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send_line(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def read_line(self, timeout=3.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                return None
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.rstrip(b"\r").decode()

    def recv_once(self, timeout=2.0):
        """What one recv() returns: b"" on end of stream, None on time-out."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096)
        except socket.timeout:
            return None

    def command(self, line, timeout=3.0):
        self.send_line(line)
        return self.read_line(timeout)

    def execute(self, statement, timeout=3.0):
        return self.command(f'$Execute,"{statement}"', timeout)

    def print(self, expressions):
        reply = self.execute(f"Print {expressions}")
        match = re.fullmatch(r'#Execute,"(.*)"', reply or "")
        assert match, f"Print {expressions} answered {reply!r}"
        return match.group(1)

    def closed_by_peer(self, timeout=2.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            data = self.recv_once(max(deadline - time.monotonic(), 0.01))
            if data == b"":
                return True
        return False


def logged_in(sim, password=""):
    client = Client(sim.command_port)
    assert client.command(f"$Login,{password}") == "#Login,0"
    return client


def until(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


@pytest.fixture
def sim():
    with Simulator(time_scale=FAST) as simulator:
        yield simulator


def test_context_manager_serves_on_ephemeral_ports_and_stops():
    with Simulator(time_scale=FAST) as sim:
        assert sim.running
        assert sim.command_port > 0 and sim.telemetry_port > 0
        port = sim.command_port
        client = logged_in(sim)
        started = time.monotonic()
    assert time.monotonic() - started < 1.0, "stop is quick"
    assert not sim.running
    assert client.closed_by_peer()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=1.0)


@pytest.mark.parametrize(
    "line, expected",
    [
        ('$Execute,"Print Power,Tool,AccelMax(1)"', '#Execute,"0,0,120"'),
        ('$Execute,"Print EStopOn,TLDef(1)"', '#Execute,"False,False"'),
        ('$Execute,"Power High"', "#Execute,0"),
        ('Execute,"Print Power"', "!Execute,10"),
        ("$Teleport", "!Teleport,11"),
        ("$Execute,Print Power", "!Execute,12"),
        ('$Execute,"Tool 16"', "!Execute,15"),
        ('$Execute,"Print PAgl(XY(9000,0,0,0,0,0),1)"', "!Execute,15"),
        ('$Execute,"Jump P1"', "!Execute,14"),
        ('$Execute,"Go XY(350,0,500,0,0,180)"', "!Execute,20"),
        ("$Pause", "!Pause,20"),
        ("$Abort", "#Abort,0"),
        ("$GetStatus", "#GetStatus,00100000001,0000"),
    ],
)
def test_reply_forms_and_error_codes(sim, line, expected):
    client = logged_in(sim)
    assert client.command(line) == expected


def test_login_rules():
    with Simulator(time_scale=FAST, password="pw") as sim:
        client = Client(sim.command_port)
        assert client.execute("Print Power") == "!Execute,11"
        assert client.command("$Login,PW") == "!Login,13"
        assert client.command("$Login,pw") == "#Login,0"
        assert sim.is_logged_in()
        second = Client(sim.command_port)
        assert second.closed_by_peer(), "one command client at a time"
        assert sim.refused_command_connections() == 1
        assert client.command("$Logout") == "#Logout,0"
        assert client.execute("Print Power") == "!Execute,11"


def test_command_log_is_exact_and_waiting_releases_the_interpreter(sim):
    client = logged_in(sim)
    assert client.execute("Print  Tool ") == '#Execute,"0"'
    assert sim.command_log() == ["$Login,", '$Execute,"Print  Tool "']

    # The sender is a Python thread: the wait can only see its line if the wait lets go of
    # the interpreter lock.
    sender = threading.Timer(0.2, lambda: client.send_line("$Logout"))
    sender.start()
    started = time.monotonic()
    assert sim.wait_for_command("$Logout", timeout=3.0) == "$Logout"
    assert time.monotonic() - started < 2.0
    sender.join(5)
    assert client.read_line() == "#Logout,0"

    assert sim.wait_for_command(r"^\$Log(in|out),?$", regex=True, start=1) == "$Logout"
    started = time.monotonic()
    assert sim.wait_for_command("$Never", timeout=0.15) is None
    assert 0.14 <= time.monotonic() - started < 1.0
    sim.clear_log()
    assert sim.command_log() == []
    with pytest.raises(ValueError):
        sim.wait_for_command("(", regex=True, timeout=0)


def test_rules_shape_replies(sim):
    client = logged_in(sim)

    sim.delay_reply("Motor On", 0.3)
    started = time.monotonic()
    client.send_line('$Execute,"Motor On"')
    assert until(sim.are_motors_on, timeout=0.25), "executed before the reply"
    assert client.read_line() == "#Execute,0"
    assert time.monotonic() - started >= 0.28

    sim.answer("Print Tool", '#Execute,"3"\n#Execute,"4"', times=1)
    client.send_line('$Execute,"Print Tool"')
    assert client.recv_once() == b'#Execute,"3"\r\n#Execute,"4"\r\n', "two replies, one segment"
    assert client.print("Tool") == "0", "the rule is spent"

    sim.answer(r'^\$Execute,"Print (SysErr|Power)"$', '#Execute,"7"', regex=True)
    assert client.print("SysErr") == "7"
    assert client.print("Tool") == "0"

    sim.go_silent("Power High")
    client.send_line('$Execute,"Power High"')
    assert client.recv_once(timeout=0.2) is None
    assert sim.power() == 0, "not executed"

    sim.clear_rules()
    sim.split_replies(3, gap=0.04)
    client.send_line('$Execute,"Print Tool"')
    pieces = []
    while b"".join(pieces).count(b"\n") < 1:
        piece = client.recv_once()
        assert piece, "reply incomplete"
        pieces.append(piece)
    assert b"".join(pieces) == b'#Execute,"0"\r\n'
    assert len(pieces) == 3

    sim.clear_rules()
    sim.drop_connection("Reset")
    client.send_line('$Execute,"Reset"')
    assert client.closed_by_peer()
    assert until(lambda: not sim.is_command_client_connected())


def test_motion_pause_continue_and_state():
    with Simulator(time_scale=0.25) as sim:
        client = logged_in(sim)
        for statement in ("Motor On", "Speed 20", "Accel 50, 50"):
            assert client.execute(statement) == "#Execute,0"
        client.send_line('$Execute,"Go AglToPls(30,0,0,0,-90,0) LJM SYNC"')
        assert until(lambda: sim.joints()[0] > 2.0)
        assert sim.is_moving()
        assert client.execute("Print Power") == "!Execute,21"

        assert client.command("$Pause") == "#Pause,0"
        assert sim.is_paused()
        held = sim.joints()
        assert client.read_line(timeout=0.3) is None, "no motion reply while paused"
        assert sim.joints() == held
        assert 0.0 < held[0] < 30.0

        assert client.command("$Continue") == "#Continue,0"
        assert client.read_line(timeout=5.0) == "#Execute,0"
        assert sim.joints() == pytest.approx([30, 0, 0, 0, -90, 0], abs=1e-9)
        motion = sim.last_motion()
        assert motion["kind"] == "Go"
        assert motion["ljm"] and motion["sync"] and not motion["cp"]
        assert motion["target"] == pytest.approx([30, 0, 0, 0, -90, 0])
        state = sim.state()
        assert state["motors_on"] and not state["moving"] and state["speed"] == 20
        assert state["accel"] == (50, 50)


def test_a_new_session_can_continue_a_lost_sessions_paused_motion():
    with Simulator(time_scale=0.25) as sim:
        lost = logged_in(sim)
        assert lost.execute("Motor On") == "#Execute,0"
        lost.send_line('$Execute,"Go AglToPls(30,0,0,0,-90,0)"')
        assert until(sim.is_moving)
        assert lost.command("$Pause") == "#Pause,0"
        lost.close()
        assert until(lambda: not sim.is_command_client_connected())
        successor = logged_in(sim)  # the login passes while the motion runs
        assert successor.execute("Print Power") == "!Execute,21"
        assert successor.command("$Continue") == "#Continue,0"
        assert until(lambda: not sim.is_moving(), timeout=10.0)
        # The motion's reply belonged to the lost session: the successor hears nothing of it.
        assert successor.read_line(timeout=0.3) is None
        assert successor.execute("Print Power") == '#Execute,"0"'


def test_emergency_stop_aborts_and_latches(sim):
    client = logged_in(sim)
    for statement in ("Motor On", "Speed 1"):
        assert client.execute(statement) == "#Execute,0"
    client.send_line('$Execute,"Go AglToPls(60,0,0,0,-90,0)"')
    assert until(sim.is_moving)
    sim.set_emergency_stop(True)
    assert client.read_line(timeout=1.0) == "!Execute,99"
    assert sim.is_emergency_stopped() and not sim.are_motors_on() and not sim.is_moving()
    assert sim.system_error() == _cell_simulator.EMERGENCY_STOP_ERROR
    assert client.print("EStopOn,CtrlInfo(1)") == "True,256"
    assert client.execute("Motor On") == "!Execute,20"
    assert client.execute("Reset") == "!Execute,20"
    sim.set_emergency_stop(False)
    assert client.execute("Reset") == "#Execute,0"
    assert client.execute("Motor On") == "#Execute,0"
    assert sim.system_error() == 0


def read_packets(sock, seconds):
    """Packets (CR-terminated) received within the given time."""
    deadline = time.monotonic() + seconds
    data = b""
    while time.monotonic() < deadline:
        sock.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return [p.decode() for p in data.split(b"\r")[:-1]]


def test_telemetry_rate_format_and_modes():
    with Simulator(time_scale=FAST, rate_hz=200.0) as sim:
        port = sim.telemetry_port
        reader = socket.create_connection(("127.0.0.1", port), timeout=2.0)
        read_packets(reader, 0.05)
        packets = read_packets(reader, 0.5)
        samples = [p for p in packets if p.startswith("X=")]
        statuses = [p for p in packets if p.startswith("STAT=")]
        assert 90 <= len(samples) <= 110
        assert 8 <= len(statuses) <= 12
        keys = [field.split("=")[0] for field in samples[-1].split(";")]
        assert keys == ["X", "Y", "Z", "U", "V", "W"] + [f"J{i}agl" for i in range(1, 7)]
        values = dict(field.split("=") for field in samples[-1].split(";"))
        assert float(values["J5agl"]) == pytest.approx(sim.joints()[4])
        assert statuses[-1] == "STAT=0;SYSERR=0;CTRLDEV=26;ROBOTINFO=0;CTRLINFO=0"

        sim.set_telemetry_mode("garbled")
        garbled = [p for p in read_packets(reader, 0.2) if "??" in p]
        assert garbled and all(v == "??" for v in dict(f.split("=") for f in garbled[-1].split(";")).values())

        sim.set_telemetry_mode("silent")
        read_packets(reader, 0.1)  # what was already in flight
        assert read_packets(reader, 0.3) == []
        assert sim.telemetry_client_count() == 1

        sim.set_telemetry_mode("closed")
        reader.settimeout(1.0)
        assert reader.recv(65536) == b""
        assert sim.telemetry_mode() == "closed"

        sim.set_telemetry_mode("refused")
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=1.0)

        sim.set_telemetry_mode("normal")
        back = socket.create_connection(("127.0.0.1", port), timeout=2.0)
        assert any(p.startswith("X=") for p in read_packets(back, 0.2))
        with pytest.raises(ValueError):
            sim.set_telemetry_mode("loud")


def test_points_joints_and_tools(sim):
    client = logged_in(sim)
    sim.set_point("P3", [320.5, -40, 450, 0, 0, 180])
    assert client.print("CX(P3),CY(P(3)),CZ(P3)") == "320.5,-40,450"
    sim.set_joints([10, 0, 0, 0, -90, 0])
    assert client.print("Agl(1),Agl(5)") == "10,-90"
    with pytest.raises(IndexError):
        sim.set_joints([0, 0, 0, 0, -90, 999])
    with pytest.raises(ValueError):
        sim.set_point("not a name", [0, 0, 0, 0, 0, 0])
    assert client.execute("TLSet 2, XY(0,0,50,0,0,0)") == "#Execute,0"
    assert client.execute("Tool 2") == "#Execute,0"
    assert sim.tool() == 2
    assert sim.tool_definition(2) == [0, 0, 50, 0, 0, 0]
    assert sim.tool_definition(3) is None
    assert sim.pose()[2] == pytest.approx(float(client.print("CZ(Here)")))
    assert client.execute("Tool 5") == "!Execute,14"
    assert "Tool 5" in sim.last_refusal()


def test_a_reboot_keeps_the_ports_and_the_connector_comes_back():
    import _cell_command_link  # noqa: F401  (registers the types the station hands out)
    import _cell_telemetry  # noqa: F401
    from _cell_station import CellStation

    with Simulator(time_scale=FAST) as sim:
        ports = (sim.command_port, sim.telemetry_port)
        station = CellStation("127.0.0.1", *ports)
        try:
            control = station.get_control_interface()
            receive = station.get_receive_interface()
            control.motor_on()
            sim.stop()
            assert until(lambda: receive.sample_age_seconds() > 0.05, timeout=3.0)
            sim.start()
            assert (sim.command_port, sim.telemetry_port) == ports
            with pytest.raises(RuntimeError):
                control.get_power_mode()  # the old connection went with the reboot
            control.connect("127.0.0.1", ports[0], "")
            assert sim.are_motors_on(), "the controller's state outlives a reboot"
            assert control.get_power_mode().name == "LOW"
            assert until(lambda: receive.sample_age_seconds() < 0.1, timeout=10.0), \
                "the telemetry receiver reconnects by itself"
        finally:
            station.disconnect()


def test_telemetry_faults_raw_lines_and_status_only(sim):
    reader = socket.create_connection(("127.0.0.1", sim.telemetry_port), timeout=2.0)
    assert until(lambda: sim.telemetry_client_count() == 1)
    sim.set_telemetry_mode("silent")
    read_packets(reader, 0.1)
    sample = b"X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;J6agl=6\r"
    sim.send_telemetry_raw(sample[:20])
    sim.send_telemetry_raw(sample[20:] + b"no carriage return")
    reader.settimeout(2.0)
    received = b""
    while not received.endswith(b"no carriage return"):
        received += reader.recv(65536)
    assert received == sample + b"no carriage return", "the bytes exactly, split where asked"

    sim.set_telemetry_mode("status-only")
    packets = read_packets(reader, 0.3)[1:]  # the first completes the line left open above
    assert len(packets) >= 10 and all(p.startswith("STAT=") for p in packets)
    sim.set_status_override("stat", 77)
    sim.set_system_error(4021)
    assert until(lambda: read_packets(reader, 0.05)[-1:] == [
        "STAT=77;SYSERR=4021;CTRLDEV=26;ROBOTINFO=1;CTRLINFO=0"])
    with pytest.raises(ValueError):
        sim.set_status_override("status", 1)


def test_scripts_apply_the_hooks_and_name_the_failing_line(sim):
    client = logged_in(sim)
    sim.run_script('# comments and blank lines are skipped\n\n'
                   'answer "Print Tool" "#Execute,\\"9\\"" times=1\n'
                   'input 3 on\n'
                   'strict-execute off\n')
    assert client.print("Tool") == "9"
    assert client.print("Tool,Sw(3)") == "0,1"
    with pytest.raises(ValueError, match=r'^line 2: unknown directive "explode"'):
        sim.run_script("clear-log\nexplode now\n")
    with pytest.raises(ValueError, match=r"^line 1: input takes 2 argument"):
        sim.run_script("input 3")
    # Delays up to a year, as in Python (scripts stopped at 1e6 s once).
    sim.run_script("clear-rules\ndelay never-sent 2e6 times=1")
    sim.delay_reply("never-sent", 2e6, times=1)
    # A byte-order mark is not part of the first directive.
    sim.run_script("\ufeffinput 4 on")
    assert sim.input(4)



@pytest.mark.parametrize("rule, replies, stopped", [
    (lambda sim: None, ["#Abort,0", "!Execute,99"], True),
    (lambda sim: sim.delay_reply("$Abort", 0.3), ["!Execute,99", "#Abort,0"], True),
    (lambda sim: sim.go_silent("$Abort"), [None, None], False),
    (lambda sim: sim.answer("$Abort", "#Abort,0"), ["#Abort,0", None], False),
    (lambda sim: sim.run_script('drop "$Abort"'), [None, None], False),
], ids=["plain", "delayed", "silent", "answered", "dropped"])
def test_abort_goes_through_the_reply_rules_like_any_command(rule, replies, stopped):
    with Simulator(time_scale=0.25) as sim:
        client = logged_in(sim)
        assert client.execute("Motor On") == "#Execute,0"
        assert client.execute("Speed 1") == "#Execute,0"
        client.send_line('$Execute,"Go JA(60,0,0,0,-90,0)"')
        assert until(lambda: sim.joints()[0] > 0.1)
        rule(sim)
        client.send_line("$Abort")
        # A reply that is due may take a while; silence needs only a short look.
        assert [client.read_line(timeout=2.0 if r else 0.15) for r in replies] == replies
        assert sim.is_moving() != stopped
        assert sim.wait_for_command("$Abort", timeout=0) == "$Abort"


# Options and counts out of their range: one clear error, the same in C++, Python and scripts.
BAD_OPTIONS = [
    (dict(time_scale=1e300), ValueError, "time scale"),
    (dict(time_scale=math.nan), ValueError, "time scale"),
    (dict(rate_hz=1e9), ValueError, "telemetry rate"),
    (dict(login_timeout=1e300), ValueError, "login_timeout"),
    (dict(log_capacity=-1), ValueError, "capacity"),  # a TypeError of the conversion once
    (dict(log_capacity=10 ** 8), ValueError, "capacity"),
    (dict(host=""), ValueError, "host"),
    (dict(write_timeout=-1), ValueError, "write_timeout"),
    (dict(write_timeout=math.nan), ValueError, "write_timeout"),
]


@pytest.mark.parametrize("options, kind, message", BAD_OPTIONS)
def test_options_out_of_range_are_refused_clearly(options, kind, message):
    with pytest.raises(kind, match=message):
        Simulator(**options)


BAD_CALLS = [
    (lambda s: s.go_silent("x", times=-1), ValueError),    # silently never applied once
    (lambda s: s.run_script('silent "x" times=-1'), ValueError),
    (lambda s: s.set_log_capacity(-1), ValueError),
    (lambda s: s.run_script("log-capacity -1"), ValueError),
    (lambda s: s.set_system_error(-5), IndexError),        # "#GetStatus,...,-005" once
    (lambda s: s.set_system_error(10000), IndexError),
    (lambda s: s.fail_motion(-1), IndexError),
    (lambda s: s.set_point("P1", [math.nan, 0, 0, 0, 0, 0]), ValueError),
    (lambda s: s.set_point("P1", [2e6, 0, 0, 0, 0, 0]), ValueError),
    (lambda s: s.set_joint_point("P1", [math.inf, 0, 0, 0, 0, 0]), ValueError),
    (lambda s: s.set_joints([math.nan, 0, 0, 0, -90, 0]), IndexError),
    (lambda s: s.delay_reply("x", 1e300), ValueError),
    (lambda s: s.run_script("delay x 4e7"), ValueError),    # beyond a year, as in Python
    (lambda s: s.run_script("fail-motion 99"), ValueError),  # answered "ok" with nothing running
    # Bounds on memory: each grew without one once.
    (lambda s: s.set_log_capacity(10 ** 8), ValueError),     # empty lines took 300 MB
    (lambda s: s.run_script("log-capacity 100000000"), ValueError),
    (lambda s: [s.set_point(f"P{n}", [300, 0, 400, 0, 0, 180]) for n in range(1000)]
     + [s.set_point("spare", [300, 0, 400, 0, 0, 180])], ValueError),  # a million points stayed
    (lambda s: [s.go_silent(f"never {n}", times=1) for n in range(1001)], ValueError),
]


@pytest.mark.parametrize("call, kind", BAD_CALLS)
def test_hostile_hook_arguments_are_refused_and_change_nothing(sim, call, kind):
    before = sim.state()
    with pytest.raises(kind):
        call(sim)
    assert sim.state() == before
    assert sim.log_capacity() == 10000


def test_point_names_are_one_name_however_spelt(sim):
    client = logged_in(sim)
    sim.set_point("p(07)", [301, 0, 400, 0, 0, 180])
    sim.set_point("home_A", [302, 0, 400, 0, 0, 180])
    assert client.print("CX(P7),CX(P07),CX(P( 7 )),CX(HOME_a)") == "301,301,301,302"
    assert client.execute("P0012 = XY(303, 0, 400, 0, 0, 180)") == "#Execute,0"
    assert client.print("CX(P(12))") == "303"
    assert client.execute("P1234567 = XY(303, 0, 400, 0, 0, 180)") == "!Execute,15"
    assert client.execute("P1000 = XY(303, 0, 400, 0, 0, 180)") == "!Execute,15", "P0..P999"


def test_a_logout_starts_the_login_time_out_again():
    with Simulator(time_scale=FAST, login_timeout=0.3) as sim:
        client = Client(sim.command_port)
        try:
            assert client.command("$Login") == "#Login,0"
            time.sleep(0.4)  # logged in: the time-out does not apply
            assert client.command("$Logout") == "#Logout,0"
            started = time.monotonic()
            assert client.recv_once(timeout=3) == b"", "a logged-out client held the port"
            assert 0.25 < time.monotonic() - started < 2.0
        finally:
            client.close()


@pytest.mark.parametrize("option", ["login_timeout", "idle_timeout"])
def test_a_time_out_below_a_millisecond_is_a_limit_not_none(option):
    with Simulator(time_scale=FAST, **{option: 0.0004}) as sim:
        client = Client(sim.command_port)
        try:
            assert client.closed_by_peer(timeout=3), "0.4 ms rounded to no limit once"
        finally:
            client.close()


def test_the_control_channel_serves_several_clients_and_says_what_it_did():
    with Simulator(time_scale=FAST, control_port=0) as sim:
        assert sim.control_port > 0

        def steer(connection, line):
            connection.sendall(line.encode() + b"\n")
            return connection.makefile("rb").readline().decode().rstrip("\n")

        with socket.create_connection(("127.0.0.1", sim.control_port), timeout=5) as first, \
                socket.create_connection(("127.0.0.1", sim.control_port), timeout=5) as second:
            assert steer(second, "fail-motion 99") == "error: no motion is running"
            assert steer(first, "drop-command-connection") == \
                "error: no command client is connected"
            assert steer(first, "input 3 on") == "ok" and sim.input(3)
            client = logged_in(sim)
            assert client.execute("Motor On") == "#Execute,0"
            client.send_line('$Execute,"Go XY(300, 200, 300, 0, 0, 180)"')
            assert until(sim.is_moving)
            assert steer(second, "fail-motion 99") == "ok: the motion ended with 99"
            assert client.read_line() == "!Execute,99"
            assert steer(first, 'silent "^(.)*$" regex') == "ok"
            # One answer line per directive, whatever it echoes: an escaped line break once
            # split an error in two, and every later answer was read one late.
            assert steer(first, '"ex\\nplode" now') == 'error: unknown directive "ex?plode"'
            assert steer(first, "clear-rules") == "ok"
