// What Python could observe of serving a request (see observability.hpp).
#include "server/observability.hpp"

#include <utility>

using host::Ref;

namespace holdbank {

bool is_quiet_hook(PyObject* server, PyObject* hook) {
  Ref h = host::getattr(server, hook);
  return is_quiet_value(h.get());
}

bool is_quiet_method(PyObject* server, PyObject* instance_dict, PyObject* method, PyObject* fn, PyObject* hook) {
  return is_own_method_in(server, instance_dict, method, fn) && is_quiet_hook(server, hook);
}

namespace {

// Generic attribute access alone does not say that reading runs no code of the host's: a class
// may put a property (or any object with a __get__) under one of these names. Our own methods are
// the one kind of descriptor allowed; a metaclass other than type could run code on the class
// lookup itself.
bool inert_class_attributes(PyTypeObject* type) {
  PyObject* cls = reinterpret_cast<PyObject*>(type);
  if (Py_TYPE(cls) != &PyType_Type) return false;
  const std::pair<PyObject*, PyObject*> names[] = {
      {M.hr, nullptr},          {M.size, nullptr},        {M.lock, nullptr},
      {M.rw_ranges, nullptr},   {M.ro_ranges, nullptr},   {M.CUE_OnRead, nullptr},
      {M.CUE_OnWrite, nullptr}, {M.CUE_OnWriteDenied, nullptr},
      {M._on_read, M.fn_on_read}, {M._on_write, M.fn_on_write}, {M._on_write_denied, M.fn_on_write_denied},
      {M._is_writable, M.fn_is_writable}};
  Ref mro = host::getattr(cls, M.dunder_mro);
  const Py_ssize_t n = PyTuple_Size(mro.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref dict = host::getattr(PyTuple_GetItem(mro.get(), i), M.dunder_dict);
    for (const auto& [name, own] : names) {
      Ref found = Ref::steal_or_null(PyObject_GetItem(dict.get(), name));
      if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error();
        PyErr_Clear();
        continue;
      }
      if (found.get() != own && PyType_GetSlot(Py_TYPE(found.get()), Py_tp_descr_get)) return false;
    }
  }
  return true;
}

bool inert_class_attributes_lately(PyTypeObject* type, ClassVerdict& seen) {
  const auto now = std::chrono::steady_clock::now();
  if (seen.type.get() == reinterpret_cast<PyObject*>(type) && now - seen.at < std::chrono::milliseconds(100))
    return seen.inert;
  const bool inert = inert_class_attributes(type);
  seen.type = Ref::borrow(reinterpret_cast<PyObject*>(type));
  seen.inert = inert;
  seen.at = now;
  return inert;
}

// The instance's own dictionary, the one generic attribute access reads (not whatever a class
// might put under the name __dict__); null when it has none.
Ref own_dict(PyObject* server) {
  Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(server, nullptr));
  if (!dict) PyErr_Clear();
  return dict;
}

// server.<name> under plain attribute access: no class attribute under these names runs code or
// takes precedence, so an instance value is the answer, found in the dictionary without walking
// the class first; otherwise whatever the class gives.
Ref plain_attr(PyObject* server, PyObject* dict, PyObject* name) {
  if (dict) {
    if (PyObject* v = PyDict_GetItemWithError(dict, name)) return Ref::borrow(v);
    if (PyErr_Occurred()) host::throw_error();
  }
  return host::getattr(server, name);
}

void fill_shape(PyObject* server, ClassVerdict& seen, ServerShape& s, WritableRanges& ranges) {
  if (!plain_attribute_access(server, seen)) return;
  Ref dict = own_dict(server);
  PyObject* d = dict.get();
  s.hr = plain_attr(server, d, M.hr);
  Ref size = plain_attr(server, d, M.size);
  s.lock = plain_attr(server, d, M.lock);
  s.plain = host::int_within(size.get(), s.size) && PyList_CheckExact(s.hr.get()) &&
            reinterpret_cast<PyObject*>(Py_TYPE(s.lock.get())) == M.plain_lock_type;
  if (!s.plain) return;
  auto quiet = [&](PyObject* method, PyObject* fn, PyObject* hook) {
    return is_own_method_in(server, d, method, fn) && is_quiet_value(plain_attr(server, d, hook).get());
  };
  s.read_quiet = quiet(M._on_read, M.fn_on_read, M.CUE_OnRead);
  s.write_quiet = quiet(M._on_write, M.fn_on_write, M.CUE_OnWrite);
  s.denied_quiet = quiet(M._on_write_denied, M.fn_on_write_denied, M.CUE_OnWriteDenied);
  if (!is_own_method_in(server, d, M._is_writable, M.fn_is_writable)) return;
  Ref rw = plain_attr(server, d, M.rw_ranges);
  Ref ro = plain_attr(server, d, M.ro_ranges);
  s.ranges_native = plain_ranges(rw.get(), ro.get(), ranges);
}

}  // namespace

ClassVerdict& thread_verdict() {
  static ClassVerdict* seen = new ClassVerdict;
  return *seen;
}

bool plain_attribute_access(PyObject* server, ClassVerdict& seen) {
  PyTypeObject* type = Py_TYPE(server);
  return PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(PyObject_GenericGetAttr) &&
         inert_class_attributes_lately(type, seen);
}

void read_shape(PyObject* server, ClassVerdict& seen, ServerShape& out, WritableRanges& ranges) {
  try {
    fill_shape(server, seen, out, ranges);
  } catch (const host::PyError&) {
    PyErr_Clear();
    out = ServerShape{};
  }
}

bool unobservable(PyObject* server) {
  // The hooks first: when one is set, that is all it takes to know.
  for (PyObject* hook : {M.CUE_OnRead, M.CUE_OnWrite, M.CUE_OnWriteDenied})
    if (!is_quiet_hook(server, hook)) return false;
  ServerShape shape;
  static thread_local WritableRanges ranges;  // plain numbers: kept, so a look allocates nothing
  read_shape(server, thread_verdict(), shape, ranges);
  return shape.unobservable();
}

}  // namespace holdbank
