// The `_cell_telemetry` extension module: the platform's telemetry receiver type. It registers
// `EthernetReceiveInterface` with shared ownership, which is what lets `_cell_station` hand out
// its receiver as a Python object that shares the station's connection.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "epson/EthernetReceiveInterface.hpp"
#include "epson/TelemetrySubscription.hpp"
#include "release_gil.hpp"
#include "typed_results.hpp"

namespace py = pybind11;
using epson::EthernetReceiveInterface;
using epson::RecordingSummary;
using epson::TelemetryEvent;
using epson::TelemetrySample;
using epson::TelemetrySubscription;

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

constexpr const char* kEventDoc =
    "One sample or controller status as the receiver published it.\n\nAttributes:\n    kind "
    "(str): ``\"sample\"`` or ``\"status\"``.\n    sample (TelemetrySample | None): The "
    "sample of a ``\"sample\"`` event.\n    status (ControllerStatus | None): The status of a "
    "``\"status\"`` event.\n    monotonic_time (float): When it was received, in seconds on "
    "the clock of\n        :func:`time.monotonic`.\n    wall_time (float): The same instant in "
    "seconds since the epoch.\n";
constexpr const char* kEventReprDoc =
    "Return the kind, the receive time and the values in one line.";
constexpr const char* kSubscriptionDoc =
    "A bounded queue of every sample and status received after ``subscribe()``.\n\nThe "
    "receiver never waits for the reader: when the queue is full, the oldest\nevent is dropped "
    "and counted by ``dropped()``. Iterating waits for each event\nand ends when the "
    "subscription is closed, the receiver disconnects, or its\nconnection breaks (a "
    "reconnection needs a new subscription); ``get()``\nthen returns ``None``.\n\nExamples:\n    "
    ">>> with "
    "receive.subscribe() as events:\n    ...     for event in events:\n    ...         "
    "print(event.monotonic_time, event.sample)\n";
constexpr const char* kGetDoc =
    "Return the next event, waiting for it.\n\nArgs:\n    timeout: Seconds to wait at most; "
    "``None`` waits until an event arrives\n        or the subscription ends.\n\nReturns:\n"
    "    The oldest queued :class:`TelemetryEvent`, or ``None`` when the time\n    passes, or "
    "when the subscription has ended and nothing is queued.\n\nRaises:\n    ValueError: If "
    "``timeout`` is negative.\n";
constexpr const char* kDroppedDoc =
    "Return how many events were dropped because the queue was full.\n\nReturns:\n    The "
    "count since ``subscribe()``; ``0`` while the reader keeps up.\n";
constexpr const char* kDroppedSamplesDoc =
    "Return how many of the dropped events were samples.\n\nReturns:\n    The part of "
    "``dropped()`` that were samples; the rest were statuses.\n";
constexpr const char* kGetTimedSampleDoc =
    "Return the latest sample together with the time it arrived.\n\nOne call reads both, so "
    "the time belongs to the sample.\n\nReturns:\n    TelemetryEvent: A ``\"sample\"`` "
    "event with its ``monotonic_time`` and\n    ``wall_time``.\n\nRaises:\n    "
    "RuntimeError: If no sample has been received since ``connect()``.\n";
constexpr const char* kCloseSubscriptionDoc =
    "End the subscription and wake every waiting ``get()``.\n\nEvents already queued can "
    "still be read. Safe to call more than once.\n";
constexpr const char* kClosedDoc =
    "Whether the subscription has ended, by ``close()`` or the receiver's disconnect.";
constexpr const char* kCapacityDoc = "The most events the queue holds.";
constexpr const char* kSubscriptionEnterDoc =
    "Return this subscription, for use in a ``with`` statement.";
constexpr const char* kSubscriptionExitDoc =
    "Close the subscription when the ``with`` block ends.\n\nAn exception from the block is "
    "never suppressed.\n";
constexpr const char* kIterDoc =
    "Return this subscription: iterating yields each event as it arrives.";
constexpr const char* kNextDoc =
    "Return the next event, waiting for it.\n\nRaises:\n    StopIteration: When the "
    "subscription has ended and nothing is queued.\n";
constexpr const char* kSubscribeDoc =
    "Subscribe to every sample and status received from now on.\n\nArgs:\n    capacity: "
    "Events the queue holds; when a slow reader lets it fill, the\n        oldest are dropped "
    "and counted.\n\nReturns:\n    A :class:`TelemetrySubscription`. It ends when it is "
    "closed, this\n    receiver disconnects, or the connection breaks.\n\nRaises:\n    ValueError: "
    "If ``capacity`` is "
    "0 or above 16777216.\n    RuntimeError: If the receiver is not connected (also while "
    "it\n        re-establishes a broken connection).\n";
constexpr const char* kStartRecordingDoc =
    "Record every sample and status to a CSV file until ``stop_recording()``.\n\nA writer "
    "thread of its own writes one row per sample and per status, in\narrival order, in whole "
    "rows that reach the file within about 10 ms. The\ncolumns are ``monotonic_s``, "
    "``wall_time`` (ISO-8601 UTC), ``J1`` to ``J6``,\n``X`` to ``W`` and the eight status "
    "fields, which repeat the latest status on\nevery row, then ``kind``: ``sample`` or "
    "``status``. A status row leaves the\njoint and "
    "pose columns empty. Rows the\nwriter cannot keep up with are dropped and counted.\n\n"
    "Args:\n    path: The file to create, or to replace.\n\nRaises:\n    RuntimeError: If a "
    "recording is already running, or the file cannot be\n        opened or written.\n";
constexpr const char* kStopRecordingDoc =
    "Stop the recording, write what is queued and close the file.\n\nReturns:\n    "
    "RecordingSummary: The file, the rows written and the rows lost.\n\nRaises:\n    "
    "RuntimeError: If no recording is running, or writing the file failed.\n";
constexpr const char* kIsRecordingDoc =
    "Return whether a recording is running.\n\nReturns:\n    ``True`` between "
    "``start_recording()`` and ``stop_recording()``.\n";
constexpr const char* kSummaryDoc =
    "What a finished recording wrote.\n\nAttributes:\n    path (str): The CSV file.\n    "
    "rows (int): Data rows written, without the header.\n    lost (int): Rows dropped because "
    "the writer could not keep up.\n";
constexpr const char* kSummaryReprDoc = "Return the path and the counts in one line.";

py::list listOf(const std::array<double, 6>& values) {
    return py::cast(std::vector<double>(values.begin(), values.end()));
}

using epson::python::ReleaseGil;
using Release = py::call_guard<ReleaseGil>;

/// How long a wait runs without the interpreter lock before it looks for a signal, so that
/// Ctrl-C ends a wait without a timeout.
constexpr double kSignalCheckSeconds = 0.1;

/// The oldest queued event within @p timeout seconds (None: no limit).
std::optional<TelemetryEvent> nextEvent(TelemetrySubscription& subscription,
                                        std::optional<double> timeout) {
    if (timeout && !(*timeout >= 0.0)) {
        throw py::value_error("timeout must be None or a non-negative number of seconds");
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        double slice = kSignalCheckSeconds;
        if (timeout) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            slice = std::clamp(*timeout - elapsed, 0.0, kSignalCheckSeconds);
        }
        std::optional<TelemetryEvent> event;
        bool ended = false;
        {
            ReleaseGil release;
            event = subscription.pop(
                std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(slice * 1000.0))));
            if (!event && subscription.closed()) {
                // Whatever was queued before the end is still to be read.
                event = subscription.pop(std::chrono::milliseconds::zero());
                ended = !event;
            }
        }
        if (event || ended || (timeout && slice < kSignalCheckSeconds)) {
            return event;
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
}

std::string eventRepr(const TelemetryEvent& event) {
    std::string text = "TelemetryEvent(kind=";
    text += event.kind == TelemetryEvent::Kind::Sample ? "'sample'" : "'status'";
    text += ", monotonic_time=" + py::repr(py::float_(event.monotonicSeconds)).cast<std::string>();
    if (event.kind == TelemetryEvent::Kind::Sample) {
        text += ", joints=" + py::repr(listOf(event.sample.joints)).cast<std::string>() +
                ", tcp_pose=" + py::repr(listOf(event.sample.tcpPose)).cast<std::string>();
    } else {
        text += ", status=" + py::repr(py::cast(event.status)).cast<std::string>();
    }
    return text + ")";
}

}  // namespace

PYBIND11_MODULE(_cell_telemetry, m, py::multiple_interpreters::not_supported()) {
    m.doc() = kModuleDoc;
    epson::python::rememberFinalizingThread();
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

    py::class_<TelemetryEvent>(m, "TelemetryEvent", kEventDoc)
        .def_property_readonly("kind",
                               [](const TelemetryEvent& e) {
                                   return e.kind == TelemetryEvent::Kind::Sample ? "sample"
                                                                                 : "status";
                               })
        .def_property_readonly("sample",
                               [](const TelemetryEvent& e) -> std::optional<TelemetrySample> {
                                   if (e.kind != TelemetryEvent::Kind::Sample) {
                                       return std::nullopt;
                                   }
                                   return e.sample;
                               })
        .def_property_readonly(
            "status",
            [](const TelemetryEvent& e) -> std::optional<ControllerStatusDict> {
                if (e.kind != TelemetryEvent::Kind::Status) {
                    return std::nullopt;
                }
                return py::reinterpret_steal<ControllerStatusDict>(py::cast(e.status).release());
            })
        .def_readonly("monotonic_time", &TelemetryEvent::monotonicSeconds)
        .def_readonly("wall_time", &TelemetryEvent::wallSeconds)
        .def("__repr__", &eventRepr, kEventReprDoc);

    py::class_<TelemetrySubscription, std::shared_ptr<TelemetrySubscription>>(
        m, "TelemetrySubscription", kSubscriptionDoc)
        .def("get", &nextEvent, py::arg("timeout") = py::none(), kGetDoc)
        .def("dropped", &TelemetrySubscription::dropped, kDroppedDoc, Release())
        .def("dropped_samples", &TelemetrySubscription::droppedSamples, kDroppedSamplesDoc,
             Release())
        .def("close", &TelemetrySubscription::close, kCloseSubscriptionDoc, Release())
        .def_property_readonly("closed", &TelemetrySubscription::closed, kClosedDoc)
        .def_property_readonly("capacity", &TelemetrySubscription::capacity, kCapacityDoc)
        .def(
            "__iter__", [](const std::shared_ptr<TelemetrySubscription>& self) { return self; },
            kIterDoc)
        .def(
            "__next__",
            [](TelemetrySubscription& subscription) {
                std::optional<TelemetryEvent> event = nextEvent(subscription, std::nullopt);
                if (!event) {
                    throw py::stop_iteration();
                }
                return std::move(*event);
            },
            kNextDoc)
        .def(
            "__enter__", [](const std::shared_ptr<TelemetrySubscription>& self) { return self; },
            kSubscriptionEnterDoc)
        .def(
            "__exit__",
            [](TelemetrySubscription& subscription, const py::object&, const py::object&,
               const py::object&) { subscription.close(); },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kSubscriptionExitDoc,
            Release());

    py::class_<RecordingSummary>(m, "RecordingSummary", kSummaryDoc)
        .def_readonly("path", &RecordingSummary::path)
        .def_readonly("rows", &RecordingSummary::rows)
        .def_readonly("lost", &RecordingSummary::lost)
        .def(
            "__repr__",
            [](const RecordingSummary& s) {
                return "RecordingSummary(path=" + py::repr(py::str(s.path)).cast<std::string>() +
                       ", rows=" + std::to_string(s.rows) + ", lost=" + std::to_string(s.lost) +
                       ")";
            },
            kSummaryReprDoc);

    py::class_<EthernetReceiveInterface, std::shared_ptr<EthernetReceiveInterface>>(
        m, "EthernetReceiveInterface", kReceiverDoc)
        // Dropping a receiver joins its thread and ends a recording: without the lock.
        .def(py::init([] {
                 return epson::python::destroyedWithoutTheLock(new EthernetReceiveInterface());
             }),
             kInitDoc)
        .def("connect", &EthernetReceiveInterface::connect, py::arg("host"),
             py::arg("port") = EthernetReceiveInterface::kDefaultPort, kConnectDoc, Release())
        .def("disconnect", &EthernetReceiveInterface::disconnect, kDisconnectDoc, Release())
        .def("is_connected", &EthernetReceiveInterface::isConnected, kIsConnectedDoc, Release())
        .def("has_sample", &EthernetReceiveInterface::hasSample, kHasSampleDoc, Release())
        .def("get_sample", &EthernetReceiveInterface::getSample, kGetSampleDoc, Release())
        .def("sample_age_seconds", &EthernetReceiveInterface::sampleAgeSeconds, kSampleAgeDoc,
             Release())
        .def("get_timed_sample", &EthernetReceiveInterface::getTimedSample, kGetTimedSampleDoc,
             Release())
        .def("has_controller_status", &EthernetReceiveInterface::hasControllerStatus, kHasStatusDoc,
             Release())
        .def(
            "get_controller_status",
            [](const EthernetReceiveInterface& receiver) {
                epson::ControllerStatus status;
                {
                    ReleaseGil release;
                    status = receiver.getControllerStatus();
                }
                return py::reinterpret_steal<ControllerStatusDict>(py::cast(status).release());
            },
            kGetStatusDoc)
        .def("controller_status_age_seconds", &EthernetReceiveInterface::controllerStatusAgeSeconds,
             kStatusAgeDoc, Release())
        .def("subscribe", &EthernetReceiveInterface::subscribe,
             py::arg("capacity") = EthernetReceiveInterface::kDefaultSubscriptionCapacity,
             kSubscribeDoc, Release())
        .def(
            "start_recording",
            [](EthernetReceiveInterface& receiver, const std::filesystem::path& path) {
                receiver.startRecording(path.string());
            },
            py::arg("path"), kStartRecordingDoc, Release())
        .def("stop_recording", &EthernetReceiveInterface::stopRecording, kStopRecordingDoc,
             Release())
        .def("is_recording", &EthernetReceiveInterface::isRecording, kIsRecordingDoc, Release())
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
