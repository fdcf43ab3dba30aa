"""Hostile arguments and hostile peers: clear errors, nothing sent, memory bounded."""

import gc
import math
import re
import socket
import threading
import time

import pytest

import _cell_command_link
import _cell_telemetry
from _cell_command_link import CellCommandLink, EpsonPowerMode
from conftest import wait_until
from test_simulator import Client

NAN, INF = math.nan, math.inf
HUGE = "P" * (10 << 20)
POSE = [300.0, 0.0, 500.0, 0.0, 0.0, 180.0]


def go(destination="P1", search=None, parallel=None, flag=None, ljm=False, speed=None,
       accel=None, decel=None):
    return lambda link: link.go(destination, False, ljm, flag, search, parallel, False, speed,
                                accel, decel)


def move(destination="P1", search=None, parallel=None, speed=None, accel=None):
    return lambda link: link.move(destination, False, False, False, search, parallel, False,
                                  speed, accel)


HOSTILE_CALLS = [
    # Texts copied into the wire must not end the statement or the line, nor hide a NUL.
    (go('P1" \r\n$Logout'), ValueError), (go("P1\n"), ValueError), (go("P1\r"), ValueError),
    (go("P1\x00"), ValueError), (go(HUGE), ValueError), (go(""), ValueError),
    (go(search='Sw(1)"'), ValueError), (go(search="\x00"), ValueError),
    (go(parallel="On 1\n"), ValueError), (go(parallel=HUGE), ValueError),
    (move('P2"'), ValueError), (move("P2\x00"), ValueError), (move(HUGE), ValueError),
    (move(search="\r"), ValueError), (move(parallel='"'), ValueError),
    (lambda l: l.tl_set(1, 'XY(1,2,3,4,5,6)"'), ValueError),
    (lambda l: l.tl_set(1, "P1\r\n"), ValueError), (lambda l: l.tl_set(1, "P\x001"), ValueError),
    (lambda l: l.tl_set(1, HUGE), ValueError),
    # Numbers: non-finite, out of range, wrong types.
    (go(speed=NAN), TypeError), (go(speed=2 ** 40), TypeError), (go(speed=0), ValueError),
    (go(speed=101), ValueError), (go(accel=-1), ValueError), (go(flag=1), ValueError),
    (go(flag=2 ** 31), TypeError), (go(destination=None), TypeError), (go(destination=1), TypeError),
    (move(speed=NAN), ValueError), (move(speed=INF), ValueError), (move(accel=-INF), ValueError),
    (move(speed=-0.0), ValueError), (move(speed="fast"), TypeError),
    (lambda l: l.set_tcp_offset([NAN] * 6), ValueError),
    (lambda l: l.set_tcp_offset([0, 0, INF, 0, 0, 0]), ValueError),
    (lambda l: l.set_tcp_offset([0.0] * 1_000_000), ValueError),
    (lambda l: l.set_tcp_offset(["x"] * 6), TypeError),
    (lambda l: l.set_tcp_offset(None), TypeError),
    (lambda l: l.inverse_kinematics([NAN] * 6), ValueError),
    (lambda l: l.inverse_kinematics(POSE, True, [0, 0, 0, 0, 0, INF]), ValueError),
    (lambda l: l.inverse_kinematics(POSE, False, [0.0] * 6), ValueError),
    (lambda l: l.inverse_kinematics(POSE[:5]), ValueError),
    (lambda l: l.add_safety_cuboid([0, 0, NAN], [1, 1, 1]), ValueError),
    (lambda l: l.add_safety_cuboid([0, 0, 0], [INF, 1, 1]), ValueError),
    (lambda l: l.add_safety_cuboid([1, 1, 1], [0, 0, 0]), ValueError),
    (lambda l: l.add_safety_cuboid([0, 0], [1, 1, 1]), ValueError),
    (lambda l: l.set_tool(16), IndexError), (lambda l: l.set_tool(-1), IndexError),
    (lambda l: l.set_tool(2 ** 63), TypeError), (lambda l: l.tl_clear(0), IndexError),
    (lambda l: l.is_tool_defined(99), IndexError), (lambda l: l.get_tool_definition(-5), IndexError),
    (lambda l: l.tl_set(1.5, "P1"), TypeError),
    (lambda l: l.set_power_mode(1), TypeError), (lambda l: l.set_power_mode(None), TypeError),
    (lambda l: l.set_power_mode(EpsonPowerMode(7)), ValueError),
]


@pytest.mark.parametrize("call, kind", HOSTILE_CALLS)
def test_hostile_arguments_are_refused_before_anything_is_sent(sim, link, call, kind):
    sim.clear_log()
    with pytest.raises(kind) as caught:
        call(link)
    assert str(caught.value)  # a clear message, never an empty one
    assert sim.command_log() == []
    assert link.is_logged_in()  # the session is untouched


@pytest.mark.parametrize("host, port, password, kind", [
    ("127.0.0.1\x00evil", 5000, "", ValueError),
    ("127.0.0.1", 5000, "pw\r\n$Logout", ValueError),
    ("127.0.0.1", 5000, "\x00", ValueError),
    ("127.0.0.1", 5000, HUGE, ValueError),
    ("127.0.0.1", 65536, "", TypeError),
    ("127.0.0.1", -1, "", TypeError),
    (None, 5000, "", TypeError),
    ("a" * 70 + ".invalid", 5000, "", RuntimeError),  # refused by the resolver, locally
])
def test_hostile_connect_arguments_keep_the_open_session(sim, link, host, port, password, kind):
    sim.clear_log()
    with pytest.raises(kind):
        link.connect(host, port, password)
    assert sim.command_log() == []
    assert link.is_logged_in()  # refused before the old connection was touched


def test_hostile_station_and_receiver_arguments():
    import _cell_station
    for args in [("127.0.0.1\x00x", 1, 2), ("127.0.0.1", 70000, 2), ("127.0.0.1", 1, -2)]:
        with pytest.raises((ValueError, TypeError)):
            _cell_station.CellStation(*args)
    receiver = _cell_telemetry.EthernetReceiveInterface()
    with pytest.raises(TypeError):
        receiver.connect("127.0.0.1", 70000)
    with pytest.raises(RuntimeError):
        receiver.connect("a" * 70 + ".invalid", 2000)
    assert not receiver.is_connected()


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise AssertionError("no VmRSS")


class TestHostilePeers:
    def test_garbage_and_endless_replies_fail_cleanly_and_reconnect_works(self, sim, link):
        sim.answer("Print Tool", "\x01\x02garbage without a protocol", times=1)
        with pytest.raises(RuntimeError, match="Unexpected Epson response while waiting for #Execute"):
            link.get_tool()
        assert link.is_connected()  # a bad line is not a broken connection
        sim.answer("Print Tool", "#Execute,\"" + "9" * (2 << 20), raw=True, times=1)
        before = rss_mib()
        with pytest.raises(RuntimeError, match="reply exceeds 1048576 bytes without a line end"):
            link.get_tool()
        assert not link.is_connected()
        assert rss_mib() - before < 64
        link.connect("127.0.0.1", sim.command_port)
        assert link.get_tool() == 0

    def test_unclosed_quote_lines_cannot_grow_a_reply_without_bound(self, sim, link):
        sim.answer("Print Power", "#Execute,\"open\n" + "\n".join(["x" * 1000] * 1200), times=1)
        with pytest.raises(RuntimeError, match="reply exceeds 1048576 bytes"):
            link.get_power_mode()
        link.connect("127.0.0.1", sim.command_port)
        assert link.get_power_mode() in (EpsonPowerMode.LOW, EpsonPowerMode.HIGH)

    def test_telemetry_flood_without_line_ends_keeps_memory_bounded(self):
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(4)
        port = server.getsockname()[1]
        stop = threading.Event()
        accepted = []
        sample = (b"X=400;Y=0;Z=600;U=0;V=90;W=0;J1agl=0;J2agl=10;J3agl=-20;J4agl=0;"
                  b"J5agl=100;J6agl=0\r")

        def serve():
            server.settimeout(0.2)
            while not stop.is_set():
                try:
                    client, _ = server.accept()
                except OSError:
                    continue
                accepted.append(client)
                try:
                    client.sendall(sample)
                    chunk = b"Q" * 65536
                    for _ in range(160):  # 10 MiB without a carriage return
                        if stop.is_set():
                            break
                        client.sendall(chunk)
                except OSError:
                    pass  # the receiver gave the connection up, as it should

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        receiver = _cell_telemetry.EthernetReceiveInterface()
        try:
            gc.collect()
            before = rss_mib()
            receiver.connect("127.0.0.1", port)
            assert receiver.get_sample().joints[1] == 10.0
            # The flood is cut at 64 KiB: the receiver drops the connection and comes back.
            assert wait_until(lambda: len(accepted) >= 2, timeout=5)
            assert rss_mib() - before < 32
            assert receiver.has_sample()
        finally:
            receiver.disconnect()
            stop.set()
            thread.join(5)
            server.close()
            for client in accepted:
                client.close()


# ---- The simulator under hostile input: what it answers stays a protocol line, what a client
# can take stays bounded. ----

PRINTABLE_REPLY = re.compile(r'[#!][\x21-\x7e]*(,"[\x20\x21\x23-\x7e]*"|,[0-9]+)?')
NUMBER = re.compile(r"-?[0-9]+(\.[0-9]+)?")


# statements sent after "Motor On" -> the reply expected; each was answered wrongly once.
HOSTILE_STATEMENTS = [
    ("Go Here Till 1", "#Execute,0"),                # a zero-length stop ramp once gave NaN joints
    ("Print Agl(1)", None),                           # ... and every later Print a "NaN"
    ("Print 1e60", "!Execute,15"),                    # printed stack bytes after a quote
    ("Print -1e10", "!Execute,15"),
    ("TLSet 1, XY(0, 0, 2e6, 0, 0, 0)", "!Execute,15"),   # a Tool the TCP could not print
    ("XYLim -1e7, 1, -1, 1, -1, 1", "!Execute,15"),
    ("Print CX(XY(9e8, 0, 0, 0, 0, 0) +X(9e8))", "!Execute,15"),
    ("P007 = XY(300, 0, 400, 0, 0, 180)", "#Execute,0"),  # stored as P7 but looked up as P007
    ("Print CX(P7), CX(P(7)), CX(P007)", '#Execute,"300,300,300"'),
    ("Print TillOn", '#Execute,"1"'),                 # the Go Here Till above stopped on Till
]


def test_hostile_statements_leave_every_number_finite_and_every_reply_framed(sim):
    client = Client(sim.command_port)
    try:
        assert client.command("$Login") == "#Login,0"
        assert client.execute("Motor On") == "#Execute,0"
        for statement, expected in HOSTILE_STATEMENTS:
            reply = client.execute(statement)
            assert reply is not None and PRINTABLE_REPLY.fullmatch(reply), (statement, reply)
            if expected is not None:
                assert reply == expected, statement
        for value in client.execute("Print Agl(1), Agl(2), Agl(6)")[10:-1].split(","):
            assert NUMBER.fullmatch(value), value
        assert all(math.isfinite(j) for j in sim.joints())
        # Command names echoed in an error keep to printable text without the delimiters.
        for name, echo in [("$Fo\x01o", "!Fo?o,11"), ('$A"B', "!A?B,11"), ("X\x7f", "!X?,10")]:
            client.sock.sendall(name.encode() + b"\r\n")
            assert client.read_line() == echo
        assert client.execute("Go XY(300, 0, 400, 0, 0, 180)", timeout=10) == "#Execute,0"
        assert client.execute("Print TillOn") == '#Execute,"0"', "a motion without Till"
    finally:
        client.close()


def test_a_regex_rule_or_wait_over_a_long_line_stays_linear(sim):
    # std::regex recursed once per character: a 60 KB line crashed the process.
    sim.go_silent("^(.)*$", regex=True)
    client = Client(sim.command_port)
    try:
        started = time.monotonic()
        client.send_line("$" + "A" * 60000)
        assert sim.wait_for_command("^(.)*Z$|^\\$A+$", timeout=5, regex=True)
        assert time.monotonic() - started < 2.0
        sim.clear_rules()
        assert client.command("$Login") == "#Login,0"
    finally:
        client.close()
    with pytest.raises(ValueError, match="invalid regular expression"):
        sim.wait_for_command("(a)\\1", timeout=0, regex=True)  # RE2 has no backreferences


def test_lines_before_a_login_cannot_grow_the_log_without_bound(sim):
    line = b"$" + b"L" * 65000 + b"\r\n"
    client = Client(sim.command_port)
    try:
        gc.collect()
        before = rss_mib()
        for _ in range(2000):
            client.sock.sendall(line)
        client.send_line("$Login")
        replies = [client.read_line(timeout=10) for _ in range(2001)]
        assert replies[-1] == "#Login,0" and set(replies[:-1]) == {"!" + "L" * 64 + ",11"}
        assert sum(len(entry) for entry in sim.command_log()) <= 4 << 20
        assert rss_mib() - before < 48  # 130 MB before the log was bounded in bytes

        # Empty lines cost memory too: the bound counts each line's bookkeeping, whatever the
        # capacity in lines (they took 300 MB once).
        sim.set_log_capacity(10_000_000)
        for _ in range(10):
            client.sock.sendall(b"\r\n" * 10_000)
            assert [client.read_line(timeout=10) for _ in range(10_000)][-1] == "!,10"
        assert len(sim.command_log()) <= (4 << 20) // 64
    finally:
        client.close()


def test_a_client_that_pipelines_and_reads_gets_every_reply(sim):
    count = 100000  # 2.9 MB of replies: beyond the 1 MiB a stalled client may leave
    client = Client(sim.command_port)
    try:
        assert client.command("$Login") == "#Login,0"
        received = []

        def reader():
            while len(received) < count:
                line = client.read_line(timeout=10)
                if line is None:
                    return
                received.append(line)

        thread = threading.Thread(target=reader)
        thread.start()
        client.sock.sendall(b"$GetStatus\r\n" * count)
        thread.join(60)
        assert len(received) == count, "the client was dropped after %d replies" % len(received)
        assert sim.is_command_client_connected()
    finally:
        client.close()


def test_delayed_replies_stop_the_reading_instead_of_piling_up(sim):
    sim.delay_reply("", 30.0)
    client = Client(sim.command_port)
    try:
        client.sock.sendall(b"$Login\r\n")
        assert sim.wait_for_command("$Login")
        client.sock.settimeout(0.5)
        sent = 0
        try:
            while sent < 20 << 20:  # the simulator stops reading long before
                sent += client.sock.send(b'$Execute,"Print SysErr"\r\n' * 1000)
        except (socket.timeout, BlockingIOError):
            pass
        time.sleep(0.2)  # what the kernel still buffers may arrive; none of it is read
        logged = len(sim.command_log())
        assert logged < 10000, "%d lines read with replies held back" % logged
        assert sim.is_command_client_connected()
    finally:
        client.close()


def test_telemetry_clients_are_bounded_per_port(sim):
    clients = [socket.create_connection(("127.0.0.1", sim.telemetry_port), timeout=5)
               for _ in range(70)]
    try:
        assert wait_until(lambda: sim.telemetry_client_count() == 64)
        closed = 0
        for client in clients:
            client.settimeout(2)
            data = client.recv(65536)
            closed += data == b""
        assert closed == 6 and sim.telemetry_client_count() == 64
    finally:
        for client in clients:
            client.close()
