// Starting the listener (CUF_Open) and the orderly shutdown (CUF_Close): save, drop every master,
// stop the listener, release the port, in that order.
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

Ref open(const Args& a) {
  PyObject* self = a.self();
  PyObject* ip = a[1];
  PyObject* port = a[2];
  Ref listener_class = host::getattr(M.module, "ThreadedSocklinkServer");
  Ref worker_class = host::getattr(M.module, "CLASS_SocklinkWorker");
  Ref address = Ref::steal(PyTuple_Pack(2, ip, port));
  Ref listener = host::call(listener_class.get(), address.get(), worker_class.get());
  // The socket server listens with a backlog of 5: a burst of masters connecting at once would
  // overflow it and wait seconds for their handshakes. Listening again only widens the queue.
  {
    Ref listening = host::getattr(listener.get(), "socket");
    Ref backlog = host::getattr(M.socket_module, "SOMAXCONN");
    host::call_method(listening.get(), M.listen, backlog.get());
  }
  host::setattr(self, M.server_net, listener.get());
  host::setattr(listener.get(), M.owner, self);
  // Without its loop (the system refused what it needs) every master is served by its thread.
  start_event_loop(listener.get());

  Ref thread_class = host::getattr(M.threading_module, M.Thread);
  Ref serve = host::getattr(listener.get(), M.serve_forever);
  Ref kwargs = Ref::steal(PyDict_New());
  host::check(PyDict_SetItemString(kwargs.get(), "target", serve.get()));
  host::check(PyDict_SetItemString(kwargs.get(), "daemon", Py_True));
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref thread = host::call_kw(thread_class.get(), no_args.get(), kwargs.get());
  host::setattr(self, M.server_thread, thread.get());
  host::call_method(thread.get(), M.start);

  Ref line = Ref::steal(PyUnicode_FromFormat("[Holdbank] Server Started on %S:%S", ip, port));
  host::print_line(line.get());
  return host::none();
}

Ref close(const Args& a) {
  PyObject* self = a.self();
  host::print_line("[Holdbank] 🔄 Executing safity close procedure...");
  host::log_ordinary_errors(M.logger, M.error, "Auto save failed during close: ", [&] {
    Ref name = host::getattr(self, M.default_backup_file);
    host::call_method(self, M.CUF_SaveToFile, name.get());
  });

  Ref keys = under_lock(self, [&] {
    Ref registry = host::getattr(self, M.active_connections);
    return Ref::steal(PySequence_List(registry.get()));
  });
  for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i)
    host::call_method(self, M.CUF_DisconnectClient, PyList_GetItem(keys.get(), i));

  Ref listener = host::getattr(self, M.server_net);
  if (listener.get() != Py_None) {
    host::log_ordinary_errors(M.logger, M.error, "Error closing TCP server: ", [&] {
      host::call_method(listener.get(), M.shutdown);
      host::call_method(listener.get(), M.server_close);
      host::print_line("[Holdbank] 🛑 TCP port was closed。");
    });
    // Masters that connected after the drop above stay, served by their own threads.
    stop_event_loop(listener.get());
  }
  return host::none();
}

using host::default_int;
using host::default_text;

}  // namespace

const host::MethodDef kOpen{
    "CUF_Open", open, {{"self"}, {"ip", default_text("0.0.0.0"), "str"}, {"port", default_int(502), "int"}}};
const host::MethodDef kClose{"CUF_Close", close, {{"self"}}, nullptr, " 主動安全關閉伺服器：先存檔、再釋放網絡資源 "};

}  // namespace holdbank
