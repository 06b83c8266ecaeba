// CLASS_SocklinkWorker.handle: serves one Modbus TCP master for the life of its connection.
//
// The protocol work (cutting frames from the stream, executing a request, encoding the answer)
// is modbus_core.hpp; this file connects it to the socket and to the server object: the bank
// list, its lock, the write permission and the hooks, all reached through the object so that a
// subclass or the host script sees every call.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include "server/holdbank.hpp"
#include "server/modbus_core.hpp"

using host::Args;
using host::Ref;

namespace holdbank {
namespace {

[[noreturn]] void raise_errno(int err) {
  errno = err;
  PyErr_SetFromErrno(PyExc_OSError);  // picks ConnectionResetError, BrokenPipeError, ... by errno
  host::throw_error();
}

// Our own descriptor of the connection: the socket object may be closed by another thread at
// any time, and its number may then be reused by a new connection; ours stays valid until we
// close it.
class OwnDescriptor {
 public:
  explicit OwnDescriptor(PyObject* sock) {
    Ref no = host::call_method(sock, N.fileno);
    const long long fd = host::as_long_long(no.get());
    fd_ = fd < 0 || fd > INT_MAX ? -1 : fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) raise_errno(fd < 0 ? EBADF : errno);
  }
  ~OwnDescriptor() { close(); }
  OwnDescriptor(const OwnDescriptor&) = delete;
  OwnDescriptor& operator=(const OwnDescriptor&) = delete;
  int get() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The register bank as modbus::execute sees it, over the server object.
//
// Every call the server's methods would make is made, in the same order, unless it cannot be
// observed: when `_on_read` (say) is our own method and CUE_OnRead is false once the lock is
// held, no hook can run for the rest of the locked stretch (no Python code runs while we hold the
// interpreter lock), so the per-register dispatch is skipped. Likewise `_is_writable`, when it is
// ours, is answered from the range lists directly.
class ServerBank {
 public:
  ServerBank(PyObject* server, PyObject* client_ip) : server_(server), ip_(client_ip) {}

  // Called before each request: what was decided for the previous one may have changed.
  void begin_request() { writable_checked_ = false; }

  bool is_writable(std::uint32_t addr) {
    if (!writable_checked_) {
      writable_native_ = is_own_method(server_, N._is_writable, N.fn_is_writable);
      writable_checked_ = true;
    }
    if (writable_native_) return ranges_allow(server_, addr);
    Ref a = host::integer(addr);
    return host::truthy(host::call_method(server_, N._is_writable, a.get()).get());
  }

  void lock() {
    guard_.emplace(server_);
    hr_ = host::getattr(server_, N.hr);
    size_ = host::getattr(server_, N.size);
    size_is_int_ = PyLong_Check(size_.get());
    if (size_is_int_) {
      int overflow = 0;
      int_size_ = PyLong_AsLongLongAndOverflow(size_.get(), &overflow);
      if (int_size_ == -1 && PyErr_Occurred()) host::throw_error();
      if (overflow) int_size_ = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    }
    plain_list_ = PyList_CheckExact(hr_.get()) && size_is_int_;
    quiet_read_ = quiet(N._on_read, N.fn_on_read, N.CUE_OnRead);
    quiet_write_ = quiet(N._on_write, N.fn_on_write, N.CUE_OnWrite);
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
    Ref val = in_bank(a.get(), addr) ? Ref::steal(PyObject_GetItem(hr_.get(), a.get())) : Ref::borrow(N.zero);
    if (!quiet_read_) host::call_method(server_, N._on_read, ip_, a.get(), val.get());
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
    if (guard_ ? quiet_write_ : quiet(N._on_write, N.fn_on_write, N.CUE_OnWrite)) return;
    notify(N._on_write, addr, value);
  }

  void notify_write_denied(std::uint32_t addr, std::uint16_t value) {
    if (quiet(N._on_write_denied, N.fn_on_write_denied, N.CUE_OnWriteDenied)) return;
    notify(N._on_write_denied, addr, value);
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

  // A register the host filled with something that is not a 16-bit word cannot be sent.
  static bool to_word(PyObject* v, std::uint16_t& out) {
    out = 0;
    if (!PyLong_Check(v)) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) host::throw_error();
    if (overflow || x < 0 || x > 0xFFFF) return false;
    out = static_cast<std::uint16_t>(x);
    return true;
  }

  void notify(PyObject* method, std::uint32_t addr, std::uint16_t value) {
    Ref a = host::integer(addr);
    Ref v = host::integer(value);
    host::call_method(server_, method, ip_, a.get(), v.get());
  }

  PyObject* server_;
  PyObject* ip_;
  std::optional<BankLock> guard_;
  Ref hr_, size_;
  long long int_size_ = 0;
  bool size_is_int_ = true;
  bool plain_list_ = false;
  bool quiet_read_ = false;
  bool quiet_write_ = false;
  bool writable_checked_ = false;
  bool writable_native_ = false;
};

// True once another thread (CUF_DisconnectClient, the allow-list check) closed the socket object:
// from then on the connection is treated as the closed socket it is, even if bytes the master
// sent earlier are still waiting in our descriptor.
bool closed_elsewhere(PyObject* sock) {
  Ref no = host::call_method(sock, N.fileno);
  return host::as_long_long(no.get()) < 0;
}

// Sends every byte unless an error comes first; returns 0 or the errno. Without the GIL.
int send_all(int fd, const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    sent += static_cast<std::size_t>(n);
  }
  return 0;
}

// The request loop: returns when the master closes; raises for everything else.
//
// The answers to the requests of one receive are gathered and leave together, each whole, right
// before the next receive: one release of the interpreter lock covers both system calls.
void serve(int fd, PyObject* sock, PyObject* server, PyObject* client_ip) {
  static PyObject* struct_error = host::getattr(host::import("struct").get(), "error").release();
  modbus::FrameAssembler frames;
  std::vector<std::uint8_t> answer;
  std::vector<std::uint8_t> outgoing;
  ServerBank bank(server, client_ip);
  auto flush = [&] {
    const int err = host::without_gil([&]() noexcept { return send_all(fd, outgoing.data(), outgoing.size()); });
    outgoing.clear();
    if (err) raise_errno(err);
  };
  for (;;) {
    auto space = frames.recv_space();
    ssize_t n = 0;
    int send_err = 0, recv_err = 0;
    host::without_gil([&]() noexcept {
      send_err = send_all(fd, outgoing.data(), outgoing.size());
      if (!send_err) {
        do {
          n = ::recv(fd, space.first, space.second, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) recv_err = errno;
      }
      return 0;
    });
    outgoing.clear();
    if (send_err) raise_errno(send_err);
    if (recv_err) raise_errno(recv_err);
    if (closed_elsewhere(sock)) raise_errno(EBADF);
    if (n == 0) return;
    frames.commit(static_cast<std::size_t>(n));
    modbus::Frame frame;
    while (frames.next(frame)) {
      if (frame.dropped) continue;
      bank.begin_request();
      modbus::Result r;
      try {
        r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, answer);
      } catch (const host::PyError&) {
        // The requests before this one were answered; their answers still go out.
        if (!outgoing.empty()) {
          host::Fetched err;
          flush();
          err.restore();
        }
        throw;
      }
      if (r.outcome == modbus::Outcome::Malformed) {
        if (!outgoing.empty()) flush();
        host::raise(struct_error, r.error);
      }
      outgoing.insert(outgoing.end(), answer.begin(), answer.end());
    }
  }
}

Ref handle(const Args& a) {
  PyObject* self = a.self();
  Ref address = host::getattr(self, N.client_address);
  Ref pair = Ref::steal(PySequence_Tuple(address.get()));
  if (PyTuple_Size(pair.get()) != 2) host::raise(PyExc_ValueError, "client_address is not an (ip, port) pair");
  PyObject* client_ip = PyTuple_GetItem(pair.get(), 0);
  PyObject* client_port = PyTuple_GetItem(pair.get(), 1);
  Ref full_address = Ref::steal(PyUnicode_FromFormat("%S:%S", client_ip, client_port));
  Ref listener = host::getattr(self, N.server);
  Ref server = host::getattr(listener.get(), N.owner);
  Ref sock = host::getattr(self, N.request);

  OwnDescriptor fd(sock.get());
  host::call_method(server.get(), N._on_client_connect, client_ip, full_address.get(), sock.get());

  try {
    serve(fd.get(), sock.get(), server.get(), client_ip);
  } catch (const host::PyError&) {
    host::Fetched err;
    if (!err.matches(PyExc_Exception)) {
      // Interrupts and exit requests are not ours to swallow: end the connection, then pass it on.
      fd.close();
      host::call_method(server.get(), N._on_client_disconnect, full_address.get());
      err.restore();
      throw;
    }
    if (!err.matches(PyExc_ConnectionResetError)) {
      Ref message = host::concat("Exception: ", err.value());
      host::log(N.logger, N.debug, message.get());
    }
  }
  fd.close();
  host::call_method(server.get(), N._on_client_disconnect, full_address.get());
  return host::none();
}

}  // namespace

const host::MethodDef kHandle{"handle", handle, {{"self"}}};

}  // namespace holdbank
