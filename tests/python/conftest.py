import signal
import socket
import threading
import time

import pytest

import _cell_simulator
import epson_cell
from typecheck import Site


@pytest.fixture
def sim():
    """A simulator on free loopback ports, with fast motions and the points the tests use."""
    simulator = _cell_simulator.Simulator(time_scale=0.02)
    simulator.start()
    yield simulator
    simulator.stop()


@pytest.fixture
def cell(sim):
    """An ``epson_cell.Cell`` open on ``sim``."""
    with epson_cell.connect("127.0.0.1", command_port=sim.command_port,
                            telemetry_port=sim.telemetry_port) as opened:
        yield opened


@pytest.fixture
def link(sim):
    import _cell_command_link

    control = _cell_command_link.CellCommandLink()
    control.connect("127.0.0.1", sim.command_port)
    yield control
    control.disconnect()


@pytest.fixture
def default_sigint():
    """Python's own Ctrl-C handler for one test, whatever the suite was started with.

    A run started as a background job (nohup, cron, some CI runners) inherits SIGINT ignored, and
    then neither a real Ctrl-C nor `_thread.interrupt_main()` reaches the test at all.
    """
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


# Put first in a Python child that a test interrupts: such a child inherits SIGINT ignored too.
DEFAULT_SIGINT_PRELUDE = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"


@pytest.fixture
def refusing_port():
    """A loopback port that refuses connections: bound, never listening."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    yield sock.getsockname()[1]
    sock.close()


class Spinner:
    """Counts in a Python thread, to show whether other threads hold the interpreter lock."""

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1
            time.sleep(0.001)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)


@pytest.fixture
def spinner():
    return Spinner


def wait_until(predicate, timeout=5.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


@pytest.fixture(scope="session")
def typecheck_site(tmp_path_factory):
    """One venv laid out as an install, shared by the typing tests: building it is slow."""
    return Site(tmp_path_factory.mktemp("typecheck"))
