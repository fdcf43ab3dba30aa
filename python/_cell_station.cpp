// The `_cell_station` extension module: one call opens a robot cell. It binds neither the command
// link nor the receiver; it hands them out as whatever Python types are registered for them in
// the process.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "epson/CellStation.hpp"

namespace py = pybind11;
using epson::CellStation;

namespace {

constexpr const char* kModuleDoc =
    "Provide combined ownership of Epson hardware connections.\n\n``CellStation`` opens and closes "
    "the command and telemetry\ninterfaces as one unit.\n";
constexpr const char* kCellStationDoc =
    "Own the Epson command and telemetry connections together.\n\nConstruction logs into the "
    "command interface, verifies the login, and then\nopens telemetry without enabling the motors. "
    "Motor power is controlled\nseparately through the command interface. If either connection "
    "fails, both\ninterfaces are closed before the original exception is propagated. The "
    "Remote\nEthernet credential is managed privately by the C++ hardware layer.\n\nExamples:\n    "
    ">>> hardware = CellStation(\"192.168.0.1\")\n    >>> control = "
    "hardware.get_control_interface()\n    >>> receive = hardware.get_receive_interface()\n    >>> "
    "hardware.disconnect()\n";
constexpr const char* kInitDoc =
    "Connect to an Epson controller.\n\nArgs:\n    host: Controller hostname or IP address.\n    "
    "control_port: Remote Ethernet command port.\n    receive_port: Controller-pushed telemetry "
    "port.\n\nRaises:\n    RuntimeError: If either connection, login, or initial telemetry "
    "readiness\n        check fails.\n";
constexpr const char* kGetControlInterfaceDoc =
    "Return the owned command interface.\n\nReturns:\n    The connected "
    ":class:`CellCommandLink`.\n";
constexpr const char* kGetReceiveInterfaceDoc =
    "Return the owned telemetry interface.\n\nReturns:\n    The connected "
    ":class:`EthernetReceiveInterface`.\n";
constexpr const char* kIsConnectedDoc =
    "Return whether both Epson connections are active.\n\nReturns:\n    ``True`` only while "
    "command and telemetry interfaces are connected.\n";
constexpr const char* kDisconnectDoc =
    "Disconnect both Epson interfaces.\n\nThe telemetry interface is stopped first. The control "
    "interface then restores\nthe original Tool state, turns motors off when appropriate, logs "
    "out, and\ncloses its socket.\n\nRaises:\n    RuntimeError: If either interface reports a "
    "shutdown failure.\n";

using Release = py::call_guard<py::gil_scoped_release>;

}  // namespace

PYBIND11_MODULE(_cell_station, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;

    py::class_<CellStation, std::shared_ptr<CellStation>>(m, "CellStation", kCellStationDoc)
        .def(py::init<const std::string&, unsigned short, unsigned short>(), py::arg("host"),
             py::arg("control_port") = epson::CellCommandLink::kDefaultPort,
             py::arg("receive_port") = epson::EthernetReceiveInterface::kDefaultPort, kInitDoc,
             Release())
        .def("get_control_interface", &CellStation::getControlInterface, kGetControlInterfaceDoc)
        .def("get_receive_interface", &CellStation::getReceiveInterface, kGetReceiveInterfaceDoc)
        .def("is_connected", &CellStation::isConnected, kIsConnectedDoc, Release())
        .def("disconnect", &CellStation::disconnect, kDisconnectDoc, Release());
}
