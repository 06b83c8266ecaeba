// Starting the listener (CUF_Open) and the orderly shutdown (CUF_Close): save, drop every master,
// stop the listener, release the port, in that order.
//
// A server may be opened more than once without a close (a bank served on two ports); it keeps
// every listener it opened, and the close stops each of them. An open is all or nothing: whatever
// fails after the bind (Ctrl-C landing in it, a thread that cannot start), the new listener is
// closed again and the server is left as it was.
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"

#include <algorithm>
#include <vector>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

// A listener CUF_Open started and no CUF_Close has stopped yet. Under the interpreter lock.
struct OpenListener {
  Ref server, listener;
};
// Never freed: static destructors run after the interpreter is gone.
std::vector<OpenListener>& g_open = *new std::vector<OpenListener>;

// Stops a listener's serve loop. socketserver's shutdown() waits until the loop has ended, so it
// is called only for a loop that runs or will: not for one whose thread never started, and not once
// the interpreter has begun to exit, when the serve thread may already be stopped for good (a
// finaliser closing the bank). Then the loop is only asked to end at its next look, if it still
// runs.
void stop_serve_loop(PyObject* listener, bool may_run) {
  if (!may_run) return;
  if (host::exit_begun()) {
    Ref yes = host::boolean(true);
    if (PyObject_SetAttrString(listener, "_BaseServer__shutdown_request", yes.get()) < 0) PyErr_Clear();
    return;
  }
  host::call_method(listener, M.shutdown);
}

// Whether a serve thread whose start() was interrupted runs all the same: the interrupt may land
// after the thread was handed to the system, while start() waits for it to say it runs. Where the
// thread object has a handle (3.13 on), the handle knows; before that, a thread start() had not yet
// put in threading's list of threads being started never will run, and one in that list is given
// a moment to say so.
bool started_anyway(PyObject* thread) {
  try {
    Ref started = host::getattr(thread, "_started");
    Ref is_set = host::call_method(started.get(), host::intern("is_set").get());
    if (host::truthy(is_set.get())) return true;
    if (Ref handle = Ref::steal_or_null(PyObject_GetAttrString(thread, "_handle"))) {
      Ref ident = host::getattr(handle.get(), "ident");
      return host::truthy(ident.get());
    }
    PyErr_Clear();
    Ref starting = Ref::steal_or_null(PyObject_GetAttrString(M.threading_module, "_limbo"));
    if (starting && PyDict_Check(starting.get()) && PyDict_Contains(starting.get(), thread) == 0) return false;
    PyErr_Clear();
    Ref timeout = Ref::steal(PyFloat_FromDouble(1.0));
    Ref set = host::call_method(started.get(), host::intern("wait").get(), timeout.get());
    return host::truthy(set.get());
  } catch (const host::PyError&) {
    PyErr_Clear();  // a second interrupt: the thread is taken for one that may run
    return true;
  }
}

// One CUF_Open under way: everything it did is undone unless it completes.
class Opening {
 public:
  Opening(PyObject* server, Ref listener) : server_(server), listener_(std::move(listener)) {}
  ~Opening() {
    // A thread ended at exit unwinds without the interpreter lock: nothing may be touched then.
    if (done_ || host::ended_by_exit()) return;
    host::Fetched pending;  // the error that ended the open is the one the caller gets
    undo();
    pending.restore();
  }
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;

  PyObject* listener() const { return listener_.get(); }

  // Starts the serve thread; what a failure leaves is recorded for undo().
  void start(Ref thread) {
    thread_ = std::move(thread);
    try {
      host::call_method(thread_.get(), M.start);
    } catch (const host::PyError&) {
      // An ordinary error (it could not start) leaves no thread behind; an interrupt may.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        host::Fetched err;
        may_run_ = started_anyway(thread_.get());
        err.restore();
      }
      throw;
    }
    may_run_ = true;
  }

  void set_attributes() {
    take_interrupt();
    former_net_ = host::getattr(server_, M.server_net);
    former_thread_ = host::getattr(server_, M.server_thread);
    attributes_set_ = true;
    host::setattr(server_, M.server_net, listener_.get());
    host::setattr(server_, M.server_thread, thread_.get());
  }

  void commit() {
    take_interrupt();
    g_open.push_back(OpenListener{Ref::borrow(server_), listener_});
    done_ = true;
    // The former thread object may go with this: see take_interrupt().
    former_net_ = Ref();
    former_thread_ = Ref();
  }

 private:
  // A Ctrl-C that came while no Python code ran is taken here, where the open can still be undone.
  // Otherwise the first Python code to run would take it, and that may be a callback run as an
  // object is freed (the former serve thread's, as its attribute is replaced), whose errors the
  // interpreter only reports: the interrupt would be lost, and the script would go on.
  static void take_interrupt() {
    if (PyErr_CheckSignals() < 0) host::throw_error();
  }

  // Each step on its own: one that fails does not keep the others from running.
  void undo() {
    auto step = [](auto&& f) {
      try {
        f();
      } catch (const host::PyError&) {
        PyErr_Clear();
      }
    };
    if (attributes_set_) {
      step([&] { host::setattr(server_, M.server_net, former_net_.get()); });
      step([&] { host::setattr(server_, M.server_thread, former_thread_.get()); });
    }
    stop_event_loop(listener_.get());
    step([&] { stop_serve_loop(listener_.get(), may_run_); });
    step([&] { host::call_method(listener_.get(), M.server_close); });
  }

  PyObject* server_;
  Ref listener_, thread_, former_net_, former_thread_;
  bool may_run_ = false;
  bool attributes_set_ = false;
  bool done_ = false;
};

Ref open(const Args& a) {
  PyObject* self = a.self();
  PyObject* ip = a[1];
  PyObject* port = a[2];
  Ref listener_class = host::getattr(M.module, "ThreadedSocklinkServer");
  Ref worker_class = host::getattr(M.module, "CLASS_SocklinkWorker");
  Ref address = Ref::steal(PyTuple_Pack(2, ip, port));
  // Bound and listening from here on; a failure here is the socket server's to clean up.
  Opening opening(self, host::call(listener_class.get(), address.get(), worker_class.get()));
  PyObject* listener = opening.listener();
  // The socket server listens with a backlog of 5: a burst of masters connecting at once would
  // overflow it and wait seconds for their handshakes. Listening again only widens the queue.
  {
    Ref listening = host::getattr(listener, "socket");
    Ref backlog = host::getattr(M.socket_module, "SOMAXCONN");
    host::call_method(listening.get(), M.listen, backlog.get());
  }
  host::setattr(listener, M.owner, self);
  // Without its loop (the system refused what it needs) every master is served by its thread.
  start_event_loop(listener);

  Ref thread_class = host::getattr(M.threading_module, M.Thread);
  Ref serve = host::getattr(listener, M.serve_forever);
  Ref kwargs = Ref::steal(PyDict_New());
  host::check(PyDict_SetItemString(kwargs.get(), "target", serve.get()));
  host::check(PyDict_SetItemString(kwargs.get(), "daemon", Py_True));
  Ref no_args = Ref::steal(PyTuple_New(0));
  opening.start(host::call_kw(thread_class.get(), no_args.get(), kwargs.get()));
  opening.set_attributes();

  Ref line = Ref::steal(PyUnicode_FromFormat("[Holdbank] Server Started on %S:%S", ip, port));
  host::print_line(line.get());
  opening.commit();
  return host::none();
}

// The listeners to stop, newest first: every one this server opened and has not closed, and
// `server_net` whatever it is (on a closed server, the listener stopped before, which a close
// stops again as it always did).
std::vector<OpenListener> listeners_to_stop(PyObject* self) {
  std::vector<OpenListener> found;
  for (auto it = g_open.rbegin(); it != g_open.rend(); ++it)
    if (it->server.get() == self) found.push_back(*it);
  Ref net = host::getattr(self, M.server_net);
  const bool known = std::any_of(found.begin(), found.end(), [&](const OpenListener& o) { return o.listener.get() == net.get(); });
  if (net.get() != Py_None && !known) found.insert(found.begin(), OpenListener{Ref::borrow(self), net});
  return found;
}

void forget_open(PyObject* listener) {
  g_open.erase(std::remove_if(g_open.begin(), g_open.end(), [&](const OpenListener& o) { return o.listener.get() == listener; }),
               g_open.end());
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

  for (const OpenListener& open : listeners_to_stop(self)) {
    PyObject* listener = open.listener.get();
    const bool stopped = host::log_ordinary_errors(M.logger, M.error, "Error closing TCP server: ", [&] {
      stop_serve_loop(listener, true);
      // Before the listening socket closes, which the loop watches. Masters that connected after
      // the drop above stay, served by their own threads.
      stop_event_loop(listener);
      host::call_method(listener, M.server_close);
      host::print_line("[Holdbank] 🛑 TCP port was closed。");
    });
    stop_event_loop(listener);  // also when stopping the serve loop failed
    if (stopped) forget_open(listener);
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
