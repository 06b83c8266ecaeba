#include "host/host.hpp"

#include <cerrno>

namespace host {

namespace detail {
std::atomic<bool> g_exiting{false};
std::thread::id g_exit_thread;
}  // namespace detail

namespace {
void (*g_on_exit)() = nullptr;

// Runs among the interpreter's atexit callbacks, before it finalizes and before any other thread
// can be ended on re-taking the interpreter lock.
PyObject* mark_exit(PyObject*, PyObject*) {
  // The module's own threads end first, while they may still finish what they hold.
  if (g_on_exit) g_on_exit();
  detail::g_exit_thread = std::this_thread::get_id();
  detail::g_exiting.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef g_mark_exit_def = {"_mark_exit", mark_exit, METH_NOARGS, nullptr};
}  // namespace

namespace detail {
LayerState L;
}  // namespace detail

void init_layer(void (*on_exit)()) {
  detail::L.print = keep(getattr(import("builtins").get(), "print"));
  detail::L.method_type = keep(getattr(import("types").get(), "MethodType"));
  detail::L.function_type = detail::create_function_type();
  g_on_exit = on_exit;
  // An interpreter started again in the same process (embedding) begins alive.
  detail::g_exiting.store(false, std::memory_order_release);
  Ref hook = Ref::steal(PyCFunction_NewEx(&g_mark_exit_def, nullptr, nullptr));
  Ref atexit = import("atexit");
  Ref register_fn = getattr(atexit.get(), "register");
  call(register_fn.get(), hook.get());
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyError{};
}


Fetched::Fetched() noexcept {
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  if (t) PyErr_NormalizeException(&t, &v, &tb);
  type_ = Ref::steal_or_null(t);
  value_ = Ref::steal_or_null(v);
  tb_ = Ref::steal_or_null(tb);
}

bool Fetched::matches(PyObject* exc_type) const {
  return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

void Fetched::restore() noexcept {
  assert(!restored_ && "an error is given back once");
  restored_ = true;
  PyErr_Restore(type_.release(), value_.release(), tb_.release());
}

void log_ordinary_error(PyObject* logger, PyObject* level, const char* prefix) {
  Fetched err = ordinary_error();
  Ref message = concat(prefix, err.value());
  log(logger, level, message.get());
}

void set_errno_error(int err) {
  errno = err;
  PyErr_SetFromErrno(PyExc_OSError);  // picks the subclass by errno
}

void set_socket_error(int err) {
#ifdef _WIN32
  PyErr_SetFromWindowsErr(err);  // maps Winsock's codes to the same OSError subclasses
#else
  set_errno_error(err);
#endif
}

Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

Ref text(const std::string& utf8) {
  return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref intern(const char* name) { return Ref::steal(PyUnicode_InternFromString(name)); }

Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

Ref import(const char* module) { return Ref::steal(PyImport_ImportModule(module)); }

Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref getattr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

void setattr(PyObject* o, PyObject* name, PyObject* value) { check(PyObject_SetAttr(o, name, value)); }

bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

std::string str_of(PyObject* o) {
  Ref s = Ref::steal(PyObject_Str(o));
  Ref b = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t len = 0;
  check(PyBytes_AsStringAndSize(b.get(), &data, &len));
  return std::string(data, static_cast<std::size_t>(len));
}

Ref concat(const char* prefix, PyObject* o) {
  Ref p = text(prefix);
  Ref s = Ref::steal(PyObject_Str(o));
  return Ref::steal(PyUnicode_Concat(p.get(), s.get()));
}

long long as_long_long(PyObject* o) {
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

void bind(PyObject* module, const char* name, const Ref& value) {
  check(PyObject_SetAttrString(module, name, value.get()));
}

Ref none() { return Ref::borrow(Py_None); }

Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

Ref call_kw(PyObject* callable, PyObject* args_tuple, PyObject* kwargs) {
  return Ref::steal(PyObject_Call(callable, args_tuple, kwargs));
}

void print_line(PyObject* line) { call(detail::L.print, line); }

void print_line(const char* utf8) {
  Ref line = text(utf8);
  print_line(line.get());
}

void log(PyObject* logger, PyObject* level_method, PyObject* message) {
  call_method(logger, level_method, message);
}

}  // namespace host
