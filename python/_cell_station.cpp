// The `_cell_station` extension module: one call opens a robot cell. It binds neither the command
// link nor the receiver; it hands them out as whatever Python types are registered for them in
// the process.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string_view>

#include "cross_module.hpp"
#include "epson/CellStation.hpp"
#include "interruptible.hpp"

namespace py = pybind11;
using epson::CellCommandLink;
using epson::CellStation;
using epson::EthernetReceiveInterface;

/// The getters' results: converted through whatever type is registered for the native class,
/// as before, but always named after the Python class that the other module registers, so that
/// help() and the stubs read the same whichever module was imported first.
struct ControlHandle {
    std::shared_ptr<CellCommandLink> link;
};
struct ReceiveHandle {
    std::shared_ptr<EthernetReceiveInterface> receiver;
};

namespace pybind11::detail {
template <>
struct type_caster<ControlHandle> {
    PYBIND11_TYPE_CASTER(ControlHandle, const_name("_cell_command_link.CellCommandLink"));
    bool load(handle, bool) { return false; }
    static handle cast(const ControlHandle& src, return_value_policy policy, handle parent) {
        return make_caster<std::shared_ptr<CellCommandLink>>::cast(src.link, policy, parent);
    }
};
template <>
struct type_caster<ReceiveHandle> {
    PYBIND11_TYPE_CASTER(ReceiveHandle, const_name("_cell_telemetry.EthernetReceiveInterface"));
    bool load(handle, bool) { return false; }
    static handle cast(const ReceiveHandle& src, return_value_policy policy, handle parent) {
        return make_caster<std::shared_ptr<EthernetReceiveInterface>>::cast(src.receiver, policy,
                                                                            parent);
    }
};
}  // namespace pybind11::detail

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

constexpr const char* kEnterDoc = "Return this station, for use in a ``with`` statement.";
constexpr const char* kExitDoc =
    "Disconnect both interfaces when the ``with`` block ends, as ``disconnect()``\ndoes.\n\nAn "
    "exception from the block is never suppressed.\n";

using Release = py::call_guard<py::gil_scoped_release>;

/// The error class of that name registered by `_cell_command_link`, looked up when needed
/// because this module never imports it; empty when that module is not loaded.
py::object commandLinkErrorClass(std::string_view name) {
    PyObject* module = PyImport_GetModule(py::str("_cell_command_link").ptr());
    if (module == nullptr) {
        PyErr_Clear();
        return {};
    }
    const auto owner = py::reinterpret_steal<py::object>(module);
    PyObject* cls = PyObject_GetAttrString(owner.ptr(), std::string(name).c_str());
    if (cls == nullptr) {
        PyErr_Clear();
        return {};
    }
    auto type = py::reinterpret_steal<py::object>(cls);
    if (!PyType_Check(cls) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                          reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError))) {
        return {};
    }
    return type;
}

/// The station's disconnect waits for a motion of its command link: without the interpreter
/// lock, and on the main thread interruptible, Ctrl-C aborting that motion.
void disconnectStation(const std::shared_ptr<CellStation>& station) {
    epson::python::runInterruptible(
        station->getControlInterface(), [station] { station->disconnect(); },
        commandLinkErrorClass);
}

}  // namespace

PYBIND11_MODULE(_cell_station, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    m.attr("__version__") = EPSON_VERSION;
    // This module's own copy of the command link writes through the process's one route.
    epson::useConsoleRoute(epson::python::sharedConsoleRoute());
    epson::python::rememberMainThread();
    // That copy throws its own error kinds; they reach Python as the classes that
    // `_cell_command_link` registered, or as RuntimeError while it is not loaded.
    py::register_local_exception_translator([](std::exception_ptr pending) {
        epson::python::translateConnectorErrors(pending, commandLinkErrorClass);
    });

    py::class_<CellStation, std::shared_ptr<CellStation>>(m, "CellStation", kCellStationDoc)
        // Dropping a station closes both links, which may wait for a motion: its deleter lets
        // the other threads run meanwhile.
        .def(py::init([](const std::string& host, unsigned short control_port,
                         unsigned short receive_port) {
                 py::gil_scoped_release release;
                 return epson::python::ownedWithoutTheLock(
                     new CellStation(host, control_port, receive_port));
             }),
             py::arg("host"), py::arg("control_port") = epson::CellCommandLink::kDefaultPort,
             py::arg("receive_port") = epson::EthernetReceiveInterface::kDefaultPort, kInitDoc)
        .def(
            "get_control_interface",
            [](const CellStation& station) { return ControlHandle{station.getControlInterface()}; },
            kGetControlInterfaceDoc)
        .def(
            "get_receive_interface",
            [](const CellStation& station) { return ReceiveHandle{station.getReceiveInterface()}; },
            kGetReceiveInterfaceDoc)
        .def("is_connected", &CellStation::isConnected, kIsConnectedDoc, Release())
        .def("disconnect", &disconnectStation, kDisconnectDoc)
        .def(
            "__enter__", [](const std::shared_ptr<CellStation>& self) { return self; }, kEnterDoc)
        .def(
            "__exit__",
            [](const std::shared_ptr<CellStation>& station, const py::object&, const py::object&,
               const py::object&) { disconnectStation(station); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kExitDoc);
}
