// The `_cell_telemetry` extension module: the platform's telemetry receiver type. It registers
// `EthernetReceiveInterface` with shared ownership, which is what lets `_cell_station` hand out
// its receiver as a Python object that shares the station's connection.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "epson/EthernetReceiveInterface.hpp"
#include "typed_results.hpp"

namespace py = pybind11;
using epson::EthernetReceiveInterface;
using epson::TelemetrySample;

using epson::python::ControllerStatusDict;

namespace {

constexpr const char* kModuleDoc =
    "Provide the Epson controller telemetry receiver.\n\n``EthernetReceiveInterface`` keeps the "
    "latest sample and controller status pushed\nby the controller's Background Task.\n";
constexpr const char* kReceiverDoc =
    "Receive Epson controller telemetry in the background.\n\nA receiver thread reads the "
    "controller's telemetry lines, keeps the latest\ncomplete six-axis sample and the latest "
    "controller status, and reconnects about\nonce a second after a broken connection. The "
    "getters never touch the socket.\n\nExamples:\n    >>> receive = EthernetReceiveInterface()\n"
    "    >>> receive.connect(\"192.168.0.1\")\n    >>> receive.get_sample().joints\n    >>> "
    "receive.disconnect()\n";
constexpr const char* kSampleDoc =
    "One complete Epson telemetry sample in native units.\n\nAttributes:\n    joints "
    "(list[float]): "
    "``[J1, ..., J6]`` in degrees.\n    tcp_pose (list[float]): ``[X, Y, Z, U, V, W]`` in "
    "millimetres and degrees.\n";
constexpr const char* kInitDoc = "Create a disconnected telemetry receiver.";
constexpr const char* kConnectDoc =
    "Connect and wait for the first complete sample.\n\nArgs:\n    host: Controller hostname or "
    "IP address.\n    port: Controller-pushed telemetry port.\n\nRaises:\n    RuntimeError: If "
    "resolution or connection fails, or no complete sample\n        arrives within 2 seconds.\n";
constexpr const char* kDisconnectDoc =
    "Stop the receiver thread and close the socket.\n\nSafe to call when already disconnected. "
    "The last sample and status stay readable.\n";
constexpr const char* kIsConnectedDoc =
    "Return whether the telemetry socket is connected.\n\nReturns:\n    ``True`` while the socket "
    "is connected.\n";
constexpr const char* kHasSampleDoc =
    "Return whether a sample arrived since the last ``connect()``.\n\nReturns:\n    ``True`` once "
    "a complete sample has been received.\n";
constexpr const char* kGetSampleDoc =
    "Return the latest complete sample.\n\nReturns:\n    TelemetrySample: Joints and TCP pose in "
    "native units.\n\nRaises:\n    RuntimeError: If no sample has been received since "
    "``connect()``.\n";
constexpr const char* kSampleAgeDoc =
    "Return the age of the latest sample.\n\nReturns:\n    Seconds since it arrived, or infinity "
    "when there is none.\n";
constexpr const char* kHasStatusDoc =
    "Return whether a controller-status packet arrived since the last ``connect()``.\n\n"
    "Returns:\n    ``True`` once a status has been received.\n";
constexpr const char* kGetStatusDoc =
    "Return the latest controller status.\n\nReturns:\n    A dictionary containing ``stat``, "
    "``system_error``, ``emergency_stopped``,\n    ``safeguard_open``, ``teach_mode``, "
    "``control_device``, ``robot_info``,\n    and ``ctrl_info``.\n\nRaises:\n    RuntimeError: If "
    "no status has been received since ``connect()``.\n";
constexpr const char* kStatusAgeDoc =
    "Return the age of the latest controller status.\n\nReturns:\n    Seconds since it arrived, or "
    "infinity when there is none.\n";

constexpr const char* kEnterDoc = "Return this receiver, for use in a ``with`` statement.";
constexpr const char* kExitDoc =
    "Disconnect when the ``with`` block ends, as ``disconnect()`` does.\n\nAn exception from "
    "the block is never suppressed.\n";
constexpr const char* kSampleReprDoc = "Return the joints and the pose in one line.";
constexpr const char* kControllerStatusDoc =
    "The dictionary that ``EthernetReceiveInterface.get_controller_status()``\nreturns: the raw "
    "controller status fields, each an integer.\n";

using Release = py::call_guard<py::gil_scoped_release>;

py::list listOf(const std::array<double, 6>& values) {
    return py::cast(std::vector<double>(values.begin(), values.end()));
}

}  // namespace

PYBIND11_MODULE(_cell_telemetry, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    m.attr("__version__") = EPSON_VERSION;

    py::class_<TelemetrySample>(m, "TelemetrySample", kSampleDoc)
        .def_property_readonly("joints",
                               [](const TelemetrySample& s) {
                                   return std::vector<double>(s.joints.begin(), s.joints.end());
                               })
        .def_property_readonly("tcp_pose",
                               [](const TelemetrySample& s) {
                                   return std::vector<double>(s.tcpPose.begin(), s.tcpPose.end());
                               })
        .def(
            "__repr__",
            [](const TelemetrySample& s) {
                return "TelemetrySample(joints=" + py::repr(listOf(s.joints)).cast<std::string>() +
                       ", tcp_pose=" + py::repr(listOf(s.tcpPose)).cast<std::string>() + ")";
            },
            kSampleReprDoc);

    py::class_<EthernetReceiveInterface, std::shared_ptr<EthernetReceiveInterface>>(
        m, "EthernetReceiveInterface", kReceiverDoc)
        .def(py::init<>(), kInitDoc)
        .def("connect", &EthernetReceiveInterface::connect, py::arg("host"),
             py::arg("port") = EthernetReceiveInterface::kDefaultPort, kConnectDoc, Release())
        .def("disconnect", &EthernetReceiveInterface::disconnect, kDisconnectDoc, Release())
        .def("is_connected", &EthernetReceiveInterface::isConnected, kIsConnectedDoc, Release())
        .def("has_sample", &EthernetReceiveInterface::hasSample, kHasSampleDoc, Release())
        .def("get_sample", &EthernetReceiveInterface::getSample, kGetSampleDoc, Release())
        .def("sample_age_seconds", &EthernetReceiveInterface::sampleAgeSeconds, kSampleAgeDoc,
             Release())
        .def("has_controller_status", &EthernetReceiveInterface::hasControllerStatus, kHasStatusDoc,
             Release())
        .def(
            "get_controller_status",
            [](const EthernetReceiveInterface& receiver) {
                epson::ControllerStatus status;
                {
                    py::gil_scoped_release release;
                    status = receiver.getControllerStatus();
                }
                return py::reinterpret_steal<ControllerStatusDict>(py::cast(status).release());
            },
            kGetStatusDoc)
        .def("controller_status_age_seconds", &EthernetReceiveInterface::controllerStatusAgeSeconds,
             kStatusAgeDoc, Release())
        .def(
            "__enter__", [](const std::shared_ptr<EthernetReceiveInterface>& self) { return self; },
            kEnterDoc)
        .def(
            "__exit__",
            [](EthernetReceiveInterface& receiver, const py::object&, const py::object&,
               const py::object&) { receiver.disconnect(); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kExitDoc, Release());

    // The shape of the status dict, for type checkers and readers; it exists beside the types.
    py::dict statusFields;
    for (const char* key : {"control_device", "ctrl_info", "emergency_stopped", "robot_info",
                            "safeguard_open", "stat", "system_error", "teach_mode"}) {
        statusFields[key] = py::module_::import("builtins").attr("int");
    }
    py::object status =
        py::module_::import("typing").attr("TypedDict")("ControllerStatus", statusFields);
    status.attr("__module__") = m.attr("__name__");
    status.attr("__doc__") = kControllerStatusDoc;
    m.add_object("ControllerStatus", status);
}
