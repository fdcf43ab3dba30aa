"""The epson-sim executable: options, what it serves, and how it stops."""

import os
import pathlib
import resource
import re
import selectors
import signal
import socket
import subprocess
import time

import pytest

import _cell_command_link
import _cell_simulator

EXECUTABLE = pathlib.Path(_cell_simulator.__file__).resolve().parent.parent / "sim" / "epson-sim"

pytestmark = pytest.mark.skipif(
    not EXECUTABLE.is_file(), reason=f"epson-sim is not built next to the modules ({EXECUTABLE})"
)

BANNER = re.compile(
    r"epson-sim: Remote Ethernet commands on 127\.0\.0\.1:(\d+), "
    r"telemetry on 127\.0\.0\.1:(\d+) \((\d+) Hz\), time scale ([\d.]+), (.+)$"
)


_unread = {}  # bytes read past a line end, by process id


def read_line(process, timeout=10.0):
    """One line of the process's standard output, or None when none came in time.

    Reads the pipe itself: a buffered reader could swallow a second line that came with the
    first and leave the selector waiting for bytes that already arrived."""
    buffer = _unread.pop(process.pid, b"")
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"\n" not in buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                _unread[process.pid] = buffer
                return None
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                return None
            buffer += chunk
    line, _, _unread[process.pid] = buffer.partition(b"\n")
    return line.decode()


@pytest.fixture
def launch():
    started = []

    def start(*arguments):
        process = subprocess.Popen(
            [str(EXECUTABLE), *arguments],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        started.append(process)
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
        process.wait(10)
        process.stdout.close()
        process.stderr.close()


# Every signal that would end the process stops it in order, with its line (SIGHUP, SIGQUIT
# and SIGUSR1 once ended it without).
STOP_SIGNALS = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1]


@pytest.mark.parametrize("stop_signal", STOP_SIGNALS, ids=[s.name for s in STOP_SIGNALS])
def test_serves_commands_and_telemetry_on_free_ports_until_signalled(launch, stop_signal):
    process = launch(
        "--command-port", "0", "--telemetry-port", "0", "--password", "pw",
        "--time-scale", "0.1", "--rate", "50",
    )
    banner = read_line(process)
    assert banner is not None, "no banner within 10 s"
    match = BANNER.match(banner)
    assert match, banner
    command_port, telemetry_port = int(match[1]), int(match[2])
    assert command_port > 0 and telemetry_port > 0 and command_port != telemetry_port
    assert match.group(3, 4, 5) == ("50", "0.1", "password required")

    link = _cell_command_link.CellCommandLink()
    with pytest.raises(RuntimeError, match=r"!Login,"):
        link.connect("127.0.0.1", command_port, "wrong")
    link.connect("127.0.0.1", command_port, "pw")
    assert link.get_power_mode() == _cell_command_link.EpsonPowerMode.LOW
    link.disconnect()

    with socket.create_connection(("127.0.0.1", telemetry_port), timeout=5) as stream:
        received = b""
        deadline = time.monotonic() + 5
        while b"J6agl=" not in received and time.monotonic() < deadline:
            received += stream.recv(4096)
        assert b"J1agl=" in received and b"J6agl=" in received, received[:200]

    process.send_signal(stop_signal)
    assert process.wait(5) == 0
    assert process.stdout.read() == f"epson-sim: stopped ({stop_signal.name})\n"
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", command_port), timeout=1)


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--command-port", "70000"], 'invalid port "70000"'),
        (["--telemetry-port", "12x"], 'invalid port "12x"'),
        (["--time-scale", "0"], 'invalid time scale "0"'),
        (["--rate", "-5"], 'invalid rate "-5"'),
        (["--rate"], "missing value for --rate"),
        (["--verbose", "1"], "unknown option --verbose"),
        # Ranges the simulator checks, with the same words as its Python options.
        (["--time-scale", "1e300"], "time scale must be between 0.0001 and 10000"),
        (["--rate", "1e9"], "telemetry rate must be between 0.1 and 10000 Hz"),
        (["--login-timeout", "1e12"], 'invalid login time-out "1e12"'),
        (["--control-idle-timeout", "-1"], 'invalid control idle time-out "-1"'),
        (["--write-timeout", "-1"], 'invalid write time-out "-1"'),
    ],
)
def test_bad_options_exit_2_with_the_reason_and_the_usage(launch, arguments, message):
    process = launch(*arguments)
    assert process.wait(10) == 2
    error = process.stderr.read()
    assert error.startswith(f"epson-sim: {message}\nusage: epson-sim "), error
    assert process.stdout.read() == ""


def test_help_prints_the_usage_and_the_fault_directives(launch):
    process = launch("--help")
    assert process.wait(10) == 0
    usage = process.stdout.read()
    assert usage.startswith("usage: epson-sim [--command-port N]")
    for directive in ("--rules", "--control-port", "execute-then-drop", "fail-motion",
                      "telemetry-raw", "command-connections"):
        assert directive in usage


def test_a_taken_port_is_reported_and_exits_1(launch):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        process = launch("--command-port", str(taken.getsockname()[1]), "--telemetry-port", "0")
        assert process.wait(10) == 1
        error = process.stderr.read()
    assert error.startswith("epson-sim: cannot listen for commands on 127.0.0.1:"), error
    assert process.stdout.read() == ""


def test_a_rules_file_and_the_control_channel_drive_faults(launch, tmp_path):
    rules = tmp_path / "faults.rules"
    # Written by an editor that starts UTF-8 files with a byte-order mark.
    rules.write_text('\ufeffanswer "Print Power" "#Execute,\\"1\\"" times=1\n'
                     "# an error pending\n"
                     "system-error 4021\n", encoding="utf-8")
    process = launch("--command-port", "0", "--telemetry-port", "0", "--rules", str(rules),
                     "--control-port", "0", "--time-scale", "0.1")
    match = BANNER.match(read_line(process) or "")
    assert match, "no banner"
    control_line = read_line(process) or ""
    control_match = re.fullmatch(r"epson-sim: control on 127\.0\.0\.1:(\d+)", control_line)
    assert control_match, control_line

    with socket.create_connection(("127.0.0.1", int(match[1])), timeout=5) as command, \
            socket.create_connection(("127.0.0.1", int(control_match[1])), timeout=5) as control:
        replies = command.makefile("rb")
        directives = control.makefile("rb")

        def ask(line):
            command.sendall(line.encode() + b"\r\n")
            return replies.readline().decode().rstrip("\r\n")

        def steer(line):
            control.sendall(line.encode() + b"\n")
            return directives.readline().decode().rstrip("\n")

        assert ask("$Login") == "#Login,0"
        assert ask('$Execute,"Print Power,SysErr"') == '#Execute,"1"', "the rules file's answer"
        assert ask('$Execute,"Print Power,SysErr"') == '#Execute,"0,4021"'
        assert steer("emergency-stop on") == "ok"
        assert ask('$Execute,"Print EStopOn"') == '#Execute,"True"'
        assert steer("explode") == 'error: unknown directive "explode"'
        assert steer('drop "Print Tool"') == "ok"
        command.sendall(b'$Execute,"Print Tool"\r\n')
        assert replies.readline() == b"", "the control channel's rule closed the connection"

    process.send_signal(signal.SIGTERM)
    assert process.wait(5) == 0


@pytest.mark.parametrize("name, content, message", [
    ("bad.rules", "coalesce on\nsplit many\n", '{rules}: line 2: not a number: "many"'),
    ("a-directory", None, "cannot read the rules file {rules}: it is a directory"),  # was empty
])
def test_a_bad_rules_file_exits_1_naming_the_line(launch, tmp_path, name, content, message):
    rules = tmp_path / name
    if content is None:
        rules.mkdir()
    else:
        rules.write_text(content)
    process = launch("--command-port", "0", "--telemetry-port", "0", "--rules", str(rules))
    assert process.wait(10) == 1
    assert message.format(rules=rules) in process.stderr.read()



def control_banner(process):
    match = BANNER.match(read_line(process) or "")
    assert match, "no banner"
    line = read_line(process) or ""
    control = re.fullmatch(r"epson-sim: control on (.+):(\d+)", line)
    assert control, line
    return match, control[1], int(control[2])


# The banner names the address bound, not the text given ("--control-host 0" printed "0:PORT").
@pytest.mark.parametrize("host, control_host, connect_to, bound", [
    ("0.0.0.0", None, "127.0.0.1", ["127.0.0.1"]),  # --host does not open the control port
    ("127.0.0.1", "localhost", "localhost", ["127.0.0.1", "::1"]),
    ("::1", "::1", "::1", ["::1"]),
    ("127.0.0.1", "127.1", "127.0.0.1", ["127.0.0.1"]),
], ids=["loopback-by-default", "localhost", "ipv6", "short-form"])
def test_the_control_channel_listens_where_it_is_told_only(launch, host, control_host, connect_to,
                                                           bound):
    if ":" in host and not socket.has_ipv6:
        pytest.skip("no IPv6")
    arguments = ["--command-port", "0", "--telemetry-port", "0", "--host", host,
                 "--control-port", "0", "--control-idle-timeout", "0.3"]
    if control_host:
        arguments += ["--control-host", control_host]
    process = launch(*arguments)
    banner = read_line(process) or ""
    if "cannot" in banner or process.poll() is not None:
        pytest.skip("this host cannot bind " + host)
    line = read_line(process) or ""
    match = re.fullmatch(r"epson-sim: control on (.+):(\d+)", line)
    assert match, line
    assert match[1] in bound
    port = int(match[2])
    clients = [socket.create_connection((connect_to, port), timeout=5) for _ in range(9)]
    try:
        assert clients[8].recv(64) == b"", "a ninth control client is closed at once"
        for client in clients[:8]:
            client.sendall(b"system-error 7\n")
            assert client.recv(64) == b"ok\n"
        started = time.monotonic()
        assert clients[0].recv(64) == b"", "an idle control client is closed"
        assert time.monotonic() - started < 2.0
    finally:
        for client in clients:
            client.close()
    if host == "0.0.0.0":
        outside = [address for address in socket.gethostbyname_ex(socket.gethostname())[2]
                   if not address.startswith("127.")]
        for address in outside[:1]:
            with pytest.raises(OSError):
                socket.create_connection((address, port), timeout=1)
    process.send_signal(signal.SIGTERM)
    assert process.wait(5) == 0


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


def test_spent_one_shot_rules_give_their_memory_back(launch):
    # A process of its own: memory freed by other tests would hide the growth in this one.
    process = launch("--command-port", "0", "--telemetry-port", "0", "--control-port", "0")
    match, _, control_port = control_banner(process)
    with socket.create_connection(("127.0.0.1", int(match[1])), timeout=10) as command, \
            socket.create_connection(("127.0.0.1", control_port), timeout=10) as control:
        replies, answers = command.makefile("rb"), control.makefile("rb")
        command.sendall(b"$Login\r\n")
        assert replies.readline() == b"#Login,0\r\n"
        before = rss_mib(process.pid)
        for round in range(20):
            names = range(round * 1000, round * 1000 + 1000)
            control.sendall(b"".join(b'answer "^\\\\$Execute,\\"Print %d\\"$" "#Execute,0" times=1 '
                                     b"regex\n" % n for n in names))
            assert [answers.readline() for _ in names][-1] == b"ok\n"
            command.sendall(b"".join(b'$Execute,"Print %d"\r\n' % n for n in names))
            assert [replies.readline() for _ in names][-1] == b"#Execute,0\r\n"
        # 20,000 spent regular expressions once stayed in the list, scanned on every line.
        assert rss_mib(process.pid) - before < 16
        command.sendall(b'$Execute,"Print 1"\r\n')
        assert replies.readline() == b'#Execute,"1"\r\n', "no rule is left to apply"
    process.send_signal(signal.SIGTERM)
    assert process.wait(5) == 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_running_out_of_descriptors_backs_off_and_keeps_serving(launch):
    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))

    process = subprocess.Popen(
        [str(EXECUTABLE), "--command-port", "0", "--telemetry-port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=few_descriptors)
    connections = []
    try:
        match = BANNER.match(read_line(process) or "")
        assert match, "no banner"
        command = socket.create_connection(("127.0.0.1", int(match[1])), timeout=5)
        connections.append(command)
        command.sendall(b"$Login\r\n")
        assert command.recv(64) == b"#Login,0\r\n"
        # Telemetry clients until the simulator has no descriptor left for another.
        for _ in range(60):
            connections.append(socket.create_connection(("127.0.0.1", int(match[2])), timeout=5))
        time.sleep(0.3)  # the pending connections reach the full accept loop
        before = cpu_seconds(process.pid)
        time.sleep(1.0)
        used = cpu_seconds(process.pid) - before
        assert used < 0.3, f"{used:.2f} s of CPU in 1 s with the descriptors exhausted"
        command.sendall(b"$GetStatus\r\n")
        assert command.recv(64).startswith(b"#GetStatus,")
    finally:
        for connection in connections:
            connection.close()
        process.kill()
        process.wait(10)
        process.stdout.close()
        process.stderr.close()
