// Which descriptors are ready: the one piece of the event loop that differs between systems.
// epoll on Linux; a poll(2) or kqueue variant only has to give these five calls.
#pragma once

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace holdbank {

class Readiness {
 public:
  struct Event {
    void* key;
    bool readable, writable, hangup;
  };

  Readiness() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}
  ~Readiness() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Level-triggered: a descriptor stays reported while it is ready.
  bool watch(int fd, void* key, bool read, bool write) { return ctl(EPOLL_CTL_ADD, fd, key, read, write, false); }
  bool change(int fd, void* key, bool read, bool write) { return ctl(EPOLL_CTL_MOD, fd, key, read, write, false); }
  // Reported once when readable, then not again until rearmed.
  bool watch_once(int fd, void* key) { return ctl(EPOLL_CTL_ADD, fd, key, true, false, false, true); }
  bool rearm_once(int fd, void* key) { return ctl(EPOLL_CTL_MOD, fd, key, true, false, false, true); }
  void forget(int fd) {
    epoll_event ev{};
    epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &ev);
  }

  // Up to `max` events; 0 on time-out. Never fails but for EINTR, which counts as a time-out.
  int wait(Event* out, int max, int timeout_ms) {
    epoll_event evs[kBatch];
    if (max > kBatch) max = kBatch;
    const int n = epoll_wait(fd_, evs, max, timeout_ms);
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
      const unsigned e = evs[i].events;
      out[i] = Event{evs[i].data.ptr, (e & (EPOLLIN | EPOLLRDHUP)) != 0, (e & EPOLLOUT) != 0,
                     (e & (EPOLLHUP | EPOLLERR)) != 0};
    }
    return n;
  }

  static constexpr int kBatch = 256;

 private:
  bool ctl(int op, int fd, void* key, bool read, bool write, bool edge, bool once = false) {
    epoll_event ev{};
    ev.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u) | (edge ? EPOLLET : 0u) |
                (once ? EPOLLONESHOT : 0u);
    ev.data.ptr = key;
    return epoll_ctl(fd_, op, fd, &ev) == 0;
  }

  int fd_;
};

}  // namespace holdbank
