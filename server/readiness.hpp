// Which descriptors are ready: the one piece of the event loop that differs between systems.
// epoll on Linux (glibc and musl alike); poll(2) on the other POSIX systems (macOS, the BSDs) and
// WSAPoll on Windows. Both give the same calls with the same meaning; the poll variant can be
// chosen on Linux too (HOLDBANK_READINESS_POLL), which is how its tests run here.
#pragma once

#include "server/platform_socket.hpp"

#if defined(__linux__) && !defined(HOLDBANK_READINESS_POLL)
#define HOLDBANK_READINESS_EPOLL 1
#include <sys/epoll.h>
#include <unistd.h>
#else
#ifndef _WIN32
#include <poll.h>
#endif
#include <algorithm>
#include <vector>
#endif

#include <cerrno>
#include <cstdint>

namespace holdbank {

// A registration's key: a number its owner never gives twice, so an event can never be taken for
// a later registration's (as the address of a freed record could).
using ReadinessKey = std::uint64_t;

// What one wait reports of one registration.
struct ReadinessEvent {
  ReadinessKey key;
  bool readable, writable, hangup;
};

#ifdef HOLDBANK_READINESS_EPOLL

class Readiness {
 public:
  using Handle = sock::Handle;
  using Event = ReadinessEvent;
  using Key = ReadinessKey;

  Readiness() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}
  ~Readiness() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // An empty set in place of this one: the only way to be rid of a registration whose descriptor
  // was closed while another process (a forked child) still holds the socket, which epoll keeps
  // reporting. The owner registers what it still watches again.
  bool reset() {
    close();
    fd_ = epoll_create1(EPOLL_CLOEXEC);
    return ok();
  }
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Level-triggered: a descriptor stays reported while it is ready.
  bool watch(Handle fd, Key key, bool read, bool write) { return ctl(EPOLL_CTL_ADD, fd, key, read, write, false); }
  bool change(Handle fd, Key key, bool read, bool write) { return ctl(EPOLL_CTL_MOD, fd, key, read, write, false); }
  // Reported once when readable, then not again until rearmed.
  bool watch_once(Handle fd, Key key) { return ctl(EPOLL_CTL_ADD, fd, key, true, false, false, true); }
  bool rearm_once(Handle fd, Key key) { return ctl(EPOLL_CTL_MOD, fd, key, true, false, false, true); }
  // For a descriptor that is still open. Any thread may call it, also while another waits: the
  // system takes the registration out at once.
  void forget(Handle fd, Key) {
    epoll_event ev{};
    epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &ev);
  }
  static constexpr bool kForgetFromAnyThread = true;
  // For one that was closed behind our back: its number may already be someone else's, so it is
  // not named. The close took it out of the set, unless another process holds the socket too:
  // then it goes on being reported, and only reset() is rid of it (forget_key() says so).
  void forget_closed(Key) {}
  bool forget_key(Key) { return false; }

  // Up to `max` events; 0 on time-out. Never fails but for EINTR, which counts as a time-out.
  int wait(Event* out, int max, int timeout_ms) {
    epoll_event evs[kBatch];
    if (max > kBatch) max = kBatch;
    const int n = epoll_wait(fd_, evs, max, timeout_ms);
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
      const unsigned e = evs[i].events;
      out[i] = Event{evs[i].data.u64, (e & (EPOLLIN | EPOLLRDHUP)) != 0, (e & EPOLLOUT) != 0,
                     (e & (EPOLLHUP | EPOLLERR)) != 0};
    }
    return n;
  }

  static constexpr int kBatch = 256;

 private:
  bool ctl(int op, Handle fd, Key key, bool read, bool write, bool edge, bool once = false) {
    epoll_event ev{};
    ev.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u) | (edge ? EPOLLET : 0u) |
                (once ? EPOLLONESHOT : 0u);
    ev.data.u64 = key;
    return epoll_ctl(fd_, op, fd, &ev) == 0;
  }

  int fd_;
};

#else

// The watched descriptors are a list, searched by key (the event loop has one key per
// registration); each wait hands poll the armed ones. A closed descriptor is reported as a
// hang-up until forget_closed() takes it out, where epoll would drop it silently.
class Readiness {
 public:
  using Handle = sock::Handle;
  using Event = ReadinessEvent;
  using Key = ReadinessKey;

  Readiness() = default;
  void close() {
    entries_.clear();
    open_ = false;
  }
  bool reset() {
    entries_.clear();
    open_ = true;
    return true;
  }
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  bool ok() const { return open_; }

  bool watch(Handle fd, Key key, bool read, bool write) { return add(Entry{fd, key, read, write, false, true}); }
  bool change(Handle fd, Key key, bool read, bool write) {
    Entry* e = find(key);
    if (!e || e->fd != fd) return false;
    *e = Entry{fd, key, read, write, false, true};
    return true;
  }
  bool watch_once(Handle fd, Key key) { return add(Entry{fd, key, true, false, true, true}); }
  bool rearm_once(Handle fd, Key key) {
    Entry* e = find(key);
    if (!e || e->fd != fd) return false;
    e->armed = true;
    return true;
  }
  // Only the waiting thread may change the list (no system registration outlives a close here).
  void forget(Handle, Key key) { forget_closed(key); }
  static constexpr bool kForgetFromAnyThread = false;
  void forget_closed(Key key) {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; }),
                   entries_.end());
  }
  bool forget_key(Key key) {
    forget_closed(key);
    return true;
  }

  int wait(Event* out, int max, int timeout_ms) {
    if (max > kBatch) max = kBatch;
    polled_.clear();
    owners_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (!e.armed) continue;
      pollfd p{};
      p.fd = e.fd;
      p.events = static_cast<short>((e.read ? POLLIN : 0) | (e.write ? POLLOUT : 0));
      polled_.push_back(p);
      owners_.push_back(i);
    }
#ifdef _WIN32
    // WSAPoll does not sleep on an empty set: the wake-up signal is always in it.
    const int n = polled_.empty() ? 0 : WSAPoll(polled_.data(), static_cast<ULONG>(polled_.size()), timeout_ms);
#else
    const int n = ::poll(polled_.data(), static_cast<nfds_t>(polled_.size()), timeout_ms);
#endif
    if (n <= 0) return 0;
    int count = 0;
    for (std::size_t j = 0; j < polled_.size() && count < max; ++j) {
      const short r = polled_[j].revents;
      if (!r) continue;
      Entry& e = entries_[owners_[j]];
      if (e.once) e.armed = false;
      out[count++] = Event{e.key, (r & POLLIN) != 0, (r & POLLOUT) != 0, (r & (POLLHUP | POLLERR | POLLNVAL)) != 0};
    }
    return count;
  }

  static constexpr int kBatch = 256;

 private:
  struct Entry {
    Handle fd;
    Key key;
    bool read, write, once, armed;
  };

  bool add(const Entry& e) {
    if (!open_ || find(e.key)) return false;
    entries_.push_back(e);
    return true;
  }
  Entry* find(Key key) {
    for (Entry& e : entries_)
      if (e.key == key) return &e;
    return nullptr;
  }

  std::vector<Entry> entries_;
  std::vector<pollfd> polled_;
  std::vector<std::size_t> owners_;
  bool open_ = true;
};

#endif

}  // namespace holdbank
