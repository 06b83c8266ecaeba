#include "host/native_function.hpp"

#include <structmember.h>

#include <cstring>
#include <string>

namespace host {
namespace {

struct NativeFunction {
  PyObject_HEAD
  Impl impl;
  int nparams;    // including self
  int nrequired;  // the leading parameters without a default
  PyObject* names[kMaxParams];     // interned
  PyObject* defaults[kMaxParams];  // owned; NULL where required
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults_tuple;  // None when no parameter has a default
  PyObject* return_annotation;  // NULL when none is declared
  PyObject* signature;       // built on first use
};

NativeFunction* as_fn(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

void fn_dealloc(PyObject* self) {
  NativeFunction* f = as_fn(self);
  for (int i = 0; i < f->nparams; ++i) {
    Py_XDECREF(f->names[i]);
    Py_XDECREF(f->defaults[i]);
  }
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->annotations);
  Py_XDECREF(f->defaults_tuple);
  Py_XDECREF(f->return_annotation);
  Py_XDECREF(f->signature);
  PyTypeObject* tp = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's listing of missing names.
Ref format_names(PyObject* const* names, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
    out += "'" + str_of(names[i]) + "'";
  }
  return text(out);
}

[[noreturn]] void too_many_positional(NativeFunction* f, Py_ssize_t given) {
  const int ndefaults = f->nparams - f->nrequired;
  if (ndefaults > 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given",
                 f->qualname, f->nrequired, f->nparams, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", f->qualname,
                 f->nparams, f->nparams == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  }
  throw_error();
}

[[noreturn]] void missing_arguments(NativeFunction* f, PyObject* const* slots) {
  PyObject* missing[kMaxParams];
  int n = 0;
  for (int i = 0; i < f->nrequired; ++i)
    if (!slots[i]) missing[n++] = f->names[i];
  Ref listing = format_names(missing, n);
  PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", f->qualname, n,
               n == 1 ? "" : "s", listing.get());
  throw_error();
}

int find_param(NativeFunction* f, PyObject* key) {
  for (int i = 0; i < f->nparams; ++i)
    if (f->names[i] == key) return i;
  for (int i = 0; i < f->nparams; ++i) {
    int eq = PyObject_RichCompareBool(f->names[i], key, Py_EQ);
    if (eq < 0) throw_error();
    if (eq) return i;
  }
  return -1;
}

// Argument binding in the interpreter's own order: positional first, then keywords (unknown or
// repeated names), then surplus positionals, then defaults and missing names.
PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    NativeFunction* f = as_fn(self);
    PyObject* slots[kMaxParams] = {};
    const Py_ssize_t given = PyTuple_Size(args);
    const Py_ssize_t npos = given < f->nparams ? given : f->nparams;
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs && PyDict_Size(kwargs) > 0) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
          PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
          throw_error();
        }
        const int idx = find_param(f, key);
        if (idx < 0) {
          PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
          throw_error();
        }
        if (slots[idx]) {
          PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
          throw_error();
        }
        slots[idx] = value;
      }
    }
    if (given > f->nparams) too_many_positional(f, given);
    for (int i = 0; i < f->nparams; ++i) {
      if (slots[i]) continue;
      if (i < f->nrequired) missing_arguments(f, slots);
      slots[i] = f->defaults[i];
    }
    return f->impl(Args(slots)).release();
  });
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyObject_CallFunctionObjArgs(detail::L.method_type, self, obj, nullptr);
}

PyObject* fn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// inspect.signature() asks for __signature__ before anything else; build it from the parameters.
PyObject* fn_get_signature(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    NativeFunction* f = as_fn(self);
    if (!f->signature) {
      Ref inspect = import("inspect");
      Ref parameter = getattr(inspect.get(), "Parameter");
      Ref kind = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD");
      Ref empty = getattr(parameter.get(), "empty");
      Ref params = Ref::steal(PyList_New(0));
      for (int i = 0; i < f->nparams; ++i) {
        Ref kw = Ref::steal(PyDict_New());
        if (f->defaults[i]) check(PyDict_SetItemString(kw.get(), "default", f->defaults[i]));
        PyObject* ann = PyDict_GetItemWithError(f->annotations, f->names[i]);
        if (!ann && PyErr_Occurred()) throw_error();
        if (ann) check(PyDict_SetItemString(kw.get(), "annotation", ann));
        Ref pargs = Ref::steal(PyTuple_Pack(2, f->names[i], kind.get()));
        Ref p = call_kw(parameter.get(), pargs.get(), kw.get());
        check(PyList_Append(params.get(), p.get()));
      }
      Ref signature_type = getattr(inspect.get(), "Signature");
      Ref kw = Ref::steal(PyDict_New());
      check(PyDict_SetItemString(kw.get(), "return_annotation",
                                 f->return_annotation ? f->return_annotation : empty.get()));
      Ref sargs = Ref::steal(PyTuple_Pack(1, params.get()));
      f->signature = call_kw(signature_type.get(), sargs.get(), kw.get()).release();
    }
    Py_INCREF(f->signature);
    return f->signature;
  });
}

PyMemberDef fn_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(NativeFunction, annotations), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(NativeFunction, defaults_tuple), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(fn_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_members, fn_members},
    {Py_tp_getset, fn_getset},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "native_function",
    sizeof(NativeFunction),
    0,
    // A method descriptor: obj.method(...) calls us with obj first, without a bound-method object.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR,
    fn_slots,
};


Ref make_default(const Default& d) {
  switch (d.kind) {
    case Default::None: return none();
    case Default::Int: return integer(d.i);
    case Default::Text: return text(d.s);
    case Default::Required: break;
  }
  return Ref();
}

Ref eval_annotation(const char* expr, PyObject* ns) {
  Ref builtins = import("builtins");
  Ref eval = getattr(builtins.get(), "eval");
  Ref source = text(expr);
  return call(eval.get(), source.get(), ns);
}

}  // namespace

Ref make_function(const MethodDef& def, const char* class_name, PyObject* module_name, PyObject* ns) {
  PyTypeObject* tp = detail::L.function_type;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  Ref obj = Ref::steal(alloc(tp, 0));
  NativeFunction* f = as_fn(obj.get());
  f->impl = def.impl;
  f->annotations = check(PyDict_New());
  int n = 0;
  bool seen_default = false;
  Ref defaults = Ref::steal(PyList_New(0));
  for (; n < kMaxParams && def.params[n].name; ++n) {
    const Param& p = def.params[n];
    f->names[n] = intern(p.name).release();
    f->nparams = n + 1;
    if (p.def.kind == Default::Required) {
      if (seen_default) raise(PyExc_SystemError, "required parameter after a default");
      f->nrequired = n + 1;
    } else {
      seen_default = true;
      f->defaults[n] = make_default(p.def).release();
      check(PyList_Append(defaults.get(), f->defaults[n]));
    }
    if (p.annotation) {
      Ref ann = eval_annotation(p.annotation, ns);
      check(PyDict_SetItem(f->annotations, f->names[n], ann.get()));
    }
  }
  if (def.returns) {
    Ref ann = eval_annotation(def.returns, ns);
    check(PyDict_SetItemString(f->annotations, "return", ann.get()));
    f->return_annotation = ann.release();
  }
  f->defaults_tuple = PyList_Size(defaults.get()) ? check(PyList_AsTuple(defaults.get())) : none().release();
  f->name = intern(def.name).release();
  f->qualname = text(std::string(class_name) + "." + def.name).release();
  Py_INCREF(module_name);
  f->module = module_name;
  f->doc = def.doc ? text(def.doc).release() : none().release();
  return obj;
}

Ref make_class(const ClassDef& def, PyObject* bases, PyObject* module_name, PyObject* ns,
               PyObject* extra_attributes) {
  Ref dict = Ref::steal(PyDict_New());
  check(PyDict_SetItemString(dict.get(), "__module__", module_name));
  Ref qualname = text(def.name);
  check(PyDict_SetItemString(dict.get(), "__qualname__", qualname.get()));
  if (def.doc) {
    Ref doc = text(def.doc);
    check(PyDict_SetItemString(dict.get(), "__doc__", doc.get()));
  }
  if (extra_attributes) check(PyDict_Update(dict.get(), extra_attributes));
  for (std::size_t i = 0; i < def.method_count; ++i) {
    Ref fn = make_function(def.methods[i], def.name, module_name, ns);
    check(PyDict_SetItemString(dict.get(), def.methods[i].name, fn.get()));
  }
  Ref name = text(def.name);
  return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases, dict.get());
}

PyTypeObject* detail::create_function_type() {
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&fn_spec)));
}

}  // namespace host
