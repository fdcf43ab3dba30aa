// Waits on the controller that keep the interpreter free and, on the main thread, Ctrl-C
// working: shared by both modules, each of which drives a command link.

#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "cross_module.hpp"
#include "epson/CellCommandLink.hpp"
#include "epson/console.hpp"

namespace epson::python {

using Clock = std::chrono::steady_clock;

/// How often the main thread looks for a pending signal while it waits.
inline constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);
/// How long, once the abort is acknowledged, the interrupted call's own end is awaited, so that
/// the link is usually free again when the interruption reaches the caller.
inline constexpr auto kAbortedCallGrace = std::chrono::milliseconds(200);

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

/// The main thread's identity, taken once at import; only it runs Python's signal handlers.
inline unsigned long& mainThreadIdent() {
    static unsigned long ident = 0;
    return ident;
}

inline void rememberMainThread() {
    mainThreadIdent() =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

/// The Python exception object that @p error becomes at this module's boundary.
template <typename ClassNamed>
py::object pythonError(const std::exception_ptr& error, ClassNamed classNamed) {
    translateConnectorErrors(error, classNamed);
    if (PyErr_Occurred() == nullptr) {
        try {
            std::rethrow_exception(error);
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::out_of_range& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "unknown error");
        }
    }
    py::error_already_set fetched;
    return fetched.value();
}

/// Runs @p call without the interpreter lock. On the main thread the call runs on a worker while
/// the main thread looks for signals between short waits: an exception from a handler (Ctrl-C's
/// KeyboardInterrupt) aborts the motion of @p link, which returns within the control deadline,
/// and is raised then. When the abort fails the interruption carries the abort's error as its
/// __cause__ and an error line says that the motion may still be running: a bare interruption
/// would report a stop that did not happen.
template <typename ClassNamed>
void runInterruptible(const std::shared_ptr<CellCommandLink>& link, std::function<void()> call,
                      ClassNamed classNamed) {
    if (PyThread_get_thread_ident() != mainThreadIdent()) {
        py::gil_scoped_release release;
        call();
        return;
    }
    auto completion = std::make_shared<Completion>();
    std::thread worker([call = std::move(call), completion] {
        try {
            call();
            completion->finish(nullptr);
        } catch (...) {
            completion->finish(std::current_exception());
        }
    });
    std::optional<py::error_already_set> interruption;
    std::exception_ptr abortError;
    bool finished = false;
    {
        py::gil_scoped_release release;
        while (!(finished = completion->waitUntil(Clock::now() + kSignalCheckInterval))) {
            py::gil_scoped_acquire acquire;
            if (PyErr_CheckSignals() != 0) {
                interruption.emplace();  // takes the handler's exception out of the interpreter
                break;
            }
        }
        // With no motion anywhere there is nothing to stop: a plain interruption, no alarm.
        if (interruption && link->motionMayRun()) {
            try {
                link->abortMotion();
            } catch (...) {
                abortError = std::current_exception();
            }
            finished = completion->waitUntil(Clock::now() + kAbortedCallGrace);
        }
    }
    if (finished) {
        worker.join();
    } else {
        // Still waiting for the controller's answer to the aborted motion; it owns what it uses.
        worker.detach();
    }
    if (interruption) {
        if (abortError) {
            py::object cause = pythonError(abortError, classNamed);
            writeConsoleLine(ConsoleLevel::Error,
                             "Epson motion may still be running: the abort after an interruption "
                             "failed: " +
                                 py::str(cause).cast<std::string>());
            PyException_SetCause(interruption->value().ptr(), cause.release().ptr());
        }
        throw *interruption;
    }
    if (const auto error = completion->error()) {
        std::rethrow_exception(error);
    }
}

/// Shared ownership of a new native object whose destruction, which may wait for a motion,
/// releases the interpreter lock when the last owner lets go while holding it.
template <typename T>
std::shared_ptr<T> ownedWithoutTheLock(T* object) {
    return std::shared_ptr<T>(object, [](T* owned) {
        if (PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            delete owned;
        } else {
            delete owned;
        }
    });
}

}  // namespace epson::python
