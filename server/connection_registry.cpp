// The registry of connected masters: full address -> connection socket, guarded by the bank lock.
#include "server/event_loop.hpp"
#include "server/handler_thread.hpp"
#include "server/holdbank.hpp"
#include "server/platform_socket.hpp"

#include <utility>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

// The socket whose disconnect step this thread is making, if any.
thread_local PyObject* t_disconnecting = nullptr;

// The socket registered under `full_address`, or null. Under the bank lock.
Ref entry_of(PyObject* registry, PyObject* full_address) {
  Ref entry = Ref::steal_or_null(PyObject_GetItem(registry, full_address));
  if (!entry) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) host::throw_error();
    PyErr_Clear();
  }
  return entry;
}

// Deletes the entry of `full_address`, if there is one and, with `own`, only while it holds `own`.
void delete_entry(PyObject* self, PyObject* full_address, PyObject* own) {
  under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    Ref entry = entry_of(registry.get(), full_address);
    if (!entry || (own && entry.get() != own)) return;
    host::check(PyObject_DelItem(registry.get(), full_address));
  });
}

// Whether `sock` is a connection whose master is known to be gone already (closed or reset).
bool master_gone(PyObject* sock) {
  Ref no = Ref::steal_or_null(PyObject_CallMethodObjArgs(sock, M.fileno, nullptr));
  if (!no) {
    host::ordinary_error();
    return false;
  }
  long long fd = 0;
  if (!host::int_within(no.get(), fd) || fd < 0) return false;
  return sock::peer_gone(sock::from_fileno(fd)) == 1;
}

// Two live connections never share a full address. When the name already holds another socket
// and this connection's master is gone already, the entry stays the other's: the step came late
// (its thread waited long for the lock, say) for a master that left, and its port is a new
// master's now, which replacing the entry (and this connection's disconnect step then removing
// it) would hide.
Ref on_client_connect(const Args& a) {
  PyObject* self = a.self();
  PyObject *ip = a[1], *full_address = a[2], *sock = a[3];
  under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    Ref entry = entry_of(registry.get(), full_address);
    if (entry && entry.get() != sock && master_gone(sock)) return;
    host::check(PyObject_SetItem(registry.get(), full_address, sock));
  });
  host::fire_hook(self, M.CUE_OnConnect, ip, full_address);
  return host::none();
}

// On a connection's own handler thread, the entry goes only if it is still this connection's: a
// master that reset its connection and came back from the same address and port registers its
// new one under the same name, possibly before the old one's step runs here.
Ref on_client_disconnect(const Args& a) {
  PyObject* self = a.self();
  PyObject* full_address = a[1];
  delete_entry(self, full_address, t_disconnecting);
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
    Ref sock = entry_of(registry.get(), full_address);
    if (!sock) return host::boolean(false);
    try {
      Ref how = host::getattr(M.socket_module, M.shut_rdwr_name);
      Ref r = Ref::steal_or_null(PyObject_CallMethodObjArgs(sock.get(), M.shutdown, how.get(), nullptr));
      if (!r) host::ordinary_error();
      // Before the close: the handler and the loop learn of the drop at once, and the loop forgets
      // the descriptor while it is still open.
      const bool served = drop_connection(sock.get());
      host::call_method(sock.get(), M.close);
      if (!served) wake_event_loops_for_closed_sockets();
    } catch (const host::PyError&) {
      host::log_ordinary_error(M.logger, M.error, "Disconnect error: ");
      return host::boolean(false);
    }
    return host::boolean(true);
  });
}

}  // namespace

void remove_own_entry(PyObject* server, PyObject* full_address, PyObject* sock) {
  delete_entry(server, full_address, sock);
}

DisconnectStep::DisconnectStep(PyObject* sock) : saved_(std::exchange(t_disconnecting, sock)) {}
DisconnectStep::~DisconnectStep() { t_disconnecting = saved_; }

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
