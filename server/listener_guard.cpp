// The event loop's guard of the listening socket when descriptors run out (see listener_guard.hpp).
#include "server/listener_guard.hpp"
#include "server/connection.hpp"
#include "server/holdbank.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

using host::Ref;

namespace holdbank {
namespace {

// The lines not logged yet, under the interpreter lock; never freed (static destructors run after
// the interpreter is gone).
std::vector<Ref>& g_pending_lines = *new std::vector<Ref>;

// A pending call: run by the interpreter's main thread the next time it runs Python code.
int log_pending_call(void*) {
  log_pending_lines();
  return 0;
}

}  // namespace

void log_pending_lines() {
  std::vector<Ref> lines;
  lines.swap(g_pending_lines);
  for (const Ref& line : lines) {
    try {
      host::log(M.logger, M.warning, line.get());
    } catch (const host::PyError&) {
      PyErr_WriteUnraisable(M.logger);
    }
  }
}

bool lines_pending() { return !g_pending_lines.empty(); }

bool ListenerGuard::start() {
  top_up_spares();
  if (spares_.size() < kSpares) return false;
  if (sock::kDescriptorLimit) {
    if (!ready_.watch_once(listen_fd_, key_)) return false;
    watched_ = true;
  }
  return true;
}

void ListenerGuard::close() {
  for (int fd : spares_) sock::close_spare(fd);
  spares_.clear();
}

int ListenerGuard::wait_ms() const {
  if (!paused_) return 500;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(rearm_at_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 500));
}

void ListenerGuard::on_wakeup(std::chrono::steady_clock::time_point now) {
  if (paused_ && now >= rearm_at_) rearm();
}

void ListenerGuard::after_reset() {
  watched_ = false;
  if (sock::kDescriptorLimit && !paused_) rearm();
}

// An error asking counts as closed: the loop must go on whatever the socket object does.
bool ListenerGuard::closed_listener() const {
  try {
    return socket_closed(listening_socket_.get());
  } catch (const host::PyError&) {
    PyErr_Clear();
    return true;
  }
}

// The listener is watched one event at a time: a healthy accept needs nothing of us, so after
// a look it rests for a moment instead of waking us until the serve loop has accepted. Its
// descriptor is touched only while the listening socket is seen open (CUF_Close closes it).
void ListenerGuard::rearm() {
  paused_ = false;
  if (closed_listener()) return;
  if (watched_)
    ready_.rearm_once(listen_fd_, key_);
  else
    watched_ = ready_.watch_once(listen_fd_, key_);
}

void ListenerGuard::pause(int ms) {
  paused_ = true;
  rearm_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

// Opens spares up to their number, as far as descriptors allow.
void ListenerGuard::top_up_spares() {
  if (!sock::kDescriptorLimit) return;
  while (spares_.size() < kSpares) {
    const int fd = sock::open_spare();
    if (fd < 0) return;
    spares_.push_back(fd);
  }
}

bool ListenerGuard::on_ready() {
  top_up_spares();
  const int err = spares_.empty() ? EMFILE : sock::probe(spares_.back());
  if (err == 0) {
    episode_ = false;
    pause(kHealthyPauseMs);
    return false;
  }
  if (err != EMFILE && err != ENFILE && err != ENOMEM && err != ENOBUFS) {
    pause(kHealthyPauseMs);
    return false;
  }
  const bool queued = !episode_ && warn(err);
  episode_ = true;
  if (closed_listener()) return queued;  // CUF_Close under way
  // Refuse every master waiting: a spare descriptor is given up for one accept at a time. The
  // socket is non-blocking meanwhile, so an empty backlog ends the round instead of waiting (the
  // serve loop, which may race us for a master, takes such a failure in its stride). The serve
  // loop's own accept may take the descriptor a spare gave up: that master is served, and the
  // round goes on with the next spare.
  int flags = 0;
  if (!sock::make_nonblocking(listen_fd_, flags)) {
    pause(kStarvedPauseMs);
    return queued;
  }
  while (!spares_.empty()) {
    sock::close_spare(spares_.back());
    spares_.pop_back();
    const int accept_err = sock::accept_and_close(listen_fd_);
    top_up_spares();
    if (accept_err && accept_err != EMFILE && accept_err != ENFILE) break;  // the backlog is empty
  }
  sock::restore_flags(listen_fd_, flags);
  if (spares_.empty())
    pause(kStarvedPauseMs);  // not one descriptor left: look again a little later
  else
    rearm();
  return queued;
}

// The line goes to the interpreter's main thread (a pending call, run the next time that thread
// runs Python code); the loop also asks a handler thread, since a main thread blocked in a long
// wait runs no pending call. Whichever comes first logs it.
bool ListenerGuard::warn(int err) {
  Ref text = Ref::steal_or_null(
      PyUnicode_FromFormat("Accepting a master failed ([Errno %d] %s): masters are refused until descriptors are free",
                           err, strerror(err)));
  if (!text) {
    PyErr_Clear();
    return false;
  }
  g_pending_lines.push_back(std::move(text));
  Py_AddPendingCall(log_pending_call, nullptr);  // when the queue is full, a handler thread logs it
  return true;
}

}  // namespace holdbank
