// The thin layer between our C++ code and the host interpreter, shared by the three modules.
//
// - Ref owns a strong reference; a plain PyObject* parameter or member is borrowed.
// - A Python error set by the C API becomes a C++ `PyError` (the error stays in the interpreter's
//   error indicator); `boundary` turns it back into a NULL return where the interpreter calls us.
// - without_gil() gives the interpreter lock away around a blocking call and takes it back.
// - At interpreter exit, a daemon thread that tries to take the interpreter lock back is ended by
//   a forced unwind (pthread_exit), without the lock. So: no frame between such a re-take and the
//   thread's start is noexcept, every catch-all lets the unwind through (thread_exit_caught()),
//   and once the interpreter has begun to exit nothing that such a thread unwinds touches Python
//   (exiting_elsewhere()).
#pragma once

// Every file of the modules includes this (or a header that does) before any other header: Python.h
// defines feature macros that the system's own headers must see first.
#include <Python.h>

#include <atomic>
#include <cassert>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

// A pyconfig.h that does not describe the target makes every object size wrong without a word
// (the Windows one under a GCC-style compiler without MS_WIN64 says 32 bits, for one).
static_assert(sizeof(Py_ssize_t) == sizeof(void*) && SIZEOF_VOID_P == sizeof(void*),
              "pyconfig.h does not match the target");

#if defined(__SANITIZE_ADDRESS__)
#define HOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOST_ASAN 1
#endif
#endif
#ifdef HOST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace host {

namespace detail {
extern std::atomic<bool> g_exiting;
extern std::thread::id g_exit_thread;  // written before g_exiting is set, read after
inline thread_local bool t_ending = false;
}  // namespace detail

// True on any thread but the one that runs the interpreter's exit, once that exit has begun
// (our atexit hook has run). Only such a thread can be ended by a forced unwind, at any call that
// may take the interpreter lock back, and then without holding it: it must leave every Python
// object alone. Until the interpreter really finalizes, such a thread may still hold the lock and
// run; what it skips then is a reference count, which costs nothing at exit.
inline bool exiting_elsewhere() noexcept {
  return detail::g_exiting.load(std::memory_order_acquire) && std::this_thread::get_id() != detail::g_exit_thread;
}

// Whether the interpreter's exit has begun (our atexit hook has run), on any thread. From then on
// a daemon thread may be stopped for good at any moment: nothing may wait for one.
inline bool exit_begun() noexcept { return detail::g_exiting.load(std::memory_order_acquire); }

// In a catch-all: whether what was caught is the forced unwind that ends this thread, which the
// handler must rethrow. It is no C++ exception, so std::current_exception() is empty for it (a
// handler for abi::__forced_unwind would get its parameter bound to null, which the undefined-
// behaviour sanitizer reports).
//
// The rethrow leaves std::uncaught_exceptions() raised for the rest of the unwind, as if an error
// were on its way out, so the unwind is noted here and a destructor below asks thread_exit_noted().
inline bool thread_exit_caught() noexcept {
  if (std::current_exception()) return false;
  detail::t_ending = true;
  return true;
}
inline bool thread_exit_noted() noexcept { return detail::t_ending; }

// The one question a destructor asks before it touches Python: whether this thread is being ended
// by the exit (its unwind noted, or the exit begun elsewhere). It must then leave every object as
// it is: it may not hold the interpreter lock.
inline bool ended_by_exit() noexcept { return thread_exit_noted() || exiting_elsewhere(); }

// The definition of a module as ours are made: no docstring, its state kept in globals filled at
// import (so a second interpreter in the process is not supported).
inline PyModuleDef module_def(const char* name) {
  return PyModuleDef{PyModuleDef_HEAD_INIT, name, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// The first step of every module's import: fills the layer's own state (what it keeps of the
// host, below) and registers the atexit hook that marks the exit as begun and runs `on_exit`
// (stops the module's own native threads, which must not touch Python afterwards).
void init_layer(void (*on_exit)() = nullptr);

namespace detail {
// What the layer keeps for as long as the module lives, filled by init_layer.
struct LayerState {
  PyObject* print;               // builtins.print
  PyObject* method_type;         // types.MethodType: binding for plain attribute access
  PyTypeObject* function_type;   // the type of our functions (native_function.cpp)
};
extern LayerState L;
PyTypeObject* create_function_type();
}  // namespace detail

// Thrown while the interpreter's error indicator is set.
struct PyError {};

[[noreturn]] inline void throw_error() {
  assert(PyErr_Occurred() && "a PyError is thrown only with the error indicator set");
  throw PyError{};
}
[[noreturn]] void raise(PyObject* type, const char* message);

// Sets the OSError subclass (ConnectionResetError, BrokenPipeError, ...) the host makes of a C
// errno, or of the error of a failed socket call (Winsock's own code on Windows, errno elsewhere).
void set_errno_error(int err);
void set_socket_error(int err);

inline PyObject* check(PyObject* p) {
  if (!p) throw_error();
  return p;
}
inline int check(int rc) {
  if (rc < 0) throw_error();
  return rc;
}

// A borrowed reference, as a member: whoever builds the holder keeps the object alive for the
// holder's whole life, and says where in a comment at the member. Never released.
class Borrowed {
 public:
  Borrowed() noexcept = default;
  explicit Borrowed(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }

 private:
  PyObject* p_ = nullptr;
};

// An owned (strong) reference.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() {
    if (p_ && !exiting_elsewhere()) Py_DECREF(p_);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {  // o, the old value, is released as it goes
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference returned by the C API; NULL means the call failed.
  static Ref steal(PyObject* p) { return Ref(check(p), 0); }
  // Takes over a new reference that may legitimately be NULL (nothing is thrown).
  static Ref steal_or_null(PyObject* p) noexcept { return Ref(p, 0); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p, 0);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  Ref(PyObject* p, int) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// The pending Python error, taken out of the indicator and normalised; restore() puts it back.
class Fetched {
 public:
  Fetched() noexcept;                       // fetches whatever is set (possibly nothing)
  bool matches(PyObject* exc_type) const;   // PyErr_GivenExceptionMatches on the type
  PyObject* value() const noexcept { return value_.get(); }
  void restore() noexcept;                  // gives the error back to the indicator, once
 private:
  Ref type_, value_, tb_;
  bool restored_ = false;
};

// Inside a catch of PyError: the pending error, taken, when it is an ordinary one (the host's
// Exception kind). Anything else (an interrupt, an exit request) is not ours to swallow: it goes
// on to the caller, after `before_passing_on` (what must happen on the way out either way).
template <class F>
Fetched ordinary_error(F&& before_passing_on) {
  Fetched err;
  if (!err.matches(PyExc_Exception)) {
    before_passing_on();
    err.restore();
    throw_error();
  }
  return err;
}
inline Fetched ordinary_error() {
  return ordinary_error([] {});
}

// Inside a catch of PyError: an ordinary error is logged through `logger`'s method `level` (its
// error or debug, say) as `prefix` followed by the error's text, and cleared; anything else goes
// on to the caller.
void log_ordinary_error(PyObject* logger, PyObject* level, const char* prefix);

// Runs `step`; whether it ended without an ordinary error, which is logged as above.
template <class F>
bool log_ordinary_errors(PyObject* logger, PyObject* level, const char* prefix, F&& step) {
  try {
    step();
    return true;
  } catch (const PyError&) {
    log_ordinary_error(logger, level, prefix);
    return false;
  }
}

// Runs `blocking` (which must not throw, nor touch Python) without the interpreter lock, then
// takes the lock back. Not a scope guard: the re-take may end the thread by a forced unwind at
// exit, and a destructor is no place for that to start.
template <class F>
auto without_gil(F&& blocking) {
  static_assert(noexcept(blocking()), "the call made without the interpreter lock must not throw");
  PyThreadState* state = PyEval_SaveThread();
  auto result = blocking();
#ifdef HOST_ASAN
  // The forced unwind starts in the interpreter, which is not instrumented: the frames it discards
  // would stay poisoned, and the thread's exit would trip over them.
  __asan_handle_no_return();
#endif
  PyEval_RestoreThread(state);
  return result;
}

// Runs `f` where the interpreter called us: a PyError leaves its error set and yields NULL,
// a C++ failure becomes the matching Python error. Not noexcept: a thread ended at exit unwinds
// through here.
template <class F>
PyObject* boundary(F&& f) {
  try {
    return f();
  } catch (const PyError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  } catch (...) {
    if (thread_exit_caught()) throw;
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return nullptr;
  }
}

// Small conveniences, each throwing PyError on failure.
Ref text(const char* utf8);
Ref text(const std::string& utf8);
Ref intern(const char* name);  // immortal for our purposes: kept by the caller for the process's life
// Keeps `r` for the process's life, as a module's state does with what it holds; returns it.
inline PyObject* keep(Ref r) noexcept { return r.release(); }
inline PyObject* keep_name(const char* name) { return keep(intern(name)); }
Ref integer(long long v);
Ref import(const char* module);
Ref getattr(PyObject* o, PyObject* name);
Ref getattr(PyObject* o, const char* name);
void setattr(PyObject* o, PyObject* name, PyObject* value);
bool truthy(PyObject* o);
std::string str_of(PyObject* o);     // str(o) as UTF-8
Ref concat(const char* prefix, PyObject* o);   // prefix + str(o), as a Python text
long long as_long_long(PyObject* o);  // exact, OverflowError beyond 64 bits
bool equals(PyObject* a, PyObject* b);  // a == b, as the host compares
void bind(PyObject* module, const char* name, const Ref& value);  // module.<name> = value
Ref none();
Ref boolean(bool b);

// Python ints as C integers. PyLong_AsLongLongAndOverflow reads an int (a subclass too) from its
// own digits and runs none of its code, so a failure there is a real error and is raised.
enum class IntKind { exact, or_subclass };

// True, with the value in `out`, when `o` is an int of `kind` within [lo, hi]; false, with `out`
// untouched, for anything else. Inlined: the server runs it once per register of a read.
[[gnu::always_inline]] inline bool int_within(PyObject* o, long long& out, long long lo = LLONG_MIN,
                                              long long hi = LLONG_MAX, IntKind kind = IntKind::exact) {
  if (kind == IntKind::exact ? !PyLong_CheckExact(o) : !PyLong_Check(o)) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error();
  if (overflow || v < lo || v > hi) return false;
  out = v;
  return true;
}

// The value of the int `o`, held at LLONG_MIN or LLONG_MAX when it lies beyond them.
inline long long clamped_int(PyObject* o) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error();
  if (overflow) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
  return v;
}

// Calls with positional arguments only.
template <class... A>
Ref call(PyObject* callable, A... args) {
  static_assert((std::is_convertible_v<A, PyObject*> && ...), "borrowed PyObject* arguments");
  return Ref::steal(PyObject_CallFunctionObjArgs(callable, static_cast<PyObject*>(args)..., nullptr));
}
template <class... A>
Ref call_method(PyObject* o, PyObject* name, A... args) {
  return Ref::steal(PyObject_CallMethodObjArgs(o, name, static_cast<PyObject*>(args)..., nullptr));
}
Ref call_kw(PyObject* callable, PyObject* args_tuple, PyObject* kwargs);

// The hook rule: read the attribute afresh, call it only when it is true, with positional
// arguments, ignoring its result; whatever it raises propagates.
template <class... A>
void fire_hook(PyObject* self, PyObject* hook_name, A... args) {
  Ref hook = getattr(self, hook_name);
  if (truthy(hook.get())) call(hook.get(), args...);
}

// Writes one line through the host's print(), so a redirected sys.stdout sees it.
void print_line(PyObject* text);
void print_line(const char* utf8);

// Logs through a logging.Logger object at the given method ("debug", "error", ...).
void log(PyObject* logger, PyObject* level_method, PyObject* message);

}  // namespace host
