// Ctrl-C while a bed works without the interpreter lock: a poll that the core calls every few
// hundred chunks or rows. It reads a steady clock, and every 20 ms of wall time, on the main thread
// only (the only thread Python runs signal handlers on), takes the interpreter lock to run the
// pending signal handlers. A handler that raises (KeyboardInterrupt) stops the work; the
// exception is kept and raised again once the call has the lock back.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "pilora.hpp"

namespace pilora::native {

namespace py = pybind11;

// Python's main thread, found when the module is imported (not lazily: a static initialised
// under the interpreter lock can deadlock with another thread waiting for the same static).
inline std::atomic<unsigned long> main_thread_ident{0};

inline void remember_main_thread() {
    main_thread_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

inline bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident.load(); }

class SignalPoll {
public:
    static constexpr std::chrono::milliseconds period{20};

    // Made while holding the interpreter lock.
    SignalPoll() : main_thread_(on_main_thread()), next_(std::chrono::steady_clock::now() + period) {}

    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    // The poll to hand to the core, asked every `interval` chunks or rows; none off the main thread.
    InterruptPoll poll(std::uint32_t interval) {
        if (!main_thread_) return {};
        return {&SignalPoll::check, this, interval};
    }

    // After the core stopped on this poll, with the interpreter lock held: raises what the signal
    // handler raised.
    [[noreturn]] void raise() {
        if (error_) throw std::move(*error_);
        throw std::runtime_error("interrupted");
    }

private:
    static bool check(void* context) {
        auto& self = *static_cast<SignalPoll*>(context);
        const auto now = std::chrono::steady_clock::now();
        if (now < self.next_) return false;
        self.next_ = now + period;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        self.error_.emplace();  // takes the raised exception
        return true;
    }

    bool main_thread_;
    std::chrono::steady_clock::time_point next_;
    std::optional<py::error_already_set> error_;
};

}  // namespace pilora::native
