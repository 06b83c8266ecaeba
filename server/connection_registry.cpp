// The registry of connected masters: full address -> connection socket, guarded by the bank lock.
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

Ref on_client_connect(const Args& a) {
  PyObject* self = a.self();
  PyObject *ip = a[1], *full_address = a[2], *sock = a[3];
  under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    host::check(PyObject_SetItem(registry.get(), full_address, sock));
  });
  host::fire_hook(self, M.CUE_OnConnect, ip, full_address);
  return host::none();
}

Ref on_client_disconnect(const Args& a) {
  PyObject* self = a.self();
  PyObject* full_address = a[1];
  under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    if (host::check(PySequence_Contains(registry.get(), full_address)))
      host::check(PyObject_DelItem(registry.get(), full_address));
  });
  host::fire_hook(self, M.CUE_OnDisconnect, full_address);
  return host::none();
}

Ref list_connections(const Args& a) {
  return under_lock(a.self(), [&] {
    Ref registry = host::getattr(a.self(), M.active_connections);
    return Ref::steal(PySequence_List(registry.get()));
  });
}

// Closing alone does not wake a thread blocked receiving on the socket (on Linux), so the socket
// is shut down for both directions first; that errors if it is already closed or never
// connected, which changes nothing.
Ref disconnect_client(const Args& a) {
  PyObject* self = a.self();
  PyObject* full_address = a[1];
  return under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    Ref sock = Ref::steal_or_null(PyObject_GetItem(registry.get(), full_address));
    if (!sock) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error();
      PyErr_Clear();
      return host::boolean(false);
    }
    try {
      Ref how = host::getattr(M.socket_module, M.shut_rdwr_name);
      Ref r = Ref::steal_or_null(PyObject_CallMethodObjArgs(sock.get(), M.shutdown, how.get(), nullptr));
      if (!r) host::ordinary_error();
      host::call_method(sock.get(), M.close);
      wake_event_loops_for_closed_sockets();
    } catch (const host::PyError&) {
      host::log_ordinary_error(M.logger, M.error, "Disconnect error: ");
      return host::boolean(false);
    }
    return host::boolean(true);
  });
}

}  // namespace

const host::MethodDef kOnClientConnect{"_on_client_connect",
                                       on_client_connect,
                                       {{"self"}, {"ip", {}, "str"}, {"full_address", {}, "str"},
                                        {"sock", {}, "socket.socket"}}};
const host::MethodDef kOnClientDisconnect{
    "_on_client_disconnect", on_client_disconnect, {{"self"}, {"full_address", {}, "str"}}};
const host::MethodDef kListConnections{"CUF_ListConnections", list_connections, {{"self"}}, "List[str]"};
const host::MethodDef kDisconnectClient{
    "CUF_DisconnectClient", disconnect_client, {{"self"}, {"full_address", {}, "str"}}, "bool"};

}  // namespace holdbank
