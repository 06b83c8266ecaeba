// What the two Modbus masters (the RTU master Cordlink and the TCP master Socklink) share: the
// seven attributes, opening and closing the package's client, the raw holding-register read and
// the eight typed operations. They differ only in the client class they build and in the unit
// number: `slave` is the unit the RTU master passes on every call (under the keyword the installed
// package takes), and nullptr where the TCP master leaves the unit to the package's default.
#pragma once

#include "host/native_function.hpp"

namespace master_link {

// The module's import: binds `struct`, then `client_class` from pymodbus.client (a missing
// package or name fails with the host's ImportError), then the master class.
host::Ref create_module(PyModuleDef* def, const char* client_class, const host::ClassDef& master_class);

// The client class as the module's namespace holds it when a connection is opened.
host::Ref module_global(const char* name);

host::Ref init_instance(const host::Args& a);  // __init__
host::Ref close(const host::Args& a);          // CUF_Close

// CUF_Open: `build` makes the package's client from the call's arguments; `endpoint` names the
// port or address in the report of a refused connection.
host::Ref open(PyObject* self, PyObject* endpoint, host::Ref (*build)(const host::Args&), const host::Args& a);

host::Ref read_raw(PyObject* self, PyObject* addr, PyObject* count, PyObject* slave);

host::Ref read_int(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave);
host::Ref read_long(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave);
host::Ref read_double(PyObject* self, PyObject* addr, PyObject* length, PyObject* slave);
host::Ref read_str(PyObject* self, PyObject* addr, PyObject* length, PyObject* encoding, PyObject* slave);
host::Ref write_int(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave);
host::Ref write_long(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave);
host::Ref write_double(PyObject* self, PyObject* addr, PyObject* value, PyObject* slave);
host::Ref write_str(PyObject* self, PyObject* addr, PyObject* value, PyObject* encoding, PyObject* slave);

// What the master's files share for as long as the module lives: filled once at import
// (create_module), never released. Each name is declared here once.
struct ModuleState {
  PyObject* module;  // the module object (its namespace is looked up at CUF_Open)
  PyObject *client, *CUE_OnConnect, *CUE_OnConnecting, *CUE_OnDisconnect, *CUE_OnError, *CUE_OnPacketREAD,
      *CUE_OnPacketWRITE;
  PyObject *connect, *close, *read_holding_registers, *write_register, *write_registers, *isError, *registers,
      *_read_raw;
  PyObject *address, *count, *slave, *device_id, *value, *values;
  PyObject* unit;  // `slave` or `device_id`: the unit keyword the package's client calls take
  // the keywords the clients are built with
  PyObject *port, *baudrate, *parity, *stopbits, *bytesize, *timeout;
  PyObject *one, *two;  // the integers 1 and 2
  PyObject* no_args;    // the empty tuple
};
extern ModuleState M;

// Calls client.<method>(address=addr, <value_key>=value[, <unit>=slave]) with keywords only.
host::Ref call_client(PyObject* client, PyObject* method, PyObject* addr, PyObject* value_key, PyObject* value,
                      PyObject* slave);

}  // namespace master_link
