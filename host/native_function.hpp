// Functions written in C++ that stand in a Python class like functions written in Python:
// they bind as methods, take positional-or-keyword parameters with defaults, reject bad calls
// with the interpreter's own TypeError wording, and carry __name__, __qualname__, __module__,
// __doc__, __annotations__, __defaults__ and an inspect-readable __signature__.
#pragma once

#include "host/host.hpp"

namespace host {

constexpr int kMaxParams = 8;

// A parameter default, described statically and made into a Python object once.
struct Default {
  enum Kind { Required, None, Int, Text } kind = Required;
  long long i = 0;
  const char* s = nullptr;
};
constexpr Default required() { return {}; }
constexpr Default default_none() { return {Default::None, 0, nullptr}; }
constexpr Default default_int(long long v) { return {Default::Int, v, nullptr}; }
constexpr Default default_text(const char* v) { return {Default::Text, 0, v}; }

struct Param {
  const char* name = nullptr;
  Default def = {};
  // Annotation as a Python expression evaluated in the module's namespace ("int", "List[str]"),
  // or nullptr for none.
  const char* annotation = nullptr;
};

// The arguments of one call, after parsing: args[0] is the instance, then each parameter.
class Args {
 public:
  explicit Args(PyObject* const* v) noexcept : v_(v) {}
  PyObject* operator[](int i) const noexcept { return v_[i]; }
  PyObject* self() const noexcept { return v_[0]; }

 private:
  PyObject* const* v_;
};

using Impl = Ref (*)(const Args&);

struct MethodDef {
  const char* name;
  Impl impl;
  Param params[kMaxParams];  // "self" first; ends at the first unnamed entry
  const char* returns = nullptr;  // result annotation expression, or nullptr
  const char* doc = nullptr;      // exact docstring, or nullptr for None
};

// Builds one function object. `ns` is the namespace the annotations are evaluated in.
Ref make_function(const MethodDef& def, const char* class_name, PyObject* module_name, PyObject* ns);

// Builds a class through the host's `type`, so it is an ordinary Python class: real bases,
// instance __dict__, subclassable, with __module__ and __qualname__ set and __doc__ as given.
struct ClassDef {
  const char* name;
  const MethodDef* methods;
  std::size_t method_count;
  const char* doc = nullptr;
};
Ref make_class(const ClassDef& def, PyObject* bases, PyObject* module_name, PyObject* ns,
               PyObject* extra_attributes = nullptr);

}  // namespace host
