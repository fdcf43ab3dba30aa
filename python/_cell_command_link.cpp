// The `_cell_command_link` extension module: the command link for Python.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "epson/CellCommandLink.hpp"

namespace py = pybind11;
using epson::CellCommandLink;
using epson::EpsonPowerMode;
using epson::PtpMotionLimits;

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
    "controller accepts while\n"
    "``$Execute`` runs. The motion then ends with the controller's answer, normally an\nerror that "
    "``go()`` or ``move()`` raises. A ``go()`` or ``move()`` still waiting for\nthe connection "
    "does "
    "not start. With no motion running the command is sent on\nits own.\n\nRaises:\n    "
    "RuntimeError: If the session is unavailable, the controller rejects the\n        command, or "
    "its reply does not come within 5 seconds.\n";
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

using Release = py::call_guard<py::gil_scoped_release>;
using Clock = std::chrono::steady_clock;

/// How often the main thread looks for a pending signal while a motion runs.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);
/// How long an interrupted motion's abort may take to be acknowledged: the control deadline.
constexpr auto kAbortDeadline = std::chrono::seconds(5);
/// How long, once the abort is acknowledged, the motion's own end is awaited, so that the link
/// is usually free again when the interruption reaches the caller.
constexpr auto kAbortedMotionGrace = std::chrono::milliseconds(200);

/// The end of a call made on another thread.
class Completion {
  public:
    void finish(std::exception_ptr error) {
        {
            std::lock_guard lock(mutex_);
            error_ = std::move(error);
            finished_ = true;
        }
        changed_.notify_all();
    }
    bool waitUntil(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return finished_; });
    }
    std::exception_ptr error() {
        std::lock_guard lock(mutex_);
        return error_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    std::exception_ptr error_;
};

unsigned long mainThreadIdent = 0;

/// Runs a motion without the interpreter lock. On the main thread, which alone runs Python's
/// signal handlers, the motion runs on a worker while the main thread looks for signals between
/// short waits: an exception from a handler (Ctrl-C's KeyboardInterrupt) aborts the motion and
/// is raised once the abort is acknowledged, or after the control deadline at the latest.
void runMotion(const std::shared_ptr<CellCommandLink>& link,
               std::function<void(CellCommandLink&)> motion) {
    if (PyThread_get_thread_ident() != mainThreadIdent) {
        py::gil_scoped_release release;
        motion(*link);
        return;
    }
    auto completion = std::make_shared<Completion>();
    std::thread worker([link, motion = std::move(motion), completion] {
        try {
            motion(*link);
            completion->finish(nullptr);
        } catch (...) {
            completion->finish(std::current_exception());
        }
    });
    PyObject* interruption = nullptr;
    bool finished = false;
    {
        py::gil_scoped_release release;
        while (!(finished = completion->waitUntil(Clock::now() + kSignalCheckInterval))) {
            py::gil_scoped_acquire acquire;
            if (PyErr_CheckSignals() != 0) {
                interruption = PyErr_GetRaisedException();
                break;
            }
        }
        if (interruption != nullptr) {
            // The abort runs on a thread of its own so that waiting for it stays bounded even
            // when it must first wait for the connection.
            const auto deadline = Clock::now() + kAbortDeadline;
            auto aborted = std::make_shared<Completion>();
            std::thread([link, aborted] {
                try {
                    link->abortMotion();
                    aborted->finish(nullptr);
                } catch (...) {
                    aborted->finish(std::current_exception());
                }
            }).detach();
            aborted->waitUntil(deadline);
            finished =
                completion->waitUntil(std::min(deadline, Clock::now() + kAbortedMotionGrace));
        }
    }
    if (finished) {
        worker.join();
    } else {
        // Still waiting for the controller's answer to the aborted motion; it owns what it uses.
        worker.detach();
    }
    if (interruption != nullptr) {
        PyErr_SetRaisedException(interruption);
        throw py::error_already_set();
    }
    if (const auto error = completion->error()) {
        std::rethrow_exception(error);
    }
}

}  // namespace

PYBIND11_MODULE(_cell_command_link, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    mainThreadIdent =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    py::enum_<EpsonPowerMode>(m, "EpsonPowerMode", kEpsonPowerModeDoc)
        .value("LOW", EpsonPowerMode::LOW, kLowDoc)
        .value("HIGH", EpsonPowerMode::HIGH, kHighDoc);

    py::class_<PtpMotionLimits>(m, "PtpMotionLimits", kPtpMotionLimitsDoc)
        .def_readonly("speed_percent", &PtpMotionLimits::speed_percent)
        .def_readonly("acceleration_percent", &PtpMotionLimits::acceleration_percent)
        .def_readonly("deceleration_percent", &PtpMotionLimits::deceleration_percent);

    py::class_<CellCommandLink, std::shared_ptr<CellCommandLink>>(m, "CellCommandLink",
                                                                  kCellCommandLinkDoc)
        .def(py::init<>(), kInitDoc)
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
        .def("disconnect", &CellCommandLink::disconnect, kDisconnectDoc, Release())
        .def("is_connected", &CellCommandLink::isConnected, kIsConnectedDoc, Release())
        .def("is_logged_in", &CellCommandLink::isLoggedIn, kIsLoggedInDoc, Release())
        .def("motor_on_error", &CellCommandLink::motorOnError, kMotorOnErrorDoc, Release())
        .def("is_emergency_stopped", &CellCommandLink::isEmergencyStopped, kIsEmergencyStoppedDoc,
             Release())
        .def("get_controller_status", &CellCommandLink::getControllerStatus,
             kGetControllerStatusDoc, Release())
        .def("reset_controller", &CellCommandLink::resetController, kResetControllerDoc, Release())
        .def("motor_on", &CellCommandLink::motorOn, kMotorOnDoc, Release())
        .def("motor_off", &CellCommandLink::motorOff, kMotorOffDoc, Release())
        .def("pause", &CellCommandLink::pause, kPauseDoc, Release())
        .def("continue_motion", &CellCommandLink::continueMotion, kContinueMotionDoc, Release())
        .def("abort_motion", &CellCommandLink::abortMotion, kAbortMotionDoc, Release())
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
                runMotion(link, [=](CellCommandLink& target) {
                    target.go(destination, cp, ljm, orientation_flag, search_expression,
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
                runMotion(link, [=](CellCommandLink& target) {
                    target.move(destination, rot, ecp, cp, search_expression, parallel_processing,
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
                py::dict result;
                const auto middle = state.begin() + std::min<std::ptrdiff_t>(6, state.size());
                result["joint_positions"] = std::vector<double>(state.begin(), middle);
                result["tcp_pose"] = std::vector<double>(middle, state.end());
                return result;
            },
            kGetStateDoc);
}
