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
class ServerBank {
 public:
  ServerBank(PyObject* server, PyObject* client_ip) : server_(server), ip_(client_ip) {}

  bool is_writable(std::uint32_t addr) {
    Ref a = host::integer(addr);
    return host::truthy(host::call_method(server_, N._is_writable, a.get()).get());
  }

  void lock() {
    guard_.emplace(server_);
    hr_ = host::getattr(server_, N.hr);
    size_ = host::getattr(server_, N.size);
    int overflow = 0;
    int_size_ = PyLong_Check(size_.get()) ? PyLong_AsLongLongAndOverflow(size_.get(), &overflow) : 0;
    if (int_size_ == -1 && PyErr_Occurred()) host::throw_error();
    size_is_int_ = PyLong_Check(size_.get());
    if (overflow) int_size_ = overflow > 0 ? LLONG_MAX : LLONG_MIN;
  }

  void unlock() {
    hr_ = Ref();
    size_ = Ref();
    guard_.reset();
  }

  bool read(std::uint32_t addr, std::uint16_t& value) {
    Ref a = host::integer(addr);
    Ref val = in_bank(a.get(), addr) ? Ref::steal(PyObject_GetItem(hr_.get(), a.get())) : Ref::borrow(N.zero);
    host::call_method(server_, N._on_read, ip_, a.get(), val.get());
    return to_word(val.get(), value);
  }

  void store(std::uint32_t addr, std::uint16_t value) {
    Ref a = host::integer(addr);
    if (!in_bank(a.get(), addr)) return;
    Ref v = host::integer(value);
    host::check(PyObject_SetItem(hr_.get(), a.get(), v.get()));
  }

  void notify_write(std::uint32_t addr, std::uint16_t value) { notify(N._on_write, addr, value); }
  void notify_write_denied(std::uint32_t addr, std::uint16_t value) { notify(N._on_write_denied, addr, value); }

 private:
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
};

// True once another thread (CUF_DisconnectClient, the allow-list check) closed the socket object:
// from then on the connection is treated as the closed socket it is, even if bytes the master
// sent earlier are still waiting in our descriptor.
bool closed_elsewhere(PyObject* sock) {
  Ref no = host::call_method(sock, N.fileno);
  return host::as_long_long(no.get()) < 0;
}

void send_all(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  int err = 0;
  {
    host::GilRelease nogil;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
  }
  if (err) raise_errno(err);
}

// The request loop: returns when the master closes; raises for everything else.
void serve(int fd, PyObject* sock, PyObject* server, PyObject* client_ip) {
  static PyObject* struct_error = host::getattr(host::import("struct").get(), "error").release();
  modbus::FrameAssembler frames;
  std::vector<std::uint8_t> answer;
  ServerBank bank(server, client_ip);
  for (;;) {
    auto space = frames.recv_space();
    ssize_t n;
    int err = 0;
    {
      host::GilRelease nogil;
      do {
        n = ::recv(fd, space.first, space.second, 0);
      } while (n < 0 && errno == EINTR);
      if (n < 0) err = errno;
    }
    if (n < 0) raise_errno(err);
    if (closed_elsewhere(sock)) raise_errno(EBADF);
    if (n == 0) return;
    frames.commit(static_cast<std::size_t>(n));
    modbus::Frame frame;
    while (frames.next(frame)) {
      if (frame.dropped) continue;
      const modbus::Result r = modbus::execute(frame.header, frame.pdu, frame.pdu_len, bank, answer);
      if (r.outcome == modbus::Outcome::Malformed) host::raise(struct_error, r.error);
      send_all(fd, answer);
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
