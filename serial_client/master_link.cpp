// Connection and raw read of the Modbus masters: every ordinary error of the package or of a hook
// is caught, reported through CUE_OnError and turned into a neutral result; reporting itself is
// not guarded, so an error raised by CUE_OnError reaches the caller.
#include "serial_client/master_link.hpp"

#include "serial_client/codec_bridge.hpp"

using host::Args;
using host::Ref;

namespace master_link {

ModuleState M;

namespace {

// The earlier client would otherwise keep its serial port or socket until the process ends.
// Its own failure to close changes nothing for the new connection and is not reported.
void close_earlier_client(PyObject* self) {
  try {
    Ref earlier = host::getattr(self, M.client);
    if (host::truthy(earlier.get())) host::call_method(earlier.get(), M.close);
  } catch (const host::PyError&) {
    host::ordinary_error();
  }
}

void fill_state(PyObject* module, PyObject* struct_module) {
  M.module = host::keep(Ref::borrow(module));
  M.client = host::keep_name("client");
  M.CUE_OnConnect = host::keep_name("CUE_OnConnect");
  M.CUE_OnConnecting = host::keep_name("CUE_OnConnecting");
  M.CUE_OnDisconnect = host::keep_name("CUE_OnDisconnect");
  M.CUE_OnError = host::keep_name("CUE_OnError");
  M.CUE_OnPacketREAD = host::keep_name("CUE_OnPacketREAD");
  M.CUE_OnPacketWRITE = host::keep_name("CUE_OnPacketWRITE");
  M.connect = host::keep_name("connect");
  M.close = host::keep_name("close");
  M.read_holding_registers = host::keep_name("read_holding_registers");
  M.write_register = host::keep_name("write_register");
  M.write_registers = host::keep_name("write_registers");
  M.isError = host::keep_name("isError");
  M.registers = host::keep_name("registers");
  M._read_raw = host::keep_name("_read_raw");
  M.address = host::keep_name("address");
  M.count = host::keep_name("count");
  M.slave = host::keep_name("slave");
  M.device_id = host::keep_name("device_id");
  M.value = host::keep_name("value");
  M.values = host::keep_name("values");
  M.port = host::keep_name("port");
  M.baudrate = host::keep_name("baudrate");
  M.parity = host::keep_name("parity");
  M.stopbits = host::keep_name("stopbits");
  M.bytesize = host::keep_name("bytesize");
  M.timeout = host::keep_name("timeout");
  M.one = host::keep(host::integer(1));
  M.two = host::keep(host::integer(2));
  M.no_args = host::keep(Ref::steal(PyTuple_New(0)));
  register_codecs::init_bridge(struct_module);
}

// pymodbus 3.10 renamed the unit keyword of its client calls from `slave` to `device_id`, with no
// alias. The package's client class says which one it takes: `device_id` where its read names it,
// otherwise `slave`, as every release before 3.10 takes it. A class whose read cannot be inspected
// keeps `slave`; the call itself then reports whatever is wrong.
PyObject* unit_keyword_of(PyObject* client_class) {
  try {
    Ref signature_of = host::getattr(host::import("inspect").get(), "signature");
    Ref read = host::getattr(client_class, M.read_holding_registers);
    Ref signature = host::call(signature_of.get(), read.get());
    Ref parameters = host::getattr(signature.get(), "parameters");
    const int named = PySequence_Contains(parameters.get(), M.device_id);
    if (named < 0) host::throw_error();
    return named ? M.device_id : M.slave;
  } catch (const host::PyError&) {
    host::ordinary_error();
    return M.slave;
  }
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
  host::init_layer();
  Ref struct_module = host::import("struct");
  host::bind(m, "struct", struct_module);
  Ref client = import_from("pymodbus.client", client_class);
  host::bind(m, client_class, client);
  fill_state(m, struct_module.get());
  M.unit = unit_keyword_of(client.get());
  Ref module_name = host::text(def->m_name);
  Ref bases = Ref::steal(PyTuple_New(0));
  host::bind(m, master_class.name, host::make_class(master_class, bases.get(), module_name.get(), PyModule_GetDict(m)));
  // The distribution's version, given by the build.
  host::bind(m, "__version__", host::text(HOLDBANK_VERSION));
  return module;
}

// Looked up at each use, as a name in the module's namespace.
Ref module_global(const char* name) {
  PyObject* ns = PyModule_GetDict(M.module);  // borrowed
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
  host::check(PyDict_SetItem(kwargs.get(), M.address, addr));
  host::check(PyDict_SetItem(kwargs.get(), value_key, value));
  if (slave) host::check(PyDict_SetItem(kwargs.get(), M.unit, slave));
  return host::call_kw(bound.get(), M.no_args, kwargs.get());
}

Ref init_instance(const Args& a) {
  PyObject* self = a.self();
  for (PyObject* name : {M.client, M.CUE_OnConnect, M.CUE_OnConnecting, M.CUE_OnDisconnect, M.CUE_OnError,
                         M.CUE_OnPacketREAD, M.CUE_OnPacketWRITE})
    host::setattr(self, name, Py_None);
  return host::none();
}

Ref open(PyObject* self, PyObject* endpoint, Ref (*build)(const Args&), const Args& a) {
  Ref failure;  // the text for CUE_OnError, reported outside the guard
  try {
    host::fire_hook(self, M.CUE_OnConnecting);
    close_earlier_client(self);
    Ref client = build(a);
    host::setattr(self, M.client, client.get());
    Ref connected = host::call_method(client.get(), M.connect);
    if (host::truthy(connected.get())) {
      host::fire_hook(self, M.CUE_OnConnect);
      return host::boolean(true);
    }
    failure = host::concat("Connection Failed to ", endpoint);
  } catch (const host::PyError&) {
    host::Fetched err = host::ordinary_error();
    failure = Ref::steal(PyObject_Str(err.value()));
  }
  host::fire_hook(self, M.CUE_OnError, failure.get());
  return host::boolean(false);
}

Ref close(const Args& a) {
  PyObject* self = a.self();
  Ref client = host::getattr(self, M.client);
  if (host::truthy(client.get())) {
    host::call_method(client.get(), M.close);
    host::fire_hook(self, M.CUE_OnDisconnect);
  }
  return host::none();
}

// A report of an error answer that itself fails is caught here like any other error and
// reported once more as an exception.
Ref read_raw(PyObject* self, PyObject* addr, PyObject* count, PyObject* slave) {
  Ref failure;
  try {
    Ref client = host::getattr(self, M.client);
    Ref res = call_client(client.get(), M.read_holding_registers, addr, M.count, count, slave);
    Ref is_error = host::call_method(res.get(), M.isError);
    if (host::truthy(is_error.get())) {
      Ref report = host::concat("Modbus Error: ", res.get());
      host::fire_hook(self, M.CUE_OnError, report.get());
      return host::none();
    }
    Ref registers = host::getattr(res.get(), M.registers);
    host::fire_hook(self, M.CUE_OnPacketREAD, registers.get());
    return registers;
  } catch (const host::PyError&) {
    host::Fetched err = host::ordinary_error();
    failure = host::concat("Exception: ", err.value());
  }
  host::fire_hook(self, M.CUE_OnError, failure.get());
  return host::none();
}

}  // namespace master_link
