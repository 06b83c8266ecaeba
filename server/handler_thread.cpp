// CLASS_SocklinkWorker.handle: the handler thread of one Modbus TCP master, for the life of its
// connection. (The class name is the one hosts know the handler by; it has nothing to do with the
// Socklink module.)
//
// The thread makes the connect and disconnect steps and offers the connection to the listener's
// event loop (event_loop.hpp) whenever nothing about its requests could be observed from Python
// (observability.hpp). Otherwise, or once the loop hands it back (connection.hpp), the thread
// serves it itself: the protocol core (modbus_core.hpp) over the server object, whose bank list,
// lock, write permission and hooks are all reached through the object, so that a subclass or the
// host script sees every call.
#include "server/handler_thread.hpp"
#include "server/connection.hpp"
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"
#include "server/listener_guard.hpp"
#include "server/modbus_core.hpp"
#include "server/observability.hpp"
#include "server/platform_socket.hpp"
#include "server/register_list.hpp"

#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

[[noreturn]] void raise_errno(int err) {
  host::set_errno_error(err);
  host::throw_error();
}

[[noreturn]] void raise_socket_error(int err) {
  host::set_socket_error(err);
  host::throw_error();
}

// Keeps the connection's descriptor open while this thread may block on it without the
// interpreter lock: the socket object may be closed by another thread at any time, and its number
// would then be free for a new connection. The socket object counts what holds it open the way a
// file made by socket.makefile() does: a close() meanwhile only marks it closed (socket_closed()
// sees that), and the real close happens when the pin is let go. So a hand-over costs no
// descriptor. A socket object without that count (not the standard library's) gets a duplicate
// descriptor instead.
class SocketPin {
 public:
  SocketPin(PyObject* sock, sock::Handle fd) : sock_(sock), fd_(fd) {
    if (socket_closed(sock)) raise_errno(EBADF);
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
    if (!pinned_ || host::ended_by_exit()) return;
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
    if (!pinned_) return socket_closed(sock_);
    Ref marked = Ref::steal(PyObject_GetAttr(sock_, M._closed));
    return marked.get() == Py_True;
  }

 private:
  PyObject* sock_;
  sock::Handle fd_;
  sock::Handle own_ = sock::kNone;
  bool pinned_ = false;
};

// The register bank as modbus::execute sees it, over the server object.
//
// Every call the server's methods would make is made, in the same order, unless it cannot be
// observed: when `_on_read` (say) is our own method and CUE_OnRead is quiet once the lock is held,
// no hook can run for the rest of the locked stretch (no Python code runs while we hold the
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
  ServerBank(Connection& conn, const SocketPin& pin)
      : server_(conn.server.get()), ip_(conn.ip.get()), conn_(conn), pin_(pin) {}

  // Called before each request: what was decided for the previous one may have changed.
  void begin_request() {
    writable_checked_ = false;
    words_ = WordReader{};
  }

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

  // Left by an exception (or by the thread's end at exit): the bank lock's guard decides what
  // letting go means then.
  void abandon() {
    hr_ = Ref();
    size_ = Ref();
    guard_.reset();
  }

  bool read(std::uint32_t addr, std::uint16_t& value) {
    if (quiet_read_ && plain_list_) {
      switch (slot_of(int_size_, PyList_Size(hr_.get()), addr)) {
        case Slot::PastSize:
          value = 0;
          return true;
        case Slot::InList:
          return words_.read(PyList_GetItem(hr_.get(), addr), value);
        case Slot::PastList:
          break;  // the generic path meets the list's IndexError
      }
    }
    Ref a = host::integer(addr);
    Ref val = in_bank(a.get(), addr) ? Ref::steal(PyObject_GetItem(hr_.get(), a.get())) : Ref::borrow(M.zero);
    if (!quiet_read_ && !conn_.dropped) host::call_method(server_, M._on_read, ip_, a.get(), val.get());
    return to_word(val.get(), value);
  }

  void store(std::uint32_t addr, std::uint16_t value) {
    if (plain_list_) {
      switch (slot_of(int_size_, PyList_Size(hr_.get()), addr)) {
        case Slot::PastSize:
          return;
        case Slot::InList:
          host::check(PyList_SetItem(hr_.get(), addr, host::integer(value).release()));
          return;
        case Slot::PastList:
          break;
      }
    }
    Ref a = host::integer(addr);
    if (!in_bank(a.get(), addr)) return;
    Ref v = host::integer(value);
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
      return !plain_attribute_access(server_);
    notify(M._on_write_denied, addr, value);
    return true;
  }

 private:
  bool quiet(PyObject* method, PyObject* fn, PyObject* hook) {
    Ref dict = instance_dict(server_);
    return is_quiet_method(server_, dict.get(), method, fn, hook);
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

  PyObject* server_;  // borrowed, as the connection's
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
  WordReader words_;  // the fast path's, for one request
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

// The connection served on its handler thread: requests already buffered first, then receive
// after receive. The answers to the requests of one receive are gathered and leave together, each
// whole, right before the next receive: one release of the interpreter lock covers both system
// calls. Returns when the master closes or, with `loop`, when the loop could take the connection
// back; raises for everything else.
Stop serve_on_thread(Connection& conn, EventLoop* loop) {
  Connection::Stream& s = conn.stream;
  if (s.ending && s.out.empty()) {
    s.ending.set_error();
    host::throw_error();
  }
  SocketPin pin(conn.sock.get(), conn.fd);
  const sock::Handle fd = pin.get();
  std::vector<std::uint8_t> answer;
  ServerBank bank(conn, pin);
  // The requests before the one that ends the connection were answered: those answers still go
  // out (unless the master was dropped), and then the error set now is raised.
  auto send_answered_then_raise = [&]() {
    if (!s.out.empty() && !conn.dropped) {
      host::Fetched err;
      send_then_receive(fd, s.out, nullptr);
      err.restore();
    }
    host::throw_error();
  };
  if (s.ending) {
    // Ended in the loop.
    s.ending.set_error();
    send_answered_then_raise();
  }
  for (;;) {
    modbus::Frame frame;
    while (s.frames.next(frame)) {
      // Dropped: no request received before the drop is executed after it (nor its hooks called).
      if (conn.dropped) raise_errno(EBADF);
      if (frame.dropped) continue;
      bank.begin_request();
      modbus::Result r;
      try {
        r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, answer);
      } catch (const host::PyError&) {
        send_answered_then_raise();
      }
      if (conn.dropped) raise_errno(EBADF);  // dropped while it ran (by a hook of its own, say)
      if (r.outcome == modbus::Outcome::Malformed) {
        PyErr_SetString(M.struct_error, r.error);
        send_answered_then_raise();
      }
      s.out.insert(s.out.end(), answer.begin(), answer.end());
    }
    // Nothing left to execute: the loop sends what is pending and goes on.
    if (loop && unobservable(conn.server.get())) return Stop::LoopMayServe;
    const auto space = s.frames.recv_space();
    const sock::IoSize n = send_then_receive(fd, s.out, &space);
    // Closed by another thread (CUF_DisconnectClient, the allow-list check): from then on the
    // connection is the closed socket it is, even if bytes the master sent earlier are waiting.
    if (conn.dropped || pin.closed()) raise_errno(EBADF);
    if (n == 0) return Stop::Closed;
    s.frames.commit(static_cast<std::size_t>(n));
  }
}

// Waits, without the interpreter lock, until the loop hands the connection back, logging for the
// loop what it asks this thread to log. Never raises: the loop still holds the connection.
Connection::Turn wait_for_turn(Connection& conn) {
  for (;;) {
    const Connection::Wake wake = host::without_gil([&]() noexcept { return conn.wait_for_turn(); });
    if (wake.log) log_pending_lines();
    if (wake.turn != Connection::Turn::Loop) return wake.turn;
  }
}

// The request loop of one connection: returns when the master closes; raises for everything else.
void serve(const std::shared_ptr<Connection>& shared, PyObject* listener) {
  Connection& conn = *shared;
  std::shared_ptr<EventLoop> loop = event_loop_for(listener);
  bool start_in_loop = loop && unobservable(conn.server.get());
  for (;;) {
    if (start_in_loop) {
      conn.lend_to_loop();
      if (adopt_connection(*loop, shared)) {
        const Connection::Turn turn = wait_for_turn(conn);
        if (turn == Connection::Turn::Ended && !conn.stream.ending && conn.stream.out.empty()) return;  // the master closed
        if (turn == Connection::Turn::LoopGone) loop.reset();
      } else {
        loop.reset();
      }
    }
    if (serve_on_thread(conn, loop.get()) == Stop::Closed) return;
    start_in_loop = true;
  }
}

// ---- the connections being served, by their socket object, for CUF_DisconnectClient ------------

// Under the interpreter lock; never freed (static destructors run after the interpreter is gone).
std::unordered_map<PyObject*, std::weak_ptr<Connection>>& g_connections =
    *new std::unordered_map<PyObject*, std::weak_ptr<Connection>>;

// The connection as CUF_DisconnectClient finds it, for as long as its handler runs.
class Registered {
 public:
  explicit Registered(const std::shared_ptr<Connection>& conn) : conn_(conn) {
    g_connections[conn->sock.get()] = conn;
  }
  ~Registered() {
    // A thread ended at exit unwinds without the interpreter lock, which guards the table: the
    // entry stays, and names a connection no longer there (drop_connection finds nothing).
    if (host::ended_by_exit()) return;
    auto it = g_connections.find(conn_->sock.get());
    if (it == g_connections.end()) return;
    std::shared_ptr<Connection> held = it->second.lock();
    if (!held || held == conn_) g_connections.erase(it);
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

  // What the connection borrows lives in this frame until the connection is done with.
  auto conn = std::make_shared<Connection>(sock.get(), server.get(), client_ip, next_connection_id());
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
    serve(conn, listener.get());
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

bool drop_connection(PyObject* sock) {
  auto it = g_connections.find(sock);
  if (it == g_connections.end()) return false;
  std::shared_ptr<Connection> conn = it->second.lock();
  if (!conn) return false;
  conn->dropped = true;
  forget_dropped(*conn);
  return true;
}

const host::MethodDef kHandle{"handle", handle, {{"self"}}};

}  // namespace holdbank
