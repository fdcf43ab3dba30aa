// The `_cell_command_link` extension module: the command link for Python.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "cross_module.hpp"
#include "epson/CellCommandLink.hpp"
#include "interruptible.hpp"
#include "typed_results.hpp"

namespace py = pybind11;
using epson::CellCommandLink;
using epson::ConsoleLevel;
using epson::EpsonPowerMode;
using epson::PtpMotionLimits;

using epson::RemoteStatus;
using epson::python::ControllerStatusDict;
using epson::python::RobotStateDict;

namespace {

constexpr const char* kModuleDoc =
    "Provide Epson Remote Ethernet command access.\n\nUse ``CellCommandLink`` for controller "
    "commands and TCP management.\nContinuous telemetry is handled separately by "
    "``EthernetReceiveInterface``.\n";
constexpr const char* kCellCommandLinkDoc =
    "Control an Epson robot through Remote Ethernet.\n\nThe interface owns one command socket, "
    "serializes commands, and exposes both\nnative Epson Tool operations and robot-facing TCP "
    "operations. Native Tool poses\nuse millimetres and ``[U, V, W]`` angles; TCP poses use metres "
    "and\n``[rx, ry, rz]`` Euler-XYZ angles.\n\nAttributes:\n    default_port (int): Default "
    "Remote Ethernet port, ``5000``.\n    default_password (str): Protocol default password, an "
    "empty string.\n\nExamples:\n    >>> control = CellCommandLink()\n    >>> "
    "control.connect(\"192.168.0.1\", password=\"plover\")\n    >>> control.is_logged_in()\n    "
    "True\n    >>> control.disconnect()\n";
constexpr const char* kDefaultPortDoc =
    "Return the default Remote Ethernet command port.\n\nReturns:\n    Port ``5000``.\n";
constexpr const char* kDefaultPasswordDoc =
    "Return the protocol's default password.\n\nReturns:\n    An empty string.\n";
constexpr const char* kInitDoc = "Create a disconnected control interface.";
constexpr const char* kConnectDoc =
    "Connect and log in without turning the motors on.\n\nCall ``motor_on()`` explicitly after "
    "confirming that the physical cell is safe.\n\nArgs:\n    host: Controller hostname or IP "
    "address.\n    port: Remote Ethernet command port.\n    password: Remote Ethernet login "
    "password.\n\nRaises:\n    RuntimeError: If name resolution, connection, or login fails.\n";
constexpr const char* kSetConnectAttemptsDoc =
    "Set how many attempts the next ``connect()`` makes when the connection is lost.\n\n"
    "Three unless set, two seconds apart. One attempt tells at once whether the controller "
    "takes\nthis client, instead of waiting behind another client that holds it.\n\nArgs:\n"
    "    attempts: 1 to 10.\n\nRaises:\n    ValueError: If ``attempts`` is outside 1 to 10.\n";
constexpr const char* kDisconnectDoc =
    "Restore controller state, log out, and close the socket.\n\nSafe to call when already "
    "disconnected.\n\nRaises:\n    RuntimeError: If the socket cannot be closed.\n";
constexpr const char* kIsConnectedDoc =
    "Return whether the command socket is connected.\n\nReturns:\n    ``True`` while the socket is "
    "connected.\n";
constexpr const char* kIsLoggedInDoc =
    "Return whether the Remote Ethernet session is logged in.\n\nReturns:\n    ``True`` after a "
    "successful login and before logout.\n";
constexpr const char* kMotorOnErrorDoc =
    "Return the error from the most recent explicit motor-on attempt.\n\nReturns:\n    An empty "
    "string after success or when no attempt has been made; otherwise\n    the most recent "
    "controller error.\n";
constexpr const char* kIsEmergencyStoppedDoc =
    "Return whether Emergency Stop is active.\n\nReturns:\n    ``True`` while the controller "
    "reports an Emergency Stop.\n\nRaises:\n    RuntimeError: If the session is unavailable or the "
    "response is invalid.\n";
constexpr const char* kGetControllerStatusDoc =
    "Read raw Epson controller status fields.\n\nReturns:\n    A dictionary containing ``stat``, "
    "``system_error``,\n    ``emergency_stopped``, ``safeguard_open``, ``teach_mode``,\n    "
    "``control_device``, ``robot_info``, and ``ctrl_info``.\n\nRaises:\n    RuntimeError: If the "
    "session is unavailable or the response is invalid.\n";
constexpr const char* kResetControllerDoc =
    "Clear the current controller error with SPEL+ ``Reset``.\n\nThis does not release physical "
    "safety devices or turn motors on.\n\nRaises:\n    RuntimeError: If the session is unavailable "
    "or the command is rejected.\n";
constexpr const char* kMotorOnDoc =
    "Turn the Epson robot motors on.\n\nRaises:\n    RuntimeError: If the session is unavailable "
    "or the command is rejected.\n";
constexpr const char* kMotorOffDoc =
    "Turn the Epson robot motors off.\n\nRaises:\n    RuntimeError: If the session is unavailable "
    "or the command is rejected.\n";
constexpr const char* kPauseDoc =
    "Pause active Epson tasks and robot motion.\n\nUses the Remote Ethernet ``$Pause`` command. "
    "The controller accepts it only in\nAuto mode while execution is running.\n\nRaises:\n    "
    "RuntimeError: If the session is unavailable or the command is rejected.\n";
constexpr const char* kContinueMotionDoc =
    "Continue paused Epson tasks and robot motion.\n\nUses the Remote Ethernet ``$Continue`` "
    "command. The controller accepts it only\nin Auto mode while execution is paused.\n\nRaises:\n "
    "   RuntimeError: If the session is unavailable or the command is rejected.\n";
constexpr const char* kAbortMotionDoc =
    "Abort the running Epson motion.\n\nUses the Remote Ethernet ``$Abort`` command, which the "
    "controller accepts while\n``$Execute`` runs. The motion then ends with the controller's "
    "answer, normally an\nerror that ``go()`` or ``move()`` raises as ``MotionAbortedError``. "
    "It goes out at\nonce, even while ``pause()`` or ``continue_motion()`` waits for its reply, "
    "and never\nreaches a motion called after it. A ``go()`` or ``move()`` still waiting for "
    "the\nconnection does not start, and nothing is sent for it. With no motion called\nthe "
    "command is sent on its own when the connection is free.\n\nReturns:\n    bool: Whether "
    "``$Abort`` went beside a motion that may still run;\n    ``False`` when no motion could be "
    "stopped.\n\nRaises:\n    RuntimeError: If the session is unavailable, the "
    "controller rejects the\n        command, or its reply does not come within 5 seconds "
    "(then as\n        ``OutcomeUnknownError``: the abort may have taken effect).\n";
constexpr const char* kGetRemoteStatusDoc =
    "Read the controller's Remote Ethernet status.\n\nUses the ``$GetStatus`` command, which the "
    "controller accepts while ``$Execute``\nruns: during a motion it goes beside the motion like "
    "``pause()``, otherwise\nas an ordinary command.\n\nReturns:\n    RemoteStatus: The status "
    "flags and the error code.\n\nRaises:\n    RuntimeError: If the session is unavailable, the "
    "reply is malformed, or\n        during a motion it does not come within 5 seconds.\n";
constexpr const char* kSetOutputBitDoc =
    "Switch output ``bit`` (0 to 511) on or off (SPEL+ ``On``/``Off``).\n\n"
    "Raises IndexError for a bit outside 0..511 and RuntimeError at once while a motion runs "
    "(the controller runs one $Execute at a time); nothing is sent then.";
constexpr const char* kGetOutputBitDoc =
    "Return whether output ``bit`` (0 to 511) is on (SPEL+ ``Oport``).\n\n"
    "Raises IndexError and RuntimeError as ``set_output_bit``.";
constexpr const char* kGetInputBitDoc =
    "Return whether input ``bit`` (0 to 511) is on (SPEL+ ``Sw``).\n\n"
    "Raises IndexError and RuntimeError as ``set_output_bit``.";
constexpr const char* kGetInputByteDoc =
    "Return input byte ``port`` (0 to 63), bits 8*port to 8*port+7, as 0..255 (SPEL+ ``In``).";
constexpr const char* kGetOutputByteDoc =
    "Return output byte ``port`` (0 to 63) as 0..255 (SPEL+ ``Out``).";
constexpr const char* kGetInputWordDoc =
    "Return input word ``port`` (0 to 31), bits 16*port to 16*port+15, as 0..65535 "
    "(SPEL+ ``InW``).";
constexpr const char* kGetOutputWordDoc =
    "Return output word ``port`` (0 to 31) as 0..65535 (SPEL+ ``OutW``).";
constexpr const char* kTillOnDoc =
    "Return whether the last motion was stopped by its search condition.";
constexpr const char* kRemoteStatusDoc =
    "The controller's Remote Ethernet status, as ``get_remote_status()`` reads it.\n\n"
    "Attributes:\n    test, teach, auto: The operation mode flags.\n    warning, serious_error, "
    "error: Whether a warning, a serious error (only a\n        restart clears it) or an error "
    "is active.\n    safeguard, emergency_stop: Whether the safeguard is open, or an "
    "emergency\n        stop is active.\n    paused, running, ready: Whether execution is "
    "paused, runs, or can start.\n    code (int): The error or warning code; 0 when there is "
    "none.\n";
constexpr const char* kRemoteStatusReprDoc = "Return the flags that are set and the code.";
constexpr const char* kMotionAbortedErrorDoc =
    "A motion that this link aborted, by ``abort_motion()`` or by Ctrl-C.\n\nA subclass of "
    "``ControllerError`` with the message the motion would have had,\nso that a caller tells its "
    "own stop from a controller fault. A motion stopped\nbefore it sent its statement has the "
    "message \"Epson motion was aborted before\nit started\", ``code`` 0 and an empty "
    "``reply``.\n";
constexpr const char* kGetPowerModeDoc =
    "Read the current Epson servo power mode.\n\nReturns:\n    EpsonPowerMode: ``LOW`` or ``HIGH`` "
    "as reported by the controller.\n\nRaises:\n    RuntimeError: If the session is unavailable, "
    "the query is rejected, or the\n        controller returns an invalid value.\n";
constexpr const char* kGetPtpMotionLimitsDoc =
    "Read maximum SPEL+ point-to-point motion settings.\n\nReturns:\n    PtpMotionLimits: Maximum "
    "speed, acceleration, and deceleration in Epson\n    percentage units. Speed is always 100; "
    "acceleration and deceleration come\n    from ``AccelMax(1)`` and ``AccelMax(2)`` on the "
    "connected controller.\n\nRaises:\n    RuntimeError: If the session is unavailable, the query "
    "is rejected, or the\n        controller response is invalid.\n";
constexpr const char* kAddSafetyCuboidDoc =
    "Set the Epson controller's allowed Cartesian workspace.\n\nCorners are [X, Y, Z] in "
    "robot-base millimeters. Replaces the existing XYLim\ndefinition and enables XYLIM_STRICT for "
    "trajectory and pulse-motion checks.\nThis is a software motion limit, not a certified safety "
    "function. XYLimMode\nmay reset to the controller preference when the controller "
    "restarts.\n\nRaises:\n    ValueError: If either corner is invalid.\n    RuntimeError: If the "
    "controller rejects or fails to verify the settings.\n";
constexpr const char* kSetPowerModeDoc =
    "Set and verify the Epson servo power mode.\n\nThis does not turn the motors on and cannot "
    "override an E-stop, safeguard,\noperating-mode restriction, or controller motion "
    "limit.\n\nArgs:\n    mode: Requested :class:`EpsonPowerMode`.\n\nRaises:\n    RuntimeError: "
    "If the session is unavailable, the command is rejected, or\n        controller read-back does "
    "not match the requested mode.\n";
constexpr const char* kTlSetDoc =
    "Define a native Epson Tool with SPEL+ ``TLSet``.\n\nArgs:\n    tool_num: Tool slot from 1 "
    "through 15.\n    tool_def_point: SPEL+ point expression such as ``XY(...)`` or "
    "``P10``.\n\nRaises:\n    IndexError: If the Tool slot is outside the supported range.\n    "
    "ValueError: If the point expression is invalid.\n    RuntimeError: If the session is "
    "unavailable or the command is rejected.\n";
constexpr const char* kTlClearDoc =
    "Clear a native Epson Tool definition.\n\nArgs:\n    tool_num: Tool slot from 1 through "
    "15.\n\nRaises:\n    IndexError: If ``tool_num`` is outside the supported range.\n    "
    "RuntimeError: If the session is unavailable or the command is rejected.\n";
constexpr const char* kSetToolDoc =
    "Select the Tool used by subsequent Epson motion.\n\nArgs:\n    tool_num: Tool number from 0 "
    "through 15. Tool 0 is the flange.\n\nRaises:\n    IndexError: If ``tool_num`` is outside the "
    "supported range.\n    RuntimeError: If the session is unavailable or the command is "
    "rejected.\n";
constexpr const char* kGetToolDoc =
    "Return the selected Epson Tool number.\n\nReturns:\n    The selected Tool number from 0 "
    "through 15.\n\nRaises:\n    RuntimeError: If the session is unavailable or the response is "
    "invalid.\n";
constexpr const char* kIsToolDefinedDoc =
    "Return whether an Epson Tool slot has a definition.\n\nArgs:\n    tool_num: Tool slot from 1 "
    "through 15.\n\nReturns:\n    ``True`` when the slot has a ``TLSet`` definition.\n\nRaises:\n  "
    "  IndexError: If ``tool_num`` is outside the supported range.\n    RuntimeError: If the "
    "session is unavailable or the response is invalid.\n";
constexpr const char* kGetToolDefinitionDoc =
    "Read a native Epson Tool definition.\n\nArgs:\n    tool_num: Tool slot from 1 through "
    "15.\n\nReturns:\n    ``[X, Y, Z, U, V, W]`` in millimetres and degrees.\n\nRaises:\n    "
    "IndexError: If ``tool_num`` is outside the supported range.\n    RuntimeError: If the Tool is "
    "undefined or the response is invalid.\n";
constexpr const char* kGetTcpOffsetDoc =
    "Read the selected controller TCP in Veltrix units.\n\nReturns:\n    ``[x, y, z, rx, ry, rz]`` "
    "in metres and Euler-XYZ degrees.\n\nRaises:\n    RuntimeError: If the Tool definition cannot "
    "be read.\n";
constexpr const char* kSetTcpOffsetDoc =
    "Set the active controller TCP in Veltrix units.\n\nThe first call saves the selected Tool and "
    "reserved custom Tool definition so\nthey can be restored by ``restore_tcp_offset()`` or "
    "``disconnect()``.\n\nArgs:\n    pose: ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ "
    "degrees.\n\nRaises:\n    ValueError: If ``pose`` does not contain six finite values.\n    "
    "RuntimeError: If the controller update or verification fails.\n\nExamples:\n    >>> "
    "control.set_tcp_offset([0, 0, 0.1, 0, 0, 0])\n";
constexpr const char* kRestoreTcpOffsetDoc =
    "Restore the controller Tool state saved by ``set_tcp_offset``.\n\nSafe to call when no TCP "
    "override is active.\n\nRaises:\n    RuntimeError: If restoration is required and a controller "
    "command fails.\n";
constexpr const char* kInverseKinematicsDoc =
    "Solve inverse kinematics on the connected Epson controller.\n\nThis evaluates SPEL+ ``PAgl`` "
    "for joints 1 through 6 and does not move the\nrobot. With ``least_joint_motion=True``, "
    "``LJM(..., Here)`` selects a posture\nrequiring least joint motion from the controller's "
    "current position.\n\nArgs:\n    cartesian_pose: Native Epson pose ``[X, Y, Z, U, V, W]`` with "
    "translation\n        in millimetres and orientation in degrees.\n    least_joint_motion: "
    "Whether to select the solution nearest ``Here``.\n    reference_joint_positions: Optional "
    "``[J1, ..., J6]`` reference in degrees\n        for least-joint-motion selection. When "
    "omitted, ``Here`` is used.\n\nReturns:\n    ``[J1, J2, J3, J4, J5, J6]`` in "
    "degrees.\n\nRaises:\n    ValueError: If the pose does not contain exactly six finite "
    "values.\n    RuntimeError: If disconnected, the pose is unreachable, the controller\n        "
    "rejects the query, or its response is invalid.\n";
constexpr const char* kGoDoc =
    "Execute a point-to-point SPEL+ ``Go`` motion.\n\nArgs:\n    destination: SPEL+ point or point "
    "expression.\n    cp: Whether to enable continuous-path mode.\n    ljm: Whether to use "
    "least-joint-motion selection.\n    orientation_flag: Optional LJM orientation selection; "
    "requires ``ljm``.\n    search_expression: Optional SPEL+ search condition.\n    "
    "parallel_processing: Optional SPEL+ statement run during motion.\n    sync: Whether to append "
    "the SPEL+ ``SYNC`` modifier.\n    speed_percent: Optional integer from 1 through 100 "
    "selecting the SPEL+\n        ``Speed`` percentage of maximum point-to-point speed.\n    "
    "acceleration_percent: Optional positive integer selecting the SPEL+\n        ``Accel`` "
    "acceleration percentage. Its robot-specific maximum is\n        available from "
    "``get_ptp_motion_limits()``.\n    deceleration_percent: Optional positive integer selecting "
    "the SPEL+\n        ``Accel`` deceleration percentage. Defaults to ``acceleration_percent``\n  "
    "      when omitted; its maximum is controller-dependent.\n\nRaises:\n    ValueError: If "
    "arguments cannot form a valid command.\n    RuntimeError: If the session is unavailable or "
    "motion fails.\n";
constexpr const char* kMoveDoc =
    "Execute a straight-line Cartesian SPEL+ ``Move`` motion.\n\nOptional motion parameters must "
    "be finite and positive. The controller enforces\nmodel-specific limits. Omitted parameters "
    "retain the controller's settings.\n\nArgs:\n    destination: SPEL+ point or point "
    "expression.\n    rot: Whether to interpolate tool orientation.\n    ecp: Whether to move "
    "relative to the external control point.\n    cp: Whether to enable continuous-path mode.\n    "
    "search_expression: Optional SPEL+ search condition.\n    parallel_processing: Optional SPEL+ "
    "statement run during motion.\n    sync: Whether to append the SPEL+ ``SYNC`` modifier.\n    "
    "speed_mm_s: Optional ``SpeedS`` TCP speed in millimeters/second.\n    acceleration_mm_s2: "
    "Optional ``AccelS`` acceleration and deceleration in\n        millimeters/second "
    "squared.\n\nRaises:\n    ValueError: If arguments cannot form a valid command.\n    "
    "RuntimeError: If the session is unavailable or motion fails.\n";
constexpr const char* kGetStateDoc =
    "Read joint positions and TCP pose in one controller request.\n\nReturns:\n    A dictionary "
    "with ``joint_positions`` in degrees and ``tcp_pose`` as\n    native Epson ``[X, Y, Z, U, V, "
    "W]`` in millimetres and degrees.\n\nRaises:\n    RuntimeError: If the session is unavailable "
    "or the response is invalid.\n";
constexpr const char* kEpsonPowerModeDoc =
    "Epson controller servo power mode.\n\nThis is independent of whether the motors are on. "
    "``LOW`` limits speed and\nservo stiffness; ``HIGH`` permits full configured performance "
    "subject to the\ncontroller's safety state and motion limits.\n";
constexpr const char* kPtpMotionLimitsDoc =
    "Maximum Epson SPEL+ point-to-point motion settings.\n\nAll values are percentages. "
    "``speed_percent`` is always 100 because SPEL+\ndefines PTP speed on a fixed 1--100 scale. "
    "Acceleration and deceleration are\nreported by the connected robot through ``AccelMax``.\n";

constexpr const char* kLowDoc = "Low speed and servo stiffness.";
constexpr const char* kHighDoc = "Full configured speed and servo stiffness.";

constexpr const char* kEnterDoc = "Return this link, for use in a ``with`` statement.";
constexpr const char* kExitDoc =
    "Disconnect when the ``with`` block ends, as ``disconnect()`` does.\n\nAn exception from "
    "the block is never suppressed.\n";
constexpr const char* kPtpMotionLimitsReprDoc = "Return the three limits in one line.";
constexpr const char* kRobotStateDoc =
    "The dictionary that ``CellCommandLink.get_state()`` returns.\n\nKeys:\n    "
    "joint_positions: ``[J1, ..., J6]`` in degrees.\n    tcp_pose: Native ``[X, Y, Z, U, V, "
    "W]`` in millimetres and degrees.\n";
constexpr const char* kControllerStatusDoc =
    "The dictionary that ``CellCommandLink.get_controller_status()`` returns: the raw\n"
    "controller status fields, each an integer.\n";
constexpr const char* kControllerErrorDoc =
    "The controller refused a command: its reply began with ``!``.\n\nThe message is the "
    "same as before this class existed; ``except RuntimeError``\nstill catches it.\n\n"
    "Attributes:\n    code (int): The reply's Remote Ethernet error code; 0 when it has none.\n"
    "    command (str): The refused command as shown in messages; a login is shown\n        as "
    "``$Login,<redacted>``.\n    reply (str): The controller's reply line.\n    meaning (str): "
    "What the Remote Ethernet documentation says the code means;\n        empty for a code it "
    "does not list.\n";
constexpr const char* kConnectionLostErrorDoc =
    "The link gave its connection up: no reply within the deadline, a read error,\nor a reply "
    "that never ends.\n\nThe link is disconnected afterwards; commands raise "
    "``NotConnectedError``\nuntil the next ``connect()``.\n";
constexpr const char* kNotConnectedErrorDoc =
    "A command on a link that is not connected. Nothing was sent.\n";
constexpr const char* kOutcomeUnknownErrorDoc =
    "A command went out but its outcome is unknown: it may have taken effect.\n\nIts reply "
    "was lost, or the line read for it was blank or not its own (an\nerror naming another "
    "command included). The link stays connected and treats\nthe command as possibly done: "
    "after a ``motor_on()`` of unknown outcome,\n``disconnect()`` still switches the motors "
    "off.\n";
constexpr const char* kLogToPythonDoc =
    "Send the connector's console lines to the ``logging`` logger ``epson_cell``.\n\nBy "
    "default the command links write their progress lines to standard output\nand their "
    "warnings and failures to standard error. Once this is called, every\ncopy of the command "
    "link in the process (the station's included) hands the\nlines to ``epson_cell`` instead: "
    "connections and disconnections as INFO,\nretried connection attempts as WARNING, failures "
    "(resolution, refused\nlogin or logout checks, clean-up steps of a disconnect) as ERROR. A "
    "thread of\nthis module delivers them, so lines written while the interpreter lock is\n"
    "held elsewhere arrive shortly afterwards, in order.\n\nArgs:\n    enable: ``False`` "
    "writes to the standard streams again.\n";

using Release = py::call_guard<py::gil_scoped_release>;
constexpr const char* kLoggerName = "epson_cell";

// ---- Console lines to Python's logging. The sink runs on whichever thread writes the line,
// possibly holding the link's locks, so it only queues; one Python thread delivers with the
// interpreter lock and no link lock held. ----

struct LineQueue {
    static constexpr std::size_t kLimit = 1024;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<ConsoleLevel, std::string>> lines;
    std::size_t dropped = 0;
    bool stopping = false;
};

LineQueue& lineQueue() {
    // Never destroyed: links may write during interpreter shutdown.
    static auto* queue = new LineQueue;
    return *queue;
}

void queueLine(ConsoleLevel level, std::string_view line) noexcept {
    auto& queue = lineQueue();
    try {
        std::lock_guard lock(queue.mutex);
        if (queue.lines.size() >= LineQueue::kLimit) {
            ++queue.dropped;
            return;
        }
        queue.lines.emplace_back(level, std::string(line));
    } catch (...) {
        return;  // Out of memory: the line is lost, the link goes on.
    }
    queue.ready.notify_one();
}

// The numeric levels of Python's logging module.
constexpr int kLoggingInfo = 20;
constexpr int kLoggingWarning = 30;
constexpr int kLoggingError = 40;

int loggingLevel(ConsoleLevel level) {
    switch (level) {
        case ConsoleLevel::Info:
            return kLoggingInfo;
        case ConsoleLevel::Warning:
            return kLoggingWarning;
        case ConsoleLevel::Error:
            break;
    }
    return kLoggingError;
}

/// The delivering thread's body; returns once the exit hook has stopped it and the queue is
/// empty.
void deliverLines() {
    const py::object log =
        py::module_::import("logging").attr("getLogger")(kLoggerName).attr("log");
    auto emit = [&log](int level, const std::string& text) {
        try {
            log(level, text);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("epson_cell console line");
        }
    };
    auto& queue = lineQueue();
    for (;;) {
        std::deque<std::pair<ConsoleLevel, std::string>> batch;
        std::size_t dropped = 0;
        bool stopping = false;
        {
            py::gil_scoped_release release;
            std::unique_lock lock(queue.mutex);
            queue.ready.wait(
                lock, [&] { return !queue.lines.empty() || queue.dropped != 0 || queue.stopping; });
            batch.swap(queue.lines);
            dropped = std::exchange(queue.dropped, 0);
            stopping = queue.stopping;
        }
        if (dropped != 0) {
            emit(kLoggingWarning,
                 std::to_string(dropped) + " console lines were dropped: logging fell behind");
        }
        for (const auto& [level, text] : batch) {
            emit(loggingLevel(level), text);
        }
        if (stopping && batch.empty()) {
            return;
        }
    }
}

/// Starts the delivering thread once; at exit the route goes back to the standard streams and
/// the thread delivers what is queued. Returns false once the interpreter is shutting down.
bool startDelivery(epson::ConsoleRoute& route) {
    static bool started = false;  // guarded by the interpreter lock
    {
        std::lock_guard lock(lineQueue().mutex);
        if (lineQueue().stopping) {
            return false;
        }
    }
    if (started) {
        return true;
    }
    py::object thread =
        py::module_::import("threading")
            .attr("Thread")(py::arg("target") = py::cpp_function(deliverLines),
                            py::arg("name") = "epson_cell-log", py::arg("daemon") = true);
    thread.attr("start")();
    py::module_::import("atexit").attr("register")(py::cpp_function([routed = &route, thread] {
        epson::ConsoleSink ours = &queueLine;
        routed->sink.compare_exchange_strong(ours, nullptr);
        {
            std::lock_guard lock(lineQueue().mutex);
            lineQueue().stopping = true;
        }
        lineQueue().ready.notify_all();
        thread.attr("join")(5.0);
    }));
    started = true;
    return true;
}

py::object makeErrorClass(py::module_& m, const char* name, const char* doc,
                          const py::dict& defaults, PyObject* base = PyExc_RuntimeError) {
    const std::string qualified = std::string("_cell_command_link.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, defaults.ptr());
    if (type == nullptr) {
        throw py::error_already_set();
    }
    auto cls = py::reinterpret_steal<py::object>(type);
    m.add_object(name, cls);
    return cls;
}

py::object makeTypedDict(py::module_& m, const char* name, const char* doc,
                         const py::dict& fields) {
    py::object cls = py::module_::import("typing").attr("TypedDict")(name, fields);
    cls.attr("__module__") = m.attr("__name__");
    cls.attr("__doc__") = doc;
    m.add_object(name, cls);
    return cls;
}

// The error classes, held for the translator; the module keeps them alive for the process.
PyObject* controllerError = nullptr;
PyObject* connectionLostError = nullptr;
PyObject* notConnectedError = nullptr;
PyObject* motionAbortedError = nullptr;
PyObject* outcomeUnknownError = nullptr;

py::object errorClass(std::string_view name) {
    PyObject* type = name == "MotionAbortedError"    ? motionAbortedError
                     : name == "ControllerError"     ? controllerError
                     : name == "ConnectionLostError" ? connectionLostError
                     : name == "OutcomeUnknownError" ? outcomeUnknownError
                                                     : notConnectedError;
    return py::reinterpret_borrow<py::object>(type);
}

/// A call that may wait for a motion: without the interpreter lock, and on the main thread
/// interruptible, Ctrl-C aborting the motion.
void interruptible(const std::shared_ptr<CellCommandLink>& link, std::function<void()> call) {
    epson::python::runInterruptible(link, std::move(call), errorClass);
}

}  // namespace

PYBIND11_MODULE(_cell_command_link, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    m.attr("__version__") = EPSON_VERSION;
    epson::python::rememberMainThread();

    py::enum_<EpsonPowerMode>(m, "EpsonPowerMode", kEpsonPowerModeDoc)
        .value("LOW", EpsonPowerMode::LOW, kLowDoc)
        .value("HIGH", EpsonPowerMode::HIGH, kHighDoc);

    py::class_<PtpMotionLimits>(m, "PtpMotionLimits", kPtpMotionLimitsDoc)
        .def_readonly("speed_percent", &PtpMotionLimits::speed_percent)
        .def_readonly("acceleration_percent", &PtpMotionLimits::acceleration_percent)
        .def_readonly("deceleration_percent", &PtpMotionLimits::deceleration_percent)
        .def(
            "__repr__",
            [](const PtpMotionLimits& limits) {
                return "PtpMotionLimits(speed_percent=" + std::to_string(limits.speed_percent) +
                       ", acceleration_percent=" + std::to_string(limits.acceleration_percent) +
                       ", deceleration_percent=" + std::to_string(limits.deceleration_percent) +
                       ")";
            },
            kPtpMotionLimitsReprDoc);

    py::class_<RemoteStatus>(m, "RemoteStatus", kRemoteStatusDoc)
        .def_readonly("test", &RemoteStatus::test)
        .def_readonly("teach", &RemoteStatus::teach)
        .def_readonly("auto", &RemoteStatus::autoMode)
        .def_readonly("warning", &RemoteStatus::warning)
        .def_readonly("serious_error", &RemoteStatus::seriousError)
        .def_readonly("safeguard", &RemoteStatus::safeguard)
        .def_readonly("emergency_stop", &RemoteStatus::emergencyStop)
        .def_readonly("error", &RemoteStatus::error)
        .def_readonly("paused", &RemoteStatus::paused)
        .def_readonly("running", &RemoteStatus::running)
        .def_readonly("ready", &RemoteStatus::ready)
        .def_readonly("code", &RemoteStatus::code)
        .def(
            "__repr__",
            [](const RemoteStatus& status) {
                std::string flags;
                for (const auto& [set, name] : {std::pair{status.test, "test"},
                                                {status.teach, "teach"},
                                                {status.autoMode, "auto"},
                                                {status.warning, "warning"},
                                                {status.seriousError, "serious_error"},
                                                {status.safeguard, "safeguard"},
                                                {status.emergencyStop, "emergency_stop"},
                                                {status.error, "error"},
                                                {status.paused, "paused"},
                                                {status.running, "running"},
                                                {status.ready, "ready"}}) {
                    if (set) {
                        flags += std::string(flags.empty() ? "" : ", ") + name + "=True";
                    }
                }
                return "RemoteStatus(" + flags + (flags.empty() ? "" : ", ") +
                       "code=" + std::to_string(status.code) + ")";
            },
            kRemoteStatusReprDoc);

    py::class_<CellCommandLink, std::shared_ptr<CellCommandLink>>(m, "CellCommandLink",
                                                                  kCellCommandLinkDoc)
        .def(py::init([] { return epson::python::ownedWithoutTheLock(new CellCommandLink()); }),
             kInitDoc)
        .def_property_readonly_static(
            "default_port", [](const py::object&) { return CellCommandLink::kDefaultPort; },
            kDefaultPortDoc)
        .def_property_readonly_static(
            "default_password",
            [](const py::object&) { return std::string(CellCommandLink::kDefaultPassword); },
            kDefaultPasswordDoc)
        .def("connect", &CellCommandLink::connect, py::arg("host"),
             py::arg("port") = CellCommandLink::kDefaultPort,
             py::arg("password") = std::string(CellCommandLink::kDefaultPassword), kConnectDoc,
             Release())
        .def(
            "disconnect",
            [](const std::shared_ptr<CellCommandLink>& link) {
                interruptible(link, [link] { link->disconnect(); });
            },
            kDisconnectDoc)
        .def("is_connected", &CellCommandLink::isConnected, kIsConnectedDoc, Release())
        .def("is_logged_in", &CellCommandLink::isLoggedIn, kIsLoggedInDoc, Release())
        .def("motor_on_error", &CellCommandLink::motorOnError, kMotorOnErrorDoc, Release())
        .def("is_emergency_stopped", &CellCommandLink::isEmergencyStopped, kIsEmergencyStoppedDoc,
             Release())
        .def(
            "get_controller_status",
            [](CellCommandLink& link) {
                epson::ControllerStatus status;
                {
                    py::gil_scoped_release release;
                    status = link.getControllerStatus();
                }
                return py::reinterpret_steal<ControllerStatusDict>(py::cast(status).release());
            },
            kGetControllerStatusDoc)
        .def("reset_controller", &CellCommandLink::resetController, kResetControllerDoc, Release())
        .def("motor_on", &CellCommandLink::motorOn, kMotorOnDoc, Release())
        .def("motor_off", &CellCommandLink::motorOff, kMotorOffDoc, Release())
        .def("pause", &CellCommandLink::pause, kPauseDoc, Release())
        .def("continue_motion", &CellCommandLink::continueMotion, kContinueMotionDoc, Release())
        .def("abort_motion", &CellCommandLink::abortMotion, kAbortMotionDoc, Release())
        .def("get_remote_status", &CellCommandLink::getRemoteStatus, kGetRemoteStatusDoc, Release())
        .def("till_on", &CellCommandLink::tillOn, kTillOnDoc, Release())
        .def("get_power_mode", &CellCommandLink::getPowerMode, kGetPowerModeDoc, Release())
        .def("get_ptp_motion_limits", &CellCommandLink::getPtpMotionLimits, kGetPtpMotionLimitsDoc,
             Release())
        .def("add_safety_cuboid", &CellCommandLink::addSafetyCuboid, py::arg("min_corner_mm"),
             py::arg("max_corner_mm"), kAddSafetyCuboidDoc, Release())
        .def("set_power_mode", &CellCommandLink::setPowerMode, py::arg("mode"), kSetPowerModeDoc,
             Release())
        .def("tl_set", &CellCommandLink::tlSet, py::arg("tool_num"), py::arg("tool_def_point"),
             kTlSetDoc, Release())
        .def("tl_clear", &CellCommandLink::tlClear, py::arg("tool_num"), kTlClearDoc, Release())
        .def("set_tool", &CellCommandLink::setTool, py::arg("tool_num"), kSetToolDoc, Release())
        .def("get_tool", &CellCommandLink::getTool, kGetToolDoc, Release())
        .def("is_tool_defined", &CellCommandLink::isToolDefined, py::arg("tool_num"),
             kIsToolDefinedDoc, Release())
        .def("get_tool_definition", &CellCommandLink::getToolDefinition, py::arg("tool_num"),
             kGetToolDefinitionDoc, Release())
        .def("get_tcp_offset", &CellCommandLink::getTcpOffset, kGetTcpOffsetDoc, Release())
        .def("set_tcp_offset", &CellCommandLink::setTcpOffset, py::arg("pose"), kSetTcpOffsetDoc,
             Release())
        .def("restore_tcp_offset", &CellCommandLink::restoreTcpOffset, kRestoreTcpOffsetDoc,
             Release())
        .def("inverse_kinematics", &CellCommandLink::inverseKinematics, py::arg("cartesian_pose"),
             py::arg("least_joint_motion") = true,
             py::arg("reference_joint_positions").none(true) = py::none(), kInverseKinematicsDoc,
             Release())
        .def(
            "go",
            [](const std::shared_ptr<CellCommandLink>& link, const std::string& destination,
               bool cp, bool ljm, const std::optional<int>& orientation_flag,
               const std::optional<std::string>& search_expression,
               const std::optional<std::string>& parallel_processing, bool sync,
               const std::optional<int>& speed_percent,
               const std::optional<int>& acceleration_percent,
               const std::optional<int>& deceleration_percent) {
                interruptible(link, [=] {
                    link->go(destination, cp, ljm, orientation_flag, search_expression,
                             parallel_processing, sync, speed_percent, acceleration_percent,
                             deceleration_percent);
                });
            },
            py::arg("destination"), py::arg("cp"), py::arg("ljm"),
            py::arg("orientation_flag").none(true), py::arg("search_expression").none(true),
            py::arg("parallel_processing").none(true), py::arg("sync"),
            py::arg("speed_percent").none(true) = py::none(),
            py::arg("acceleration_percent").none(true) = py::none(),
            py::arg("deceleration_percent").none(true) = py::none(), kGoDoc)
        .def(
            "move",
            [](const std::shared_ptr<CellCommandLink>& link, const std::string& destination,
               bool rot, bool ecp, bool cp, const std::optional<std::string>& search_expression,
               const std::optional<std::string>& parallel_processing, bool sync,
               const std::optional<double>& speed_mm_s,
               const std::optional<double>& acceleration_mm_s2) {
                interruptible(link, [=] {
                    link->move(destination, rot, ecp, cp, search_expression, parallel_processing,
                               sync, speed_mm_s, acceleration_mm_s2);
                });
            },
            py::arg("destination"), py::arg("rot"), py::arg("ecp"), py::arg("cp"),
            py::arg("search_expression").none(true), py::arg("parallel_processing").none(true),
            py::arg("sync"), py::arg("speed_mm_s").none(true) = py::none(),
            py::arg("acceleration_mm_s2").none(true) = py::none(), kMoveDoc)
        .def(
            "get_state",
            [](CellCommandLink& link) {
                std::vector<double> state;
                {
                    py::gil_scoped_release release;
                    state = link.getState();
                }
                RobotStateDict result;
                const auto middle = state.begin() + std::min<std::ptrdiff_t>(6, state.size());
                result["joint_positions"] = std::vector<double>(state.begin(), middle);
                result["tcp_pose"] = std::vector<double>(middle, state.end());
                return result;
            },
            kGetStateDoc)
        .def(
            "__enter__", [](const std::shared_ptr<CellCommandLink>& self) { return self; },
            kEnterDoc)
        .def(
            "__exit__",
            [](const std::shared_ptr<CellCommandLink>& link, const py::object&, const py::object&,
               const py::object&) { interruptible(link, [link] { link->disconnect(); }); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kExitDoc)
        // Digital I/O, after the platform's methods.
        .def("set_output_bit", &CellCommandLink::setOutputBit, py::arg("bit"), py::arg("on"),
             kSetOutputBitDoc, Release())
        .def("get_output_bit", &CellCommandLink::getOutputBit, py::arg("bit"), kGetOutputBitDoc,
             Release())
        .def("get_input_bit", &CellCommandLink::getInputBit, py::arg("bit"), kGetInputBitDoc,
             Release())
        .def("get_input_byte", &CellCommandLink::getInputByte, py::arg("port"), kGetInputByteDoc,
             Release())
        .def("get_output_byte", &CellCommandLink::getOutputByte, py::arg("port"), kGetOutputByteDoc,
             Release())
        .def("get_input_word", &CellCommandLink::getInputWord, py::arg("port"), kGetInputWordDoc,
             Release())
        .def("get_output_word", &CellCommandLink::getOutputWord, py::arg("port"), kGetOutputWordDoc,
             Release())
        // Connection options, after the platform's methods too.
        .def("set_connect_attempts", &CellCommandLink::setConnectAttempts, py::arg("attempts"),
             kSetConnectAttemptsDoc);

    // Beside the three types: the shapes of two returned dicts, the error kinds and the
    // logging switch.
    const py::object builtins = py::module_::import("builtins");
    const py::object floats = builtins.attr("list")[builtins.attr("float")];
    py::dict stateFields;
    stateFields["joint_positions"] = floats;
    stateFields["tcp_pose"] = floats;
    makeTypedDict(m, "RobotState", kRobotStateDoc, stateFields);
    py::dict statusFields;
    for (const char* key : {"control_device", "ctrl_info", "emergency_stopped", "robot_info",
                            "safeguard_open", "stat", "system_error", "teach_mode"}) {
        statusFields[key] = builtins.attr("int");
    }
    makeTypedDict(m, "ControllerStatus", kControllerStatusDoc, statusFields);

    py::dict refusalDefaults;
    refusalDefaults["code"] = 0;
    refusalDefaults["command"] = "";
    refusalDefaults["reply"] = "";
    refusalDefaults["meaning"] = "";
    controllerError =
        makeErrorClass(m, "ControllerError", kControllerErrorDoc, refusalDefaults).release().ptr();
    connectionLostError =
        makeErrorClass(m, "ConnectionLostError", kConnectionLostErrorDoc, py::dict())
            .release()
            .ptr();
    notConnectedError =
        makeErrorClass(m, "NotConnectedError", kNotConnectedErrorDoc, py::dict()).release().ptr();
    motionAbortedError =
        makeErrorClass(m, "MotionAbortedError", kMotionAbortedErrorDoc, py::dict(), controllerError)
            .release()
            .ptr();
    outcomeUnknownError =
        makeErrorClass(m, "OutcomeUnknownError", kOutcomeUnknownErrorDoc, py::dict())
            .release()
            .ptr();
    py::register_local_exception_translator([](std::exception_ptr pending) {
        epson::python::translateConnectorErrors(pending, errorClass);
    });

    epson::ConsoleRoute* route = epson::python::sharedConsoleRoute();
    epson::useConsoleRoute(route);
    m.def(
        "log_to_python",
        [route](bool enable) {
            if (!enable) {
                route->sink = nullptr;
            } else if (startDelivery(*route)) {
                route->sink = &queueLine;
            }
        },
        py::arg("enable") = true, kLogToPythonDoc);
}
