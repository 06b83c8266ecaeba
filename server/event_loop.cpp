// The native I/O loop of an open listener (see event_loop.hpp for what it serves and when).
//
// The loop thread is a thread of our own, not a threading.Thread: the host finds only the threads
// it expects in threading.enumerate(). It takes the interpreter lock once per wake-up and runs no
// Python code of the host's: it never logs or calls a hook (a handler thread or the main thread
// does that for it), never drops the last reference to a host object, and makes no object the
// collector tracks (whose allocation could start a collection, and with it the host's finalisers,
// on this thread). Since nothing it calls lets the interpreter lock go, nothing the host does can
// come between what it checks and what it does within one wake-up. It is stopped by CUF_Close or,
// at the latest, when the interpreter begins to exit.
//
// It also watches the listening socket for one thing: a process out of descriptors. The listener's
// own serve loop then fails every accept and would retry at once for as long as the shortage
// lasts; the loop refuses the waiting masters instead (a spare descriptor is given up for the
// moment of an accept and a close), so the backlog empties, they learn at once, and the serve
// loop sleeps until a master can be served again.
#include "server/event_loop.hpp"
#include "server/platform_socket.hpp"
#include "server/readiness.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <unordered_set>

using host::Ref;

namespace holdbank {
namespace {
// The loop must go on whatever one socket object does: an error asking it counts as closed.
bool is_closed(PyObject* sock) {
  try {
    return closed_elsewhere(sock);
  } catch (const host::PyError&) {
    PyErr_Clear();
    return true;
  }
}

// Keys of the readiness set that are not connections'.
constexpr ReadinessKey kWakeKey = 1;
constexpr ReadinessKey kListenerKey = 2;

// The lines not logged yet; never freed (see g_loops).
std::vector<Ref>& g_pending_lines = *new std::vector<Ref>;

// A pending call: run by the interpreter's main thread the next time it runs Python code.
int log_pending_call(void*) {
  log_pending_lines();
  return 0;
}
}  // namespace

void LoopEnding::set_error() {
  const Kind k = std::exchange(kind, Kind::None);
  switch (k) {
    case Kind::Errno:
      errno = err;
      PyErr_SetFromErrno(PyExc_OSError);
      break;
    case Kind::SocketError:
      set_socket_error(err);
      break;
    case Kind::Malformed:
      PyErr_SetString(M.struct_error, message);
      break;
    case Kind::Python:
      error->restore();
      error.reset();
      break;
    case Kind::None:
      PyErr_SetString(PyExc_SystemError, "no error to raise");
      break;
  }
}

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

class EventLoop {
 public:
  EventLoop(Ref listener, Ref listening_socket, sock::Handle listen_fd)
      : listener_(std::move(listener)), listening_socket_(std::move(listening_socket)), listen_fd_(listen_fd) {}
  ~EventLoop() {
    wake_.close();
    close_spares();
  }

  bool start() {
    wake_.open();
    top_up_spares();
    if (!ready_.ok() || !wake_.ok() || spares_.size() < kSpares) return false;
    if (!ready_.watch(wake_.handle(), kWakeKey, true, false)) return false;
    // Where no descriptor limit can starve the listener, there is nothing to watch it for.
    if (sock::kDescriptorLimit) {
      if (!ready_.watch_once(listen_fd_, kListenerKey)) return false;
      listener_watched_ = true;
    }
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  PyObject* listener() const { return listener_.get(); }

  bool adopt(const std::shared_ptr<Connection>& conn) {
    std::lock_guard<std::mutex> hold(inbox_m_);
    if (stop_) return false;
    inbox_.push_back(conn);
    wake();
    return true;
  }

  void sweep_soon() {
    std::lock_guard<std::mutex> hold(inbox_m_);
    sweep_ = true;
    wake();
  }

  // Under the interpreter lock, from the thread that drops `conn` (see drop_connection): its
  // descriptor leaves the readiness set while it is still open. Where the set may be changed by its
  // own thread only, the loop's sweep takes it out after the close instead (no system registration
  // outlives a close there).
  void forget_dropped(Connection& conn) {
    if (conn.watched_by != this || !Readiness::kForgetFromAnyThread) return;
    ready_.forget(conn.fd, conn.id);
    conn.watched_by = nullptr;
  }

  // With the interpreter lock held: asks the thread to stop, then waits for it without the lock.
  // What it held of the host's is let go here, on the caller's thread: the loop thread never drops
  // the last reference to a host object.
  void stop_and_join() {
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      stop_ = true;
      wake();
    }
    if (thread_.joinable())
      host::without_gil([&]() noexcept {
        thread_.join();
        return 0;
      });
    listener_ = Ref();
    listening_socket_ = Ref();
    class_verdict_ = ClassVerdict{};
  }

 private:
  // Under inbox_m_, which the loop holds to close the descriptor.
  void wake() { wake_.signal(); }

  void run() {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* state = PyEval_SaveThread();
    Readiness::Event events[Readiness::kBatch];
    for (;;) {
      const int n = ready_.wait(events, Readiness::kBatch, wait_ms());
      PyEval_RestoreThread(state);
      // No collection on this thread: it would run the host's finalisers here. Nobody else runs
      // while the loop holds the interpreter lock, so nobody sees the collector off meanwhile.
      const int collecting = PyGC_Disable();
      const bool go = batch(events, n);
      if (collecting) PyGC_Enable();
      if (!go) break;
      state = PyEval_SaveThread();
    }
    // Stopping, with the interpreter lock: every connection goes on on its own thread.
    for (auto& entry : conns_) {
      entry.second->watched_by = nullptr;
      give(*entry.second, Connection::Turn::LoopGone);
    }
    conns_.clear();
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      for (auto& conn : inbox_) give(*conn, Connection::Turn::LoopGone);
      inbox_.clear();
    }
    // A handler thread may keep this object a while longer; the descriptors go now. Nothing
    // wakes a stopped loop (adopt() refuses, and it has left the registry).
    ready_.close();
    close_spares();
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      wake_.close();
    }
    PyGILState_Release(gil);
  }

  void close_spares() {
    for (int fd : spares_) sock::close_spare(fd);
    spares_.clear();
  }

  // One wake-up, under the interpreter lock. False: stop.
  bool batch(const Readiness::Event* events, int n) {
    std::vector<std::shared_ptr<Connection>> arrived;
    bool sweep;
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      if (stop_) return false;
      arrived.swap(inbox_);
      sweep = sweep_;
      sweep_ = false;
    }
    if (!removed_.empty()) removed_.clear();
    const auto now = std::chrono::steady_clock::now();
    if (n == 0 || now >= next_sweep_) {
      // A socket the host closed without our knowing (not through CUF_DisconnectClient) is found
      // here: its descriptor no longer reports anything.
      sweep = true;
      next_sweep_ = now + std::chrono::milliseconds(500);
    }
    if (listener_paused_ && now >= rearm_at_) rearm_listener();
    for (auto& conn : arrived) attach(conn);
    if (sweep) sweep_closed();
    bool stale = false;
    for (int i = 0; i < n; ++i) {
      const ReadinessKey key = events[i].key;
      if (key == kWakeKey) {
        wake_.drain();
      } else if (key == kListenerKey) {
        on_listener();
      } else if (auto it = conns_.find(key); it != conns_.end()) {
        std::shared_ptr<Connection> conn = it->second;  // kept while it may be handed over
        on_connection(*conn, events[i]);
      } else if (!removed_.count(key) && !ready_.forget_key(key)) {
        // Reported after it was taken out: a registration the set could not drop (see
        // Readiness::reset). Left alone it would wake us on every wait.
        stale = true;
      }
    }
    if (stale) rebuild_readiness();
    view_.reset();  // what it says may change once the interpreter lock is let go
    return true;
  }

  int wait_ms() const {
    if (!listener_paused_) return 500;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(rearm_at_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 500));
  }

  // A fresh readiness set holding what the loop still watches.
  void rebuild_readiness() {
    if (!ready_.reset() || !ready_.watch(wake_.handle(), kWakeKey, true, false)) {
      stop_after_failure();
      return;
    }
    listener_watched_ = false;
    if (sock::kDescriptorLimit && !listener_paused_) rearm_listener();
    std::vector<std::shared_ptr<Connection>> all;
    for (auto& entry : conns_) all.push_back(entry.second);
    for (auto& conn : all) {
      conn->watched_by = nullptr;
      if (is_closed(conn->sock) || conn->dropped) {
        end_with_errno(*conn, EBADF);
      } else if (ready_.watch(conn->fd, conn->id, !conn->watching_write, conn->watching_write)) {
        conn->watched_by = this;
      } else {
        hand_over(*conn, Connection::Turn::LoopGone);
      }
    }
  }

  // The system refused a new readiness set: every connection goes on on its thread, and the loop
  // stops taking any.
  void stop_after_failure() {
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      stop_ = true;
    }
    std::vector<std::shared_ptr<Connection>> all;
    for (auto& entry : conns_) all.push_back(entry.second);
    for (auto& conn : all) hand_over(*conn, Connection::Turn::LoopGone);
  }

  // ---- connections -----------------------------------------------------------------------------

  void attach(const std::shared_ptr<Connection>& conn) {
    if (is_closed(conn->sock) || conn->dropped) {
      conn->ending = LoopEnding{LoopEnding::Kind::Errno, EBADF};
      give(*conn, Connection::Turn::Ended);
      return;
    }
    sock::no_sigpipe(conn->fd);
    conn->watching_write = !conn->out.empty();
    if (!ready_.watch(conn->fd, conn->id, !conn->watching_write, conn->watching_write)) {
      give(*conn, Connection::Turn::LoopGone);
      return;
    }
    conn->watched_by = this;
    conns_.emplace(conn->id, conn);
    if (g_pending_lines.empty()) log_unasked_ = false;  // logged by someone meanwhile
    if (std::exchange(log_unasked_, false)) ask_to_log(*conn);
    if (conn->watching_write) flush(*conn);
  }

  // Its descriptor is forgotten only while the socket is open: once closed, the number may
  // already be another connection's (and the registration went with the close, unless another
  // process holds the socket: see batch()).
  std::shared_ptr<Connection> detach(Connection& conn) {
    auto it = conns_.find(conn.id);
    if (it == conns_.end()) return nullptr;
    std::shared_ptr<Connection> kept = std::move(it->second);
    conns_.erase(it);
    if (conn.watched_by == this) {
      if (!is_closed(conn.sock))
        ready_.forget(conn.fd, conn.id);
      else
        ready_.forget_closed(conn.id);
    }
    conn.watched_by = nullptr;
    removed_.insert(conn.id);  // events of this wake-up may still name it
    return kept;
  }

  static void give(Connection& conn, Connection::Turn turn) {
    std::lock_guard<std::mutex> hold(conn.m);
    conn.turn = turn;
    conn.cv.notify_one();
  }

  // Only a connection the loop still serves is handed over: one already handed over is its
  // handler's, and is not touched again.
  void hand_over(Connection& conn, Connection::Turn turn) {
    if (detach(conn)) give(conn, turn);
  }

  // The handler raises what the master's end is, as its own receive would have: `err` is a C errno
  // (EBADF for a socket the host closed) or, with `socket_call`, the error of a socket call.
  void end_with_errno(Connection& conn, int err, bool socket_call = false) {
    if (!conns_.count(conn.id)) return;
    conn.ending = LoopEnding{socket_call ? LoopEnding::Kind::SocketError : LoopEnding::Kind::Errno, err};
    hand_over(conn, Connection::Turn::Ended);
  }

  void sweep_closed() {
    std::vector<std::shared_ptr<Connection>> closed;
    for (auto& entry : conns_)
      if (entry.second->dropped || is_closed(entry.second->sock)) closed.push_back(entry.second);
    for (auto& conn : closed) end_with_errno(*conn, EBADF);
  }

  void on_connection(Connection& conn, const Readiness::Event& ev) {
    // Checked once for every request this wake-up executes: a drop needs the interpreter lock,
    // which the loop keeps until it has sent the answers.
    if (conn.dropped || is_closed(conn.sock)) {
      end_with_errno(conn, EBADF);
      return;
    }
    if (!conn.out.empty()) {
      if (ev.writable || ev.hangup) flush(conn);
      return;  // no new requests while the master does not take its answers
    }
    if (!ev.readable && !ev.hangup) return;
    auto space = conn.frames.recv_space();
    const sock::IoSize n = sock::recv_nowait(conn.fd, space.first, space.second);
    if (n == 0) {
      hand_over(conn, Connection::Turn::Ended);
      return;
    }
    if (n < 0) {
      const int err = sock::last_error();
      if (!sock::would_block(err) && !sock::interrupted(err)) end_with_errno(conn, err, true);
      return;
    }
    conn.frames.commit(static_cast<std::size_t>(n));
    switch (serve_in_loop(conn, view_, class_verdict_)) {
      case LoopOutcome::Served:
        flush(conn);
        break;
      case LoopOutcome::ToHandler:
        hand_over(conn, Connection::Turn::Handler);
        break;
      case LoopOutcome::Failed:
        // Answers to the requests before the failing one still go out, from the handler thread.
        hand_over(conn, Connection::Turn::Ended);
        break;
    }
  }

  // Sends what the socket takes now; the rest waits for the master to read.
  void flush(Connection& conn) {
    std::size_t sent = 0;
    while (sent < conn.out.size()) {
      const sock::IoSize n = sock::send_nowait(conn.fd, conn.out.data() + sent, conn.out.size() - sent);
      if (n < 0) {
        const int err = sock::last_error();
        if (sock::interrupted(err)) continue;
        if (sock::would_block(err)) break;
        conn.out.erase(conn.out.begin(), conn.out.begin() + static_cast<std::ptrdiff_t>(sent));
        end_with_errno(conn, err, true);
        return;
      }
      sent += static_cast<std::size_t>(n);
    }
    conn.out.erase(conn.out.begin(), conn.out.begin() + static_cast<std::ptrdiff_t>(sent));
    const bool backed_up = !conn.out.empty();
    if (backed_up != conn.watching_write) {
      conn.watching_write = backed_up;
      if (conn.watched_by == this) ready_.change(conn.fd, conn.id, !backed_up, backed_up);
    }
  }

  // ---- the listening socket when descriptors run out ---------------------------------------------

  // The listener is watched one event at a time: a healthy accept needs nothing of us, so after
  // a look it rests for a moment instead of waking us until the serve loop has accepted. Its
  // descriptor is touched only while the listening socket is seen open (CUF_Close closes it).
  void rearm_listener() {
    listener_paused_ = false;
    if (is_closed(listening_socket_.get())) return;
    if (listener_watched_)
      ready_.rearm_once(listen_fd_, kListenerKey);
    else
      listener_watched_ = ready_.watch_once(listen_fd_, kListenerKey);
  }

  void pause_listener(int ms) {
    listener_paused_ = true;
    rearm_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }

  // Opens spares up to their number, as far as descriptors allow.
  void top_up_spares() {
    if (!sock::kDescriptorLimit) return;
    while (spares_.size() < kSpares) {
      const int fd = sock::open_spare();
      if (fd < 0) return;
      spares_.push_back(fd);
    }
  }

  void on_listener() {
    top_up_spares();
    const int err = spares_.empty() ? EMFILE : sock::probe(spares_.back());
    if (err == 0) {
      episode_ = false;
      pause_listener(kHealthyPauseMs);
      return;
    }
    if (err != EMFILE && err != ENFILE && err != ENOMEM && err != ENOBUFS) {
      pause_listener(kHealthyPauseMs);
      return;
    }
    if (!episode_) {
      episode_ = true;
      warn(err);
    }
    if (is_closed(listening_socket_.get())) return;  // CUF_Close under way
    // Refuse every master waiting: a spare descriptor is given up for one accept at a time. The
    // socket is non-blocking meanwhile, so an empty backlog ends the round instead of waiting (the
    // serve loop, which may race us for a master, takes such a failure in its stride). The serve
    // loop's own accept may take the descriptor a spare gave up: that master is served, and the
    // round goes on with the next spare.
    int flags = 0;
    if (!sock::make_nonblocking(listen_fd_, flags)) {
      pause_listener(kStarvedPauseMs);
      return;
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
      pause_listener(kStarvedPauseMs);  // not one descriptor left: look again a little later
    else
      rearm_listener();
  }

  // The warning goes to the interpreter's main thread (a pending call, run the next time that
  // thread runs Python code) and to the handler thread of an attached connection, if there is one,
  // since a main thread blocked in a long wait runs no pending call; whichever comes first logs it.
  // Nothing here may need a descriptor, nor anything that only a descriptor can vouch for: the
  // process has none to spare.
  void warn(int err) {
    Ref text = Ref::steal_or_null(
        PyUnicode_FromFormat("Accepting a master failed ([Errno %d] %s): masters are refused until descriptors are free",
                             err, strerror(err)));
    if (!text) {
      PyErr_Clear();
      return;
    }
    g_pending_lines.push_back(std::move(text));
    Py_AddPendingCall(log_pending_call, nullptr);  // when the queue is full, a handler thread logs it
    if (conns_.empty())
      log_unasked_ = true;  // the first connection that attaches is asked, should that come first
    else
      ask_to_log(*conns_.begin()->second);
  }

  static void ask_to_log(Connection& conn) {
    std::lock_guard<std::mutex> hold(conn.m);
    conn.log_asked = true;
    conn.cv.notify_one();
  }

 private:
  static constexpr int kHealthyPauseMs = 10;
  static constexpr int kStarvedPauseMs = 100;

  Ref listener_, listening_socket_;
  sock::Handle listen_fd_;
  sock::WakeSignal wake_;
  // Descriptors held back to refuse masters with when the process has none left. Two, because the
  // serve loop may take the one given up (see on_listener); none where there is no such limit.
  static constexpr std::size_t kSpares = sock::kDescriptorLimit ? 2 : 0;
  std::vector<int> spares_;
  Readiness ready_;
  std::thread thread_;

  std::mutex inbox_m_;
  std::vector<std::shared_ptr<Connection>> inbox_;
  bool sweep_ = false;
  bool stop_ = false;

  // The loop thread's own, touched under the interpreter lock.
  std::unordered_map<ReadinessKey, std::shared_ptr<Connection>> conns_;  // the attached connections
  std::unordered_set<ReadinessKey> removed_;  // detached during this wake-up
  std::unique_ptr<LoopView> view_;
  ClassVerdict class_verdict_;  // let go of by stop_and_join()
  std::chrono::steady_clock::time_point next_sweep_{};
  std::chrono::steady_clock::time_point rearm_at_{};
  bool listener_paused_ = false;
  bool listener_watched_ = false;
  bool episode_ = false;
  bool log_unasked_ = false;  // a line waits that no connection was asked to log
};

// ---- the loops of the open listeners ------------------------------------------------------------

namespace {
// Never freed: static destructors run after the interpreter is gone.
std::mutex& g_loops_m = *new std::mutex;
std::vector<std::shared_ptr<EventLoop>>& g_loops = *new std::vector<std::shared_ptr<EventLoop>>;

std::shared_ptr<EventLoop> take_loop(PyObject* listener) {
  std::lock_guard<std::mutex> hold(g_loops_m);
  auto it = std::find_if(g_loops.begin(), g_loops.end(), [&](const auto& l) { return l->listener() == listener; });
  if (it == g_loops.end()) return nullptr;
  std::shared_ptr<EventLoop> loop = std::move(*it);
  g_loops.erase(it);
  return loop;
}
}  // namespace

bool start_event_loop(PyObject* listener) {
  Ref listening = host::getattr(listener, "socket");
  Ref no = host::call_method(listening.get(), M.fileno);
  const sock::Handle fd = sock::from_fileno(host::as_long_long(no.get()));
  if (fd == sock::kNone) return false;
  auto loop = std::make_shared<EventLoop>(Ref::borrow(listener), std::move(listening), fd);
  if (!loop->start()) return false;
  std::lock_guard<std::mutex> hold(g_loops_m);
  g_loops.push_back(std::move(loop));
  return true;
}

void stop_event_loop(PyObject* listener) {
  if (std::shared_ptr<EventLoop> loop = take_loop(listener)) loop->stop_and_join();
}

void stop_all_event_loops() {
  std::vector<std::shared_ptr<EventLoop>> all;
  {
    std::lock_guard<std::mutex> hold(g_loops_m);
    all.swap(g_loops);
  }
  for (auto& loop : all) loop->stop_and_join();
}

std::shared_ptr<EventLoop> event_loop_for(PyObject* listener) {
  std::lock_guard<std::mutex> hold(g_loops_m);
  for (auto& l : g_loops)
    if (l->listener() == listener) return l;
  return nullptr;
}

bool adopt_connection(EventLoop& loop, const std::shared_ptr<Connection>& conn) { return loop.adopt(conn); }

void wake_event_loops_for_closed_sockets() {
  std::lock_guard<std::mutex> hold(g_loops_m);
  for (auto& l : g_loops) l->sweep_soon();
}

namespace {
// Under the interpreter lock; never freed (see g_loops).
std::unordered_map<PyObject*, std::weak_ptr<Connection>>& g_connections =
    *new std::unordered_map<PyObject*, std::weak_ptr<Connection>>;
}  // namespace

void register_connection(const std::shared_ptr<Connection>& conn) { g_connections[conn->sock] = conn; }

void unregister_connection(const Connection& conn) {
  auto it = g_connections.find(conn.sock);
  if (it == g_connections.end()) return;
  std::shared_ptr<Connection> held = it->second.lock();
  if (!held || held.get() == &conn) g_connections.erase(it);
}

bool drop_connection(PyObject* sock) {
  auto it = g_connections.find(sock);
  if (it == g_connections.end()) return false;
  std::shared_ptr<Connection> conn = it->second.lock();
  if (!conn) return false;
  conn->dropped = true;
  if (EventLoop* loop = conn->watched_by) {
    loop->forget_dropped(*conn);
    loop->sweep_soon();
  }
  return true;
}

}  // namespace holdbank
