// The socket calls that are not on the path of every request (see platform_socket.hpp).
#include "server/platform_socket.hpp"

#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#endif

namespace holdbank::sock {

#ifdef _WIN32

// A socket handle is duplicated through its protocol information, into this same process.
Handle duplicate(Handle h) {
  WSAPROTOCOL_INFOW info;
  if (WSADuplicateSocketW(h, GetCurrentProcessId(), &info) != 0) return kNone;
  return WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

IoSize send_nowait(Handle h, const std::uint8_t* p, std::size_t n) {
  u_long on = 1, off = 0;
  if (ioctlsocket(h, FIONBIO, &on) != 0) return SOCKET_ERROR;
  const IoSize sent = send_some(h, p, n);
  const int err = WSAGetLastError();
  ioctlsocket(h, FIONBIO, &off);
  WSASetLastError(err);
  return sent;
}

// Winsock's poll takes sockets only: a datagram socket bound to the loopback interface and
// connected to itself carries the signal.
bool WakeSignal::open() {
  close();
  Handle s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == kNone) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int len = sizeof addr;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ioctlsocket(s, FIONBIO, &on) != 0) {
    ::closesocket(s);
    return false;
  }
  read_ = write_ = s;
  return true;
}

void WakeSignal::signal() {
  if (write_ == kNone) return;
  const char one = 1;
  ::send(write_, &one, 1, 0);
}

void WakeSignal::drain() {
  char buf[64];
  while (::recv(read_, buf, sizeof buf, 0) > 0) {
  }
}

void WakeSignal::close() {
  if (read_ != kNone) ::closesocket(read_);
  read_ = write_ = kNone;
}

int peer_gone(Handle) { return -1; }

// Sockets are not counted against a per-process limit here: the event loop never refuses masters
// for want of one, and these are never called.
int open_spare() { return -1; }
void close_spare(int) {}
int probe(int) { return 0; }
int accept_and_close(Handle) { return 0; }
bool make_nonblocking(Handle, int&) { return false; }
void restore_flags(Handle, int) {}

#else  // POSIX

Handle duplicate(Handle h) { return ::fcntl(h, F_DUPFD_CLOEXEC, 0); }

#ifdef __linux__
bool WakeSignal::open() {
  close();
  read_ = write_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return read_ >= 0;
}

void WakeSignal::signal() {
  if (write_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(write_, &one, sizeof one);
}

void WakeSignal::drain() {
  std::uint64_t count;
  [[maybe_unused]] ssize_t r = ::read(read_, &count, sizeof count);
}
#else
namespace {
bool set_fd_flags(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
}  // namespace

bool WakeSignal::open() {
  close();
  int fds[2];
  if (::pipe(fds) != 0) return false;
  read_ = fds[0];
  write_ = fds[1];
  if (!set_fd_flags(read_) || !set_fd_flags(write_)) {
    close();
    return false;
  }
  return true;
}

void WakeSignal::signal() {
  if (write_ < 0) return;
  const char one = 1;
  [[maybe_unused]] ssize_t w = ::write(write_, &one, 1);  // a full pipe is signalled already
}

void WakeSignal::drain() {
  char buf[64];
  while (::read(read_, buf, sizeof buf) > 0) {
  }
}
#endif

void WakeSignal::close() {
  if (write_ >= 0 && write_ != read_) ::close(write_);
  if (read_ >= 0) ::close(read_);
  read_ = write_ = kNone;
}

int peer_gone(Handle h) {
#ifdef __linux__
  // The connection's state as TCP keeps it: a FIN received (CLOSE_WAIT) or a reset (CLOSE) says so
  // even while requests the master sent before are still waiting to be read.
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(h, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return info.tcpi_state == TCP_ESTABLISHED ? 0 : 1;
#else
  // Elsewhere only an end with nothing before it shows without reading.
  char byte;
  const ssize_t n = ::recv(h, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 1;
  if (n < 0 && (errno == ECONNRESET || errno == ENOTCONN)) return 1;
  return n > 0 ? -1 : 0;
#endif
}

int open_spare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
void close_spare(int fd) { ::close(fd); }

int probe(int spare) {
  const int fd = ::fcntl(spare, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

bool make_nonblocking(Handle h, int& saved_flags) {
  saved_flags = ::fcntl(h, F_GETFL);
  return saved_flags >= 0 && ::fcntl(h, F_SETFL, saved_flags | O_NONBLOCK) >= 0;
}

void restore_flags(Handle h, int saved_flags) { ::fcntl(h, F_SETFL, saved_flags); }

int accept_and_close(Handle listener) {
#ifdef __linux__
  const int refused = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#else
  const int refused = ::accept(listener, nullptr, nullptr);
#endif
  if (refused < 0) return errno;
  ::close(refused);
  return 0;
}

#endif

}  // namespace holdbank::sock
