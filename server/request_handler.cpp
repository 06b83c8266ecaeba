// CLASS_SocklinkWorker.handle: serves one Modbus TCP master for the life of its connection.
//
// The protocol work (cutting frames from the stream, executing a request, encoding the answer)
// is modbus_core.hpp; this file connects it to the socket and to the server object: the bank
// list, its lock, the write permission and the hooks, all reached through the object so that a
// subclass or the host script sees every call. While none of those calls could be observed, the
// listener's event loop serves the connection (event_loop.hpp) with the quiet executor below.
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"
#include "server/modbus_core.hpp"
#include "server/platform_socket.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <vector>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

[[noreturn]] void raise_errno(int err) {
  errno = err;
  PyErr_SetFromErrno(PyExc_OSError);  // picks ConnectionResetError, BrokenPipeError, ... by errno
  host::throw_error();
}

[[noreturn]] void raise_socket_error(int err) {
  set_socket_error(err);
  host::throw_error();
}

// Keeps the connection's descriptor open while this thread may block on it without the
// interpreter lock: the socket object may be closed by another thread at any time, and its number
// would then be free for a new connection. The socket object counts what holds it open the way a
// file made by socket.makefile() does: a close() meanwhile only marks it closed (closed_elsewhere
// sees that), and the real close happens when the pin is let go. So a hand-over costs no
// descriptor. A socket object without that count (not the standard library's) gets a duplicate
// descriptor instead.
class SocketPin {
 public:
  SocketPin(PyObject* sock, sock::Handle fd) : sock_(sock), fd_(fd) {
    if (closed_elsewhere(sock)) raise_errno(EBADF);
    Ref refs = Ref::steal_or_null(PyObject_GetAttr(sock, M._io_refs));
    long long n = 0;
    if (refs && host::int_within(refs.get(), n) && n >= 0) {
      Ref more = host::integer(n + 1);
      if (PyObject_SetAttr(sock, M._io_refs, more.get()) == 0) {
        pinned_ = true;
        return;
      }
    }
    PyErr_Clear();
    own_ = sock::duplicate(fd);
    if (own_ == sock::kNone) raise_socket_error(sock::last_error());
    sock::no_sigpipe(own_);
    fd_ = own_;
  }
  ~SocketPin() {
    if (own_ != sock::kNone) sock::close(own_);
    // A thread ended at exit unwinds without the interpreter lock: the socket is left as it is.
    if (!pinned_ || host::thread_exit_noted() || host::exiting_elsewhere()) return;
    host::Fetched pending;  // an error on its way out stays the one reported
    Ref done = Ref::steal_or_null(PyObject_CallMethodObjArgs(sock_, M._decref_socketios, nullptr));
    if (!done) PyErr_WriteUnraisable(sock_);
    pending.restore();
  }
  SocketPin(const SocketPin&) = delete;
  SocketPin& operator=(const SocketPin&) = delete;
  sock::Handle get() const { return fd_; }

  // Whether the socket object was closed. While pinned, a close only marks it, so the mark is all
  // there is to look at.
  bool closed() const {
    if (!pinned_) return closed_elsewhere(sock_);
    Ref marked = Ref::steal(PyObject_GetAttr(sock_, M._closed));
    return marked.get() == Py_True;
  }

 private:
  PyObject* sock_;
  sock::Handle fd_;
  sock::Handle own_ = sock::kNone;
  bool pinned_ = false;
};

// A register the host filled with something that is not a 16-bit word cannot be sent. Inlined:
// it runs once per register of a read.
[[gnu::always_inline]] inline bool to_word(PyObject* v, std::uint16_t& out) {
  out = 0;
  long long x = 0;
  if (!host::int_within(v, x, 0, 0xFFFF, host::IntKind::or_subclass)) return false;
  out = static_cast<std::uint16_t>(x);
  return true;
}

bool is_quiet_hook(PyObject* server, PyObject* hook) {
  // Only None and False: any other value's truth could run the host's code.
  Ref h = host::getattr(server, hook);
  return h.get() == Py_None || h.get() == Py_False;
}

// Whether reading the attributes the loop reads runs no code of the host's. Generic attribute
// access alone does not say so: a class may put a property (or any object with a __get__) under
// one of these names, and reading it would run that code on the loop thread instead of the
// connection's. Our own methods are the one kind of descriptor allowed; a metaclass other than
// type could run code on the class lookup itself.
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

// The walk over the class's dictionaries costs several thousand instructions, more than a whole
// request: with one master it would be paid by every request. Its answer is kept for a tenth of
// a second per class, so a class changed at run time (a property put on it) is seen within that.
// Under the interpreter lock only. The loop keeps a verdict of its own, which it lets go of on the
// thread that stops it: letting go of a class may free it, which may run code of the host's.
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

// The verdict the handler threads share; kept for the process's life.
ClassVerdict& thread_verdict() {
  static ClassVerdict* seen = new ClassVerdict;
  return *seen;
}

// Whether reading the server's attributes that serving reads runs no code of the host's.
bool plain_attribute_access(PyObject* server, ClassVerdict& seen = thread_verdict()) {
  PyTypeObject* type = Py_TYPE(server);
  return PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(PyObject_GenericGetAttr) &&
         inert_class_attributes_lately(type, seen);
}

// The register bank as modbus::execute sees it, over the server object.
//
// Every call the server's methods would make is made, in the same order, unless it cannot be
// observed: when `_on_read` (say) is our own method and CUE_OnRead is false once the lock is
// held, no hook can run for the rest of the locked stretch (no Python code runs while we hold the
// interpreter lock), so the per-register dispatch is skipped. Likewise `_is_writable`, when it is
// ours, is answered from the range lists directly, and for a whole write-multiple at once when
// reading the lists runs no code of the host's.
//
// A drop (CUF_DisconnectClient: the host's, the allow-list's, or one a hook of this very
// connection makes) silences the request being executed: no hook is called once it has returned.
// The stores of a write-multiple already under way still finish, so the bank never holds half of
// one; the answer is never sent.
class ServerBank {
 public:
  ServerBank(Connection& conn, const SocketPin& pin) : server_(conn.server), ip_(conn.ip), conn_(conn), pin_(pin) {}

  // Called before each request: what was decided for the previous one may have changed.
  void begin_request() { writable_checked_ = false; }

  bool is_writable(std::uint32_t addr) {
    if (!writable_checked_) {
      writable_native_ = is_own_method(server_, M._is_writable, M.fn_is_writable);
      writable_checked_ = true;
    }
    if (writable_native_) return ranges_allow(server_, addr);
    Ref a = host::integer(addr);
    return host::truthy(host::call_method(server_, M._is_writable, a.get()).get());
  }

  std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count) {
    if (!is_own_method(server_, M._is_writable, M.fn_is_writable) || !plain_attribute_access(server_) ||
        !native_ranges(server_, ranges_))
      return std::nullopt;
    return ranges_.cover(start, count);
  }

  void lock() {
    guard_.emplace(server_);
    // A connection the host dropped while this request waited for the lock must not reach the
    // bank: the drop closes the socket under this same lock.
    if (conn_.dropped || pin_.closed()) {
      unlock();
      raise_errno(EBADF);
    }
    hr_ = host::getattr(server_, M.hr);
    size_ = host::getattr(server_, M.size);
    size_is_int_ = PyLong_Check(size_.get());
    if (size_is_int_) int_size_ = host::clamped_int(size_.get());
    plain_list_ = PyList_CheckExact(hr_.get()) && size_is_int_;
    quiet_read_ = quiet(M._on_read, M.fn_on_read, M.CUE_OnRead);
    quiet_write_ = quiet(M._on_write, M.fn_on_write, M.CUE_OnWrite);
  }

  void unlock() {
    hr_ = Ref();
    size_ = Ref();
    if (guard_) guard_->release();
    guard_.reset();
  }

  bool read(std::uint32_t addr, std::uint16_t& value) {
    if (quiet_read_ && plain_list_) {
      if (static_cast<long long>(addr) >= int_size_) {
        value = 0;
        return true;
      }
      if (static_cast<long long>(addr) < PyList_Size(hr_.get())) return to_word(PyList_GetItem(hr_.get(), addr), value);
    }
    Ref a = host::integer(addr);
    Ref val = in_bank(a.get(), addr) ? Ref::steal(PyObject_GetItem(hr_.get(), a.get())) : Ref::borrow(M.zero);
    if (!quiet_read_ && !conn_.dropped) host::call_method(server_, M._on_read, ip_, a.get(), val.get());
    return to_word(val.get(), value);
  }

  void store(std::uint32_t addr, std::uint16_t value) {
    if (plain_list_ && static_cast<long long>(addr) >= int_size_) return;
    Ref v = host::integer(value);
    if (plain_list_ && static_cast<long long>(addr) < PyList_Size(hr_.get())) {
      host::check(PyList_SetItem(hr_.get(), addr, v.release()));
      return;
    }
    Ref a = host::integer(addr);
    if (!in_bank(a.get(), addr)) return;
    host::check(PyObject_SetItem(hr_.get(), a.get(), v.get()));
  }

  // Under the lock (write-multiple) the decision made at lock() holds; after it (write-single)
  // it is made afresh.
  void notify_write(std::uint32_t addr, std::uint16_t value) {
    if (conn_.dropped) return;
    if (guard_ ? quiet_write_ : quiet(M._on_write, M.fn_on_write, M.CUE_OnWrite)) return;
    notify(M._on_write, addr, value);
  }

  bool notify_write_denied(std::uint32_t addr, std::uint16_t value) {
    if (conn_.dropped) return false;
    if (quiet(M._on_write_denied, M.fn_on_write_denied, M.CUE_OnWriteDenied))
      // Unless finding that out ran the host's code, nothing can change it before the next denial.
      return !(plain_attribute_access(server_) && is_quiet_hook(server_, M.CUE_OnWriteDenied));
    notify(M._on_write_denied, addr, value);
    return true;
  }

 private:
  // True when `method` is ours and its hook is false: calling it would do nothing.
  bool quiet(PyObject* method, PyObject* fn, PyObject* hook) {
    if (!is_own_method(server_, method, fn)) return false;
    Ref h = host::getattr(server_, hook);
    return !host::truthy(h.get());
  }

  bool in_bank(PyObject* a, std::uint32_t addr) {
    if (size_is_int_) return static_cast<long long>(addr) < int_size_;
    return host::check(PyObject_RichCompareBool(a, size_.get(), Py_LT)) != 0;
  }

  void notify(PyObject* method, std::uint32_t addr, std::uint16_t value) {
    Ref a = host::integer(addr);
    Ref v = host::integer(value);
    host::call_method(server_, method, ip_, a.get(), v.get());
  }

  PyObject* server_;
  PyObject* ip_;
  Connection& conn_;
  const SocketPin& pin_;
  std::optional<BankLock> guard_;
  WritableRanges ranges_;
  Ref hr_, size_;
  long long int_size_ = 0;
  bool size_is_int_ = true;
  bool plain_list_ = false;
  bool quiet_read_ = false;
  bool quiet_write_ = false;
  bool writable_checked_ = false;
  bool writable_native_ = false;
};

// Sends every byte unless an error comes first; returns 0 or the socket error. Without the GIL.
int send_all(sock::Handle fd, const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t sent = 0;
  while (sent < size) {
    const sock::IoSize n = sock::send_some(fd, data + sent, size - sent);
    if (n < 0) {
      const int err = sock::last_error();
      if (sock::interrupted(err)) continue;
      return err;
    }
    sent += static_cast<std::size_t>(n);
  }
  return 0;
}

// Sends the pending answers and then, given `space`, receives once into it: one release of the
// interpreter lock covers both system calls. The answers are gone either way. Returns the bytes
// received; raises the first error.
sock::IoSize send_then_receive(sock::Handle fd, std::vector<std::uint8_t>& outgoing,
                               const std::pair<std::uint8_t*, std::size_t>* space) {
  sock::IoSize n = 0;
  int send_err = 0, recv_err = 0;
  host::without_gil([&]() noexcept {
    send_err = send_all(fd, outgoing.data(), outgoing.size());
    if (!send_err && space) {
      for (;;) {
        n = sock::recv_some(fd, space->first, space->second);
        if (n >= 0) break;
        recv_err = sock::last_error();
        if (!sock::interrupted(recv_err)) break;
        recv_err = 0;
      }
    }
    return 0;
  });
  outgoing.clear();
  if (send_err) raise_socket_error(send_err);
  if (recv_err) raise_socket_error(recv_err);
  return n;
}

// What ends serving on the handler thread.
enum class Stop { Closed, LoopMayServe };

// The connection served on its handler thread, through a descriptor of its own: requests already
// buffered first, then receive after receive. The answers to the requests of one receive are
// gathered and leave together, each whole, right before the next receive: one release of the
// interpreter lock covers both system calls. Returns when the master closes or, with `loop`, when
// the loop could take the connection back; raises for everything else.
Stop serve_on_thread(Connection& conn, EventLoop* loop) {
  if (conn.ending && conn.out.empty()) {
    conn.ending.set_error();
    host::throw_error();
  }
  SocketPin pin(conn.sock, conn.fd);
  const sock::Handle fd = pin.get();
  modbus::FrameAssembler& frames = conn.frames;
  std::vector<std::uint8_t>& outgoing = conn.out;
  std::vector<std::uint8_t> answer;
  ServerBank bank(conn, pin);
  auto flush = [&] { send_then_receive(fd, outgoing, nullptr); };
  if (conn.ending) {
    // Ended in the loop: what was answered before still goes out.
    flush();
    conn.ending.set_error();
    host::throw_error();
  }
  for (;;) {
    modbus::Frame frame;
    while (frames.next(frame)) {
      // Dropped: no request received before the drop is executed after it (nor its hooks called).
      if (conn.dropped) raise_errno(EBADF);
      if (frame.dropped) continue;
      bank.begin_request();
      modbus::Result r;
      try {
        r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, answer);
      } catch (const host::PyError&) {
        // The requests before this one were answered; their answers still go out.
        if (!outgoing.empty() && !conn.dropped) {
          host::Fetched err;
          flush();
          err.restore();
        }
        throw;
      }
      if (conn.dropped) raise_errno(EBADF);  // dropped while it ran (by a hook of its own, say)
      if (r.outcome == modbus::Outcome::Malformed) {
        if (!outgoing.empty()) flush();
        host::raise(M.struct_error, r.error);
      }
      outgoing.insert(outgoing.end(), answer.begin(), answer.end());
    }
    // Nothing left to execute: the loop sends what is pending and goes on.
    if (loop && loop_may_serve(conn.server)) return Stop::LoopMayServe;
    const auto space = frames.recv_space();
    const sock::IoSize n = send_then_receive(fd, outgoing, &space);
    // Closed by another thread (CUF_DisconnectClient, the allow-list check): from then on the
    // connection is the closed socket it is, even if bytes the master sent earlier are waiting.
    if (conn.dropped || pin.closed()) raise_errno(EBADF);
    if (n == 0) return Stop::Closed;
    frames.commit(static_cast<std::size_t>(n));
  }
}

// Waits, without the interpreter lock, until the loop hands the connection back, logging for the
// loop what it asks this thread to log. Never raises: the loop still holds the connection.
Connection::Turn wait_for_turn(Connection& conn) {
  for (;;) {
    bool log = false;
    const Connection::Turn turn = host::without_gil([&]() noexcept {
      std::unique_lock<std::mutex> hold(conn.m);
      conn.cv.wait(hold, [&] { return conn.turn != Connection::Turn::Loop || conn.log_asked; });
      log = std::exchange(conn.log_asked, false);
      return conn.turn;
    });
    if (log) log_pending_lines();
    if (turn != Connection::Turn::Loop) return turn;
  }
}

// The request loop of one connection: returns when the master closes; raises for everything else.
void serve(Connection& conn, const std::shared_ptr<Connection>& shared, PyObject* listener) {
  std::shared_ptr<EventLoop> loop = event_loop_for(listener);
  bool start_in_loop = loop && loop_may_serve(conn.server);
  for (;;) {
    if (start_in_loop) {
      {
        std::lock_guard<std::mutex> hold(conn.m);
        conn.turn = Connection::Turn::Loop;
      }
      if (adopt_connection(*loop, shared)) {
        const Connection::Turn turn = wait_for_turn(conn);
        if (turn == Connection::Turn::Ended && !conn.ending && conn.out.empty()) return;  // the master closed
        if (turn == Connection::Turn::LoopGone) loop.reset();
      } else {
        loop.reset();
      }
    }
    if (serve_on_thread(conn, loop.get()) == Stop::Closed) return;
    start_in_loop = true;
  }
}

// The connection as CUF_DisconnectClient finds it, for as long as its handler runs.
class Registered {
 public:
  explicit Registered(const std::shared_ptr<Connection>& conn) : conn_(conn) { register_connection(conn); }
  ~Registered() {
    // A thread ended at exit unwinds without the interpreter lock, which guards the table: the
    // entry stays, and names a connection no longer there (drop_connection finds nothing).
    if (host::thread_exit_noted() || host::exiting_elsewhere()) return;
    unregister_connection(*conn_);
  }
  Registered(const Registered&) = delete;
  Registered& operator=(const Registered&) = delete;

 private:
  std::shared_ptr<Connection> conn_;
};

std::uint64_t next_connection_id() {
  static std::atomic<std::uint64_t> next{16};  // below: the loop's own keys
  return next.fetch_add(1, std::memory_order_relaxed);
}

Ref handle(const Args& a) {
  PyObject* self = a.self();
  Ref address = host::getattr(self, M.client_address);
  Ref pair = Ref::steal(PySequence_Tuple(address.get()));
  if (PyTuple_Size(pair.get()) != 2) host::raise(PyExc_ValueError, "client_address is not an (ip, port) pair");
  PyObject* client_ip = PyTuple_GetItem(pair.get(), 0);
  PyObject* client_port = PyTuple_GetItem(pair.get(), 1);
  Ref full_address = Ref::steal(PyUnicode_FromFormat("%S:%S", client_ip, client_port));
  Ref listener = host::getattr(self, M.server);
  Ref server = host::getattr(listener.get(), M.owner);
  Ref sock = host::getattr(self, M.request);

  auto conn = std::make_shared<Connection>();
  conn->sock = sock.get();
  conn->server = server.get();
  conn->ip = client_ip;
  conn->fd = sock::kNone;
  conn->id = next_connection_id();
  Registered registered(conn);

  try {
    host::call_method(server.get(), M._on_client_connect, client_ip, full_address.get(), sock.get());
  } catch (const host::PyError&) {
    // The disconnect step, which would remove the entry the connect step made, does not run: the
    // entry goes here, so that a master refused this way leaves nothing behind.
    host::Fetched err;
    try {
      remove_own_entry(server.get(), full_address.get(), sock.get());
    } catch (const host::PyError&) {
      PyErr_Clear();
    }
    err.restore();
    throw;
  }

  auto disconnect_step = [&] {
    DisconnectStep step(sock.get());
    host::call_method(server.get(), M._on_client_disconnect, full_address.get());
  };
  try {
    Ref no = host::call_method(sock.get(), M.fileno);
    conn->fd = sock::from_fileno(host::as_long_long(no.get()));
    if (conn->fd == sock::kNone) raise_errno(EBADF);
    serve(*conn, conn, listener.get());
  } catch (const host::PyError&) {
    // Interrupts and exit requests end the connection too on their way to the caller.
    host::Fetched err = host::ordinary_error(disconnect_step);
    if (!err.matches(PyExc_ConnectionResetError)) {
      Ref message = host::concat("Exception: ", err.value());
      host::log(M.logger, M.debug, message.get());
    }
  }
  disconnect_step();
  return host::none();
}

}  // namespace

bool closed_elsewhere(PyObject* sock) {
  // A socket a handler thread holds open (SocketPin) is only marked closed by close().
  Ref marked = Ref::steal_or_null(PyObject_GetAttr(sock, M._closed));
  if (!marked)
    PyErr_Clear();
  else if (marked.get() == Py_True)
    return true;
  Ref no = host::call_method(sock, M.fileno);
  return host::as_long_long(no.get()) < 0;
}

void set_socket_error(int err) {
#ifdef _WIN32
  PyErr_SetFromWindowsErr(err);  // maps Winsock's codes to the same OSError subclasses
#else
  errno = err;
  PyErr_SetFromErrno(PyExc_OSError);
#endif
}

// ---- the quiet executor of the event loop -------------------------------------------------------

namespace {

void fill_view(LoopView* v, PyObject* server, ClassVerdict& seen) {
  if (!plain_attribute_access(server, seen)) return;
  v->hr = host::getattr(server, M.hr);
  Ref size = host::getattr(server, M.size);
  v->lock = host::getattr(server, M.lock);
  v->plain = host::int_within(size.get(), v->size) && PyList_CheckExact(v->hr.get()) &&
             reinterpret_cast<PyObject*>(Py_TYPE(v->lock.get())) == M.plain_lock_type;
  if (!v->plain) return;
  Ref dict = instance_dict(server);
  auto own = [&](PyObject* name, PyObject* fn) { return is_own_method_in(server, dict.get(), name, fn); };
  v->read_quiet = own(M._on_read, M.fn_on_read) && is_quiet_hook(server, M.CUE_OnRead);
  v->write_quiet = own(M._on_write, M.fn_on_write) && is_quiet_hook(server, M.CUE_OnWrite);
  v->denied_quiet = own(M._on_write_denied, M.fn_on_write_denied) && is_quiet_hook(server, M.CUE_OnWriteDenied);
  v->ranges_native = own(M._is_writable, M.fn_is_writable) && native_ranges(server, v->ranges);
}

// Never raises: this runs on the loop thread too, where an error would end the process. A server
// whose attributes cannot be read (the host deleted one, say) is left to the handler thread, which
// meets the same error on its request and ends that connection with it.
std::unique_ptr<LoopView> make_view(PyObject* server, ClassVerdict& seen) {
  auto v = std::make_unique<LoopView>();
  v->server = server;
  try {
    fill_view(v.get(), server, seen);
  } catch (const host::PyError&) {
    PyErr_Clear();
    v = std::make_unique<LoopView>();
    v->server = server;
  }
  return v;
}

// Something about the request needs the handler thread after all (the bank lock is busy, or a
// register holds a value whose reading is the host's business): the request goes there, as it
// is, before anything of it was done.
struct NotQuiet {};

// The bank as modbus::execute sees it in the loop: only what LoopView::quiet_for allowed gets here,
// so nothing is notified and every access is to plain objects. The loop checked at the start of
// this wake-up that the connection was not dropped; nothing can drop it before the wake-up ends
// (see event_loop.cpp), so that check stands for the one the handler thread makes under the lock.
class QuietBank {
 public:
  explicit QuietBank(LoopView& v) : v_(v) {}
  bool is_writable(std::uint32_t addr) { return v_.ranges.allow(addr); }
  std::optional<bool> all_writable(std::uint32_t start, std::uint32_t count) { return v_.ranges.cover(start, count); }
  void lock() {
    if (!try_lock_plain(v_.lock.get())) throw NotQuiet{};
    locked_ = true;
  }
  void unlock() {
    if (!locked_) return;
    locked_ = false;
    unlock_plain(v_.lock.get());
  }
  bool read(std::uint32_t addr, std::uint16_t& value) {
    if (static_cast<long long>(addr) >= v_.size) {
      value = 0;
      return true;
    }
    PyObject* hr = v_.hr.get();
    // A list the host made shorter than `size` is the handler thread's to meet (its IndexError).
    if (static_cast<Py_ssize_t>(addr) >= PyList_Size(hr)) throw NotQuiet{};
    PyObject* item = PyList_GetItem(hr, addr);
    if (!PyLong_CheckExact(item)) throw NotQuiet{};
    return to_word(item, value);
  }
  // quiet_for() saw that every register stored into holds an exact int inside the list.
  void store(std::uint32_t addr, std::uint16_t value) {
    if (static_cast<long long>(addr) >= v_.size) return;
    Ref v = host::integer(value);
    host::check(PyList_SetItem(v_.hr.get(), addr, v.release()));
  }
  void notify_write(std::uint32_t, std::uint16_t) {}
  bool notify_write_denied(std::uint32_t, std::uint16_t) { return false; }

 private:
  LoopView& v_;
  bool locked_ = false;
};

}  // namespace

bool loop_may_serve(PyObject* server) {
  // The hooks first: when one is set, that is all it takes to know.
  for (PyObject* hook : {M.CUE_OnRead, M.CUE_OnWrite, M.CUE_OnWriteDenied})
    if (!is_quiet_hook(server, hook)) return false;
  std::unique_ptr<LoopView> v = make_view(server, thread_verdict());
  return v->plain && v->read_quiet && v->write_quiet && v->denied_quiet && v->ranges_native;
}

LoopOutcome serve_in_loop(Connection& conn, std::unique_ptr<LoopView>& view, ClassVerdict& seen) {
  if (!view || view->server != conn.server) view = make_view(conn.server, seen);
  modbus::Frame frame;
  while (conn.frames.next(frame)) {
    if (frame.dropped) continue;
    if (!view->quiet_for(frame)) {
      conn.frames.put_back();
      return LoopOutcome::ToHandler;
    }
    QuietBank bank(*view);
    modbus::Result r;
    try {
      r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, view->answer);
    } catch (const NotQuiet&) {
      conn.frames.put_back();
      return LoopOutcome::ToHandler;
    } catch (const host::PyError&) {
      conn.ending = LoopEnding{LoopEnding::Kind::Python};
      conn.ending.error.emplace();
      return LoopOutcome::Failed;
    }
    if (r.outcome == modbus::Outcome::Malformed) {
      conn.ending = LoopEnding{LoopEnding::Kind::Malformed, 0, r.error};
      return LoopOutcome::Failed;
    }
    conn.out.insert(conn.out.end(), view->answer.begin(), view->answer.end());
  }
  return LoopOutcome::Served;
}

const host::MethodDef kHandle{"handle", handle, {{"self"}}};

}  // namespace holdbank
