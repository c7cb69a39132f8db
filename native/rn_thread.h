// Threads the interpreter may end at exit.
//
// At exit CPython 3.11 ends a daemon thread that asks for the GIL back (after
// a wait with the GIL released, or at the eval loop's switch inside any
// Python call) with pthread_exit().  glibc then unwinds that thread's stack,
// and every C++ frame of ours on it runs its destructors: references dropped
// without the GIL while the main thread finalises, a crash at exit.  A thread
// that ran `park_at_exit()` stops where it is instead: the unwinding calls
// the parking routine before it leaves the first frame, so no destructor of
// any frame runs (ours, the interpreter's or a library's), and the process
// exits around the parked thread as it does around a blocked one.
//
// Mechanism: a cleanup handler of the C form of pthread_cleanup_push,
// registered once per thread in a buffer off the thread's stack.  glibc's
// unwinding runs such handlers from its stop function as soon as the frame
// being left lies above the buffer; for a buffer off the stack that is the
// very first frame.  C++ sees only the class form of pthread_cleanup_push
// (which is itself a destructor), hence the declarations below.  The only
// unwinding the interpreter starts is this one, so nothing else changes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

extern "C" {
void _pthread_cleanup_push(struct _pthread_cleanup_buffer* buffer, void (*routine)(void*),
                           void* arg) noexcept;
void _pthread_cleanup_pop(struct _pthread_cleanup_buffer* buffer, int execute) noexcept;
}

namespace rn {

namespace detail {

[[noreturn]] inline void park_forever(void*) {
    for (;;) pause();
}

// The calling thread's registration; popped when the thread ends normally.
// Each module has its own; thread-local destructors run in reverse order of
// construction, which keeps glibc's handler list last in, first out.
struct Parking {
    struct _pthread_cleanup_buffer* buffer = nullptr;
    ~Parking() {
        if (!buffer) return;
        _pthread_cleanup_pop(buffer, 0);
        std::free(buffer);
    }
};

// Whether the calling thread is registered.  A plain flag, constant
// initialised and trivially destroyed, so that the test after the first
// call is one thread-local read: no guard, no destructor registration
// (those belong to the Parking object, touched only when registering).
inline bool& parked() {
    static thread_local bool flag = false;
    return flag;
}

[[gnu::noinline, gnu::cold]] inline void register_parking() {
    thread_local Parking parking;
    if (parking.buffer) return;
    auto* b = static_cast<struct _pthread_cleanup_buffer*>(
        std::malloc(sizeof(struct _pthread_cleanup_buffer)));
    if (!b) return;  // without it the thread unwinds as it always did
    _pthread_cleanup_push(b, park_forever, nullptr);
    parking.buffer = b;
    parked() = true;
}

}  // namespace detail

// From now on, if the interpreter ends the calling thread, it parks instead
// of unwinding.  One thread-local test after the first call on a thread;
// call it before any wait or Python call that code of a thread loop (or a
// wait that a daemon thread may sit in) makes while C++ frames of ours hold
// references.
inline void park_at_exit() {
    if (__builtin_expect(!detail::parked(), 0)) detail::register_parking();
}

// The GIL released for the life of the object (C++ work only in between),
// and the thread parked rather than unwound if the interpreter ends it when
// it takes the GIL back.
class Unlocked {
public:
    Unlocked() {
        park_at_exit();
        state_ = PyEval_SaveThread();
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// fn() run with the GIL released, as by Unlocked; returns what fn returns.
template <typename F>
inline decltype(auto) without_gil(F&& fn) {
    Unlocked unlocked;
    return std::forward<F>(fn)();
}

}  // namespace rn
