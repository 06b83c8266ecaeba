// The event loop's guard of the listening socket for one case: a process out of descriptors.
//
// The listener's own serve loop then fails every accept and would retry at once for as long as the
// shortage lasts. The guard refuses the waiting masters instead (a spare descriptor is given up
// for the moment of an accept and a close), so the backlog empties, they learn at once, and the
// serve loop sleeps until a master can be served again. The first refusal of an episode queues a
// WARNING line, which the loop's own thread must not log (logging runs the host's handlers):
// log_pending_lines() logs it, on the interpreter's main thread or on a handler thread the loop
// asks.
//
// The loop calls it under the interpreter lock, from its own thread only. Nothing here may need a
// descriptor, nor anything only a descriptor can vouch for, while the process has none to spare.
#pragma once

#include "host/host.hpp"
#include "server/platform_socket.hpp"
#include "server/readiness.hpp"

#include <chrono>
#include <cstddef>
#include <vector>

namespace holdbank {

// Logs the lines the loops queued, under the interpreter lock; whoever comes first logs them all.
void log_pending_lines();
// Whether a line waits to be logged (under the interpreter lock).
bool lines_pending();

class ListenerGuard {
 public:
  // `listening_socket` is borrowed from the loop, which holds it for as long as it runs.
  ListenerGuard(Readiness& ready, ReadinessKey key, PyObject* listening_socket, sock::Handle listen_fd)
      : ready_(ready), key_(key), listening_socket_(listening_socket), listen_fd_(listen_fd) {}
  ~ListenerGuard() { close(); }
  ListenerGuard(const ListenerGuard&) = delete;
  ListenerGuard& operator=(const ListenerGuard&) = delete;

  // Opens the spares and starts watching; false when the system refuses what it needs. Where no
  // descriptor limit can starve the listener, there is nothing to watch it for.
  bool start();
  // Gives the spares back: the loop is stopping.
  void close();
  // How long the loop may wait before the guard needs it, in milliseconds.
  int wait_ms() const;
  // At each wake-up: a pause that has run out ends.
  void on_wakeup(std::chrono::steady_clock::time_point now);
  // The readiness set was replaced: the listener is watched again in the new one.
  void after_reset();
  // The listener was reported ready. True when a line was queued that someone must log.
  bool on_ready();

 private:
  static constexpr int kHealthyPauseMs = 10;
  static constexpr int kStarvedPauseMs = 100;
  // Two, because the serve loop may take the one given up (see on_ready); none where there is no
  // such limit.
  static constexpr std::size_t kSpares = sock::kDescriptorLimit ? 2 : 0;

  bool closed_listener() const;
  void rearm();
  void pause(int ms);
  void top_up_spares();
  bool warn(int err);

  Readiness& ready_;
  const ReadinessKey key_;
  const host::Borrowed listening_socket_;
  const sock::Handle listen_fd_;
  std::vector<int> spares_;
  std::chrono::steady_clock::time_point rearm_at_{};
  bool paused_ = false;
  bool watched_ = false;
  bool episode_ = false;
};

}  // namespace holdbank
