// Releasing the interpreter lock in a way that interpreter exit cannot turn into a crash.

#pragma once

#include <pybind11/pybind11.h>

#include <unistd.h>

#include <memory>

namespace epson::python {

/// The main thread's identity, taken at import; it is the one that finalizes the interpreter.
inline unsigned long& finalizingThreadIdent() {
    static unsigned long ident = 0;
    return ident;
}

inline void rememberFinalizingThread() {
    finalizingThreadIdent() = pybind11::module_::import("threading")
                                  .attr("main_thread")()
                                  .attr("ident")
                                  .cast<unsigned long>();
}

/// Releases the interpreter lock for its lifetime, like pybind11's gil_scoped_release, but never
/// takes it back on a thread other than the main one once the interpreter is finalizing: such a
/// thread is ended by pthread_exit inside the lock's acquisition, and that unwinding through a
/// noexcept destructor terminates the process ("terminate called without an active
/// exception"). That thread stops here instead, touching nothing, until the process exits.
class ReleaseGil {
  public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    // noexcept(false): should finalization begin between the check and the acquisition, the
    // thread's forced unwinding passes through instead of terminating the process.
    ~ReleaseGil() noexcept(false) {
        if (_Py_IsFinalizing() != 0 && PyThread_get_thread_ident() != finalizingThreadIdent()) {
            for (;;) {
                ::pause();
            }
        }
        PyEval_RestoreThread(state_);
    }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

  private:
    PyThreadState* state_;
};

/// Shared ownership of @p object whose destruction, which may wait for a thread or a file,
/// runs without the interpreter lock when the last owner lets go while holding it.
template <typename T>
std::shared_ptr<T> destroyedWithoutTheLock(T* object) {
    return std::shared_ptr<T>(object, [](T* owned) {
        if (PyGILState_Check() != 0) {
            ReleaseGil release;
            delete owned;
        } else {
            delete owned;
        }
    });
}

}  // namespace epson::python
