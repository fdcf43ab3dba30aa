"""Hostile arguments and hostile peers: clear errors, nothing sent, memory bounded."""

import gc
import math
import socket
import threading
import time

import pytest

import _cell_command_link
import _cell_telemetry
from _cell_command_link import CellCommandLink, EpsonPowerMode
from conftest import wait_until

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
