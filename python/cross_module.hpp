// What the connector's modules share at run time beside the type registry: the console route,
// and the error classes that `_cell_command_link` registers. `_cell_station` holds its own copy
// of the command link, so both modules need the same glue.

#pragma once

#include <pybind11/pybind11.h>

#include <exception>

#include "epson/console.hpp"
#include "epson/errors.hpp"

namespace epson::python {

namespace py = pybind11;

/// The one console route of the process, shared through pybind11's cross-module data so that
/// every copy of the command link writes through it. Call with the interpreter lock held.
inline ConsoleRoute* sharedConsoleRoute() {
    constexpr const char* kKey = "epson_cell.console_route";
    if (void* existing = py::get_shared_data(kKey)) {
        return static_cast<ConsoleRoute*>(existing);
    }
    // Never freed: links on other threads may write through it until the process ends.
    return static_cast<ConsoleRoute*>(py::set_shared_data(kKey, new ConsoleRoute));
}

/// Sets the Python error for @p error as an instance of @p type, with a refusal's fields; as a
/// plain RuntimeError when there is no such class.
inline void raiseConnectorError(py::handle type, const std::runtime_error& error,
                                const ControllerError* refusal) {
    if (!type) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return;
    }
    try {
        py::object instance = type(error.what());
        if (refusal != nullptr) {
            instance.attr("code") = refusal->code();
            instance.attr("command") = refusal->command();
            instance.attr("reply") = refusal->reply();
            instance.attr("meaning") = refusal->meaning();
        }
        PyErr_SetObject(type.ptr(), instance.ptr());
    } catch (py::error_already_set& failure) {
        failure.restore();
    }
}

/// Translates the command link's error kinds to the Python classes that @p classNamed returns
/// by name (an empty handle falls back to RuntimeError). Any other exception passes on to the
/// next translator.
template <typename ClassNamed>
void translateConnectorErrors(const std::exception_ptr& pending, ClassNamed classNamed) {
    if (!pending) {
        return;
    }
    try {
        std::rethrow_exception(pending);
    } catch (const MotionAbortedError& error) {
        raiseConnectorError(classNamed("MotionAbortedError"), error, &error);
    } catch (const ControllerError& error) {
        raiseConnectorError(classNamed("ControllerError"), error, &error);
    } catch (const ConnectionLostError& error) {
        raiseConnectorError(classNamed("ConnectionLostError"), error, nullptr);
    } catch (const NotConnectedError& error) {
        raiseConnectorError(classNamed("NotConnectedError"), error, nullptr);
    } catch (const OutcomeUnknownError& error) {
        raiseConnectorError(classNamed("OutcomeUnknownError"), error, nullptr);
    }
}

}  // namespace epson::python
