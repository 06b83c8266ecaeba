// The socket calls of the server, one interface over POSIX and Winsock: what the handler threads
// and the event loop do with a connection's descriptor (duplicate, send, receive, close), how a
// failed call reports its error, the event loop's wake-up signal, and the spare descriptors it
// refuses masters with when the process runs out (a POSIX limit; Windows has no such count).
//
// Plain C++: no Python here. The calls on the path of every request are inline and, on Linux,
// exactly the system calls they stand for.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace holdbank::sock {

#ifdef _WIN32
using Handle = SOCKET;
inline constexpr Handle kNone = INVALID_SOCKET;
using IoSize = int;  // what send() and recv() return
// Whether the process has a count of descriptors that accepting a master can exhaust.
inline constexpr bool kDescriptorLimit = false;
#else
using Handle = int;
inline constexpr Handle kNone = -1;
using IoSize = ssize_t;
inline constexpr bool kDescriptorLimit = true;
#endif

// The error of the socket call that just failed on this thread: errno, or Winsock's own code.
inline int last_error() {
#ifdef _WIN32
  return WSAGetLastError();
#else
  return errno;
#endif
}

inline bool interrupted(int err) {
#ifdef _WIN32
  return err == WSAEINTR;
#else
  return err == EINTR;
#endif
}

inline bool would_block(int err) {
#ifdef _WIN32
  return err == WSAEWOULDBLOCK;
#else
  return err == EAGAIN || err == EWOULDBLOCK;
#endif
}

// A socket object's fileno() as a handle; kNone for a closed socket or a number no handle has.
inline Handle from_fileno(long long no) {
#ifdef _WIN32
  return no < 0 ? kNone : static_cast<Handle>(no);
#else
  return no < 0 || no > INT_MAX ? kNone : static_cast<Handle>(no);
#endif
}

inline void close(Handle h) {
#ifdef _WIN32
  ::closesocket(h);
#else
  ::close(h);
#endif
}

// A handle of our own to the same connection, not inherited by child processes; kNone (and
// last_error()) when the system refuses.
Handle duplicate(Handle h);

// One call each; the caller retries on interrupted() and, for the non-blocking ones, waits on
// would_block(). Sending never raises SIGPIPE: a master that went away is an error like any other.
inline IoSize chunk(std::size_t n) {
#ifdef _WIN32
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
#else
  return static_cast<IoSize>(n);
#endif
}

#if defined(_WIN32)
inline IoSize send_some(Handle h, const std::uint8_t* p, std::size_t n) {
  return ::send(h, reinterpret_cast<const char*>(p), chunk(n), 0);
}
inline IoSize recv_some(Handle h, std::uint8_t* p, std::size_t n) {
  return ::recv(h, reinterpret_cast<char*>(p), chunk(n), 0);
}
// The loop's socket is the host's blocking one: it is made non-blocking for this one call only
// (the readiness set reported it ready, but a send may still be larger than the room it has).
IoSize send_nowait(Handle h, const std::uint8_t* p, std::size_t n);
// Called only when the readiness set reported the socket readable or hung up, so it returns at once.
inline IoSize recv_nowait(Handle h, std::uint8_t* p, std::size_t n) { return recv_some(h, p, n); }
#else
#ifdef MSG_NOSIGNAL
inline constexpr int kNoSignal = MSG_NOSIGNAL;
#else
inline constexpr int kNoSignal = 0;  // the socket carries SO_NOSIGPIPE instead (see no_sigpipe)
#endif
inline IoSize send_some(Handle h, const std::uint8_t* p, std::size_t n) { return ::send(h, p, n, kNoSignal); }
inline IoSize recv_some(Handle h, std::uint8_t* p, std::size_t n) { return ::recv(h, p, n, 0); }
inline IoSize send_nowait(Handle h, const std::uint8_t* p, std::size_t n) {
  return ::send(h, p, n, MSG_DONTWAIT | kNoSignal);
}
inline IoSize recv_nowait(Handle h, std::uint8_t* p, std::size_t n) { return ::recv(h, p, n, MSG_DONTWAIT); }
#endif

// Where send() has no flag against SIGPIPE (macOS), the socket is told once instead. A no-op
// elsewhere.
inline void no_sigpipe([[maybe_unused]] Handle h) {
#if !defined(_WIN32) && !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  const int on = 1;
  ::setsockopt(h, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

// The event loop's wake-up: any thread signals it, the loop watches handle() for reading and
// drains it on each wake-up. An eventfd on Linux, a pipe on other POSIX systems, a loopback
// datagram socket sending to itself on Windows (whose poll takes sockets only).
class WakeSignal {
 public:
  WakeSignal() = default;
  ~WakeSignal() { close(); }
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  bool open();
  bool ok() const { return read_ != kNone; }
  Handle handle() const { return read_; }
  void signal();
  void drain();
  void close();

 private:
  Handle read_ = kNone;
  Handle write_ = kNone;  // the same as read_ but for a pipe
};

// Whether the master has already closed or reset the connection: 1 it has, 0 it has not, -1 the
// system cannot tell without reading. Reads nothing.
int peer_gone(Handle h);

// For refusing masters when the process has no descriptor left, where such a limit exists
// (kDescriptorLimit; the event loop uses none of these elsewhere). A spare is a descriptor held
// back for that moment: open_spare() gives one (-1 and errno when none can be had), probe() says
// whether a descriptor could be had right now (0, or the error why not).
int open_spare();
void close_spare(int fd);
int probe(int spare);
// Accepts one waiting master and closes it at once: 0, or the error of the accept.
int accept_and_close(Handle listener);
// The listening socket non-blocking for a round of refusals (false when the system refuses), and
// back as it was.
bool make_nonblocking(Handle h, int& saved_flags);
void restore_flags(Handle h, int saved_flags);

}  // namespace holdbank::sock
