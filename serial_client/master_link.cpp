// Connection and raw read of the Modbus masters: every ordinary error of the package or of a hook
// is caught, reported through CUE_OnError and turned into a neutral result; reporting itself is
// not guarded, so an error raised by CUE_OnError reaches the caller.
#include "serial_client/master_link.hpp"

#include "serial_client/codec_bridge.hpp"

using host::Args;
using host::Ref;

namespace master_link {

Names N;

namespace {

PyObject* keep(Ref r) { return r.release(); }

// Inside a catch of host::PyError: the pending error when it is an ordinary one (the host's
// Exception kind); anything else (an interrupt, an exit request) goes on to the caller.
host::Fetched ordinary_error() {
  host::Fetched err;
  if (!err.matches(PyExc_Exception)) {
    err.restore();
    throw host::PyError{};
  }
  return err;
}

// The earlier client would otherwise keep its serial port or socket until the process ends.
// Its own failure to close changes nothing for the new connection and is not reported.
void close_earlier_client(PyObject* self) {
  try {
    Ref earlier = host::getattr(self, N.client);
    if (host::truthy(earlier.get())) host::call_method(earlier.get(), N.close);
  } catch (const host::PyError&) {
    ordinary_error();
  }
}

void init_names(PyObject* module, PyObject* struct_module) {
  auto I = [](const char* s) { return keep(host::intern(s)); };
  N.module = keep(Ref::borrow(module));
  N.client = I("client");
  N.CUE_OnConnect = I("CUE_OnConnect");
  N.CUE_OnConnecting = I("CUE_OnConnecting");
  N.CUE_OnDisconnect = I("CUE_OnDisconnect");
  N.CUE_OnError = I("CUE_OnError");
  N.CUE_OnPacketREAD = I("CUE_OnPacketREAD");
  N.CUE_OnPacketWRITE = I("CUE_OnPacketWRITE");
  N.connect = I("connect");
  N.close = I("close");
  N.read_holding_registers = I("read_holding_registers");
  N.write_register = I("write_register");
  N.write_registers = I("write_registers");
  N.isError = I("isError");
  N.registers = I("registers");
  N._read_raw = I("_read_raw");
  N.address = I("address");
  N.count = I("count");
  N.slave = I("slave");
  N.value = I("value");
  N.values = I("values");
  N.two = keep(host::integer(2));
  N.no_args = keep(Ref::steal(PyTuple_New(0)));
  register_codecs::init_bridge(struct_module);
}

// `from <module_name> import <name>`: a missing name is the host's ImportError, as there.
Ref import_from(const char* module_name, const char* name) {
  Ref module = host::import(module_name);
  Ref value = Ref::steal_or_null(PyObject_GetAttrString(module.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) host::throw_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
    host::throw_error();
  }
  return value;
}

}  // namespace

Ref create_module(PyModuleDef* def, const char* client_class, const host::ClassDef& master_class) {
  Ref module = Ref::steal(PyModule_Create(def));
  PyObject* m = module.get();
  host::watch_interpreter_exit();
  Ref struct_module = host::import("struct");
  host::bind(m, "struct", struct_module);
  host::bind(m, client_class, import_from("pymodbus.client", client_class));
  init_names(m, struct_module.get());
  Ref module_name = host::text(def->m_name);
  Ref bases = Ref::steal(PyTuple_New(0));
  host::bind(m, master_class.name, host::make_class(master_class, bases.get(), module_name.get(), PyModule_GetDict(m)));
  return module;
}

// Looked up at each use, as a name in the module's namespace.
Ref module_global(const char* name) {
  PyObject* ns = PyModule_GetDict(N.module);  // borrowed
  PyObject* value = PyDict_GetItemString(ns, name);  // borrowed
  if (!value) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    host::throw_error();
  }
  return Ref::borrow(value);
}

Ref call_client(PyObject* client, PyObject* method, PyObject* addr, PyObject* value_key, PyObject* value,
                PyObject* slave) {
  Ref bound = host::getattr(client, method);
  Ref kwargs = Ref::steal(PyDict_New());
  host::check(PyDict_SetItem(kwargs.get(), N.address, addr));
  host::check(PyDict_SetItem(kwargs.get(), value_key, value));
  if (slave) host::check(PyDict_SetItem(kwargs.get(), N.slave, slave));
  return host::call_kw(bound.get(), N.no_args, kwargs.get());
}

Ref init_instance(const Args& a) {
  PyObject* self = a.self();
  for (PyObject* name : {N.client, N.CUE_OnConnect, N.CUE_OnConnecting, N.CUE_OnDisconnect, N.CUE_OnError,
                         N.CUE_OnPacketREAD, N.CUE_OnPacketWRITE})
    host::setattr(self, name, Py_None);
  return host::none();
}

Ref open(PyObject* self, PyObject* endpoint, Ref (*build)(const Args&), const Args& a) {
  Ref failure;  // the text for CUE_OnError, reported outside the guard
  try {
    host::fire_hook(self, N.CUE_OnConnecting);
    close_earlier_client(self);
    Ref client = build(a);
    host::setattr(self, N.client, client.get());
    Ref connected = host::call_method(client.get(), N.connect);
    if (host::truthy(connected.get())) {
      host::fire_hook(self, N.CUE_OnConnect);
      return host::boolean(true);
    }
    failure = host::concat("Connection Failed to ", endpoint);
  } catch (const host::PyError&) {
    host::Fetched err = ordinary_error();
    failure = Ref::steal(PyObject_Str(err.value()));
  }
  host::fire_hook(self, N.CUE_OnError, failure.get());
  return host::boolean(false);
}

Ref close(const Args& a) {
  PyObject* self = a.self();
  Ref client = host::getattr(self, N.client);
  if (host::truthy(client.get())) {
    host::call_method(client.get(), N.close);
    host::fire_hook(self, N.CUE_OnDisconnect);
  }
  return host::none();
}

// A report of an error answer that itself fails is caught here like any other error and
// reported once more as an exception.
Ref read_raw(PyObject* self, PyObject* addr, PyObject* count, PyObject* slave) {
  Ref failure;
  try {
    Ref client = host::getattr(self, N.client);
    Ref res = call_client(client.get(), N.read_holding_registers, addr, N.count, count, slave);
    Ref is_error = host::call_method(res.get(), N.isError);
    if (host::truthy(is_error.get())) {
      Ref report = host::concat("Modbus Error: ", res.get());
      host::fire_hook(self, N.CUE_OnError, report.get());
      return host::none();
    }
    Ref registers = host::getattr(res.get(), N.registers);
    host::fire_hook(self, N.CUE_OnPacketREAD, registers.get());
    return registers;
  } catch (const host::PyError&) {
    host::Fetched err = ordinary_error();
    failure = host::concat("Exception: ", err.value());
  }
  host::fire_hook(self, N.CUE_OnError, failure.get());
  return host::none();
}

}  // namespace master_link
