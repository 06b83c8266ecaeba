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
// The loop moves bytes and connections; what a request does is its executor's (loop_executor.hpp),
// and the listening socket is watched by its guard (listener_guard.hpp) for one thing only: a
// process out of descriptors.
#include "server/event_loop.hpp"
#include "server/holdbank.hpp"
#include "server/listener_guard.hpp"
#include "server/loop_executor.hpp"
#include "server/platform_socket.hpp"
#include "server/readiness.hpp"
#include "server/request_trace.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <unordered_set>

using host::Ref;

namespace holdbank {
namespace {
// The loop must go on whatever one socket object does: an error asking it counts as closed.
bool is_closed(PyObject* sock) {
  try {
    return socket_closed(sock);
  } catch (const host::PyError&) {
    PyErr_Clear();
    return true;
  }
}

// Keys of the readiness set that are not connections'.
constexpr ReadinessKey kWakeKey = 1;
constexpr ReadinessKey kListenerKey = 2;
}  // namespace

class EventLoop {
 public:
  EventLoop(Ref listener, Ref listening_socket, sock::Handle listen_fd)
      : listener_(std::move(listener)),
        listening_socket_(std::move(listening_socket)),
        guard_(ready_, kListenerKey, listening_socket_.get(), listen_fd) {}
  ~EventLoop() { wake_.close(); }

  bool start() {
    wake_.open();
    if (!ready_.ok() || !wake_.ok()) return false;
    if (!ready_.watch(wake_.handle(), kWakeKey, true, false)) return false;
    if (!guard_.start()) return false;
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

  // Under the interpreter lock, from the thread that drops `conn` (see forget_dropped()). Where the
  // set may be changed by its own thread only, the loop's sweep takes it out after the close
  // instead (no system registration outlives a close there).
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
    HOLDBANK_TRACE_WRITE_OUT();
    executor_.let_go();
    listening_socket_ = Ref();
    listener_ = Ref();
  }

 private:
  // Under inbox_m_, which the loop holds to close the descriptor.
  void wake() { wake_.signal(); }

  void run() {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* state = PyEval_SaveThread();
    Readiness::Event events[Readiness::kBatch];
    for (;;) {
      const int n = ready_.wait(events, Readiness::kBatch, guard_.wait_ms());
      HOLDBANK_TRACE_BEGIN();
      PyEval_RestoreThread(state);
      HOLDBANK_TRACE_MARK(Locked);
      // No collection on this thread: it would run the host's finalisers here. Nobody else runs
      // while the loop holds the interpreter lock, so nobody sees the collector off meanwhile.
      const int collecting = PyGC_Disable();
      const bool go = batch(events, n);
      if (collecting) PyGC_Enable();
      if (!go) break;
      state = PyEval_SaveThread();
      HOLDBANK_TRACE_END();
    }
    // Stopping, with the interpreter lock: every connection goes on on its own thread.
    for (auto& entry : conns_) {
      entry.second->watched_by = nullptr;
      entry.second->give(Connection::Turn::LoopGone);
    }
    conns_.clear();
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      for (auto& conn : inbox_) conn->give(Connection::Turn::LoopGone);
      inbox_.clear();
    }
    // A handler thread may keep this object a while longer; the descriptors go now. Nothing
    // wakes a stopped loop (adopt() refuses, and it has left the registry).
    ready_.close();
    guard_.close();
    {
      std::lock_guard<std::mutex> hold(inbox_m_);
      wake_.close();
    }
    PyGILState_Release(gil);
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
    if (!detached_keys_.empty()) detached_keys_.clear();
    const auto now = std::chrono::steady_clock::now();
    if (n == 0 || now >= next_sweep_) {
      // A socket the host closed without our knowing (not through CUF_DisconnectClient) is found
      // here: its descriptor no longer reports anything.
      sweep = true;
      next_sweep_ = now + std::chrono::milliseconds(500);
    }
    guard_.on_wakeup(now);
    for (auto& conn : arrived) attach(conn);
    if (sweep) sweep_closed();
    bool stale = false;
    for (int i = 0; i < n; ++i) {
      const ReadinessKey key = events[i].key;
      if (key == kWakeKey) {
        wake_.drain();
      } else if (key == kListenerKey) {
        if (guard_.on_ready()) ask_to_log();
      } else if (auto it = conns_.find(key); it != conns_.end()) {
        std::shared_ptr<Connection> conn = it->second;  // kept while it may be handed over
        on_connection(*conn, events[i]);
      } else if (!detached_keys_.count(key) && !ready_.forget_key(key)) {
        // Reported after it was taken out: a registration the set could not drop (see
        // Readiness::reset). Left alone it would wake us on every wait.
        stale = true;
      }
    }
    if (stale) rebuild_readiness();
    executor_.end_wakeup();
    return true;
  }

  // A fresh readiness set holding what the loop still watches.
  void rebuild_readiness() {
    if (!ready_.reset() || !ready_.watch(wake_.handle(), kWakeKey, true, false)) {
      stop_after_failure();
      return;
    }
    guard_.after_reset();
    for (auto& conn : attached()) {
      conn->watched_by = nullptr;
      if (is_closed(conn->sock.get()) || conn->dropped) {
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
    for (auto& conn : attached()) hand_over(*conn, Connection::Turn::LoopGone);
  }

  // ---- connections -----------------------------------------------------------------------------

  // The attached connections, held, for a walk that may detach them.
  std::vector<std::shared_ptr<Connection>> attached() const {
    std::vector<std::shared_ptr<Connection>> all;
    all.reserve(conns_.size());
    for (const auto& entry : conns_) all.push_back(entry.second);
    return all;
  }

  void attach(const std::shared_ptr<Connection>& conn) {
    if (is_closed(conn->sock.get()) || conn->dropped) {
      conn->stream.ending = LoopEnding{LoopEnding::Kind::Errno, EBADF};
      conn->give(Connection::Turn::Ended);
      return;
    }
    sock::no_sigpipe(conn->fd);
    conn->watching_write = !conn->stream.out.empty();
    if (!ready_.watch(conn->fd, conn->id, !conn->watching_write, conn->watching_write)) {
      conn->give(Connection::Turn::LoopGone);
      return;
    }
    conn->watched_by = this;
    conns_.emplace(conn->id, conn);
    if (!lines_pending()) log_unasked_ = false;  // logged by someone meanwhile
    if (std::exchange(log_unasked_, false)) conn->post_log();
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
      if (!is_closed(conn.sock.get()))
        ready_.forget(conn.fd, conn.id);
      else
        ready_.forget_closed(conn.id);
    }
    conn.watched_by = nullptr;
    detached_keys_.insert(conn.id);  // events of this wake-up may still name it
    return kept;
  }

  // Only a connection the loop still serves is handed over: one already handed over is its
  // handler's, and is not touched again.
  void hand_over(Connection& conn, Connection::Turn turn) {
    if (detach(conn)) conn.give(turn);
  }

  // The handler raises what the master's end is, as its own receive would have: `err` is a C errno
  // (EBADF for a socket the host closed) or, with `socket_call`, the error of a socket call.
  void end_with_errno(Connection& conn, int err, bool socket_call = false) {
    if (!conns_.count(conn.id)) return;
    conn.stream.ending = LoopEnding{socket_call ? LoopEnding::Kind::SocketError : LoopEnding::Kind::Errno, err};
    hand_over(conn, Connection::Turn::Ended);
  }

  void sweep_closed() {
    std::vector<std::shared_ptr<Connection>> closed;
    for (auto& entry : conns_)
      if (entry.second->dropped || is_closed(entry.second->sock.get())) closed.push_back(entry.second);
    for (auto& conn : closed) end_with_errno(*conn, EBADF);
  }

  void on_connection(Connection& conn, const Readiness::Event& ev) {
    // Checked once for every request this wake-up executes: a drop needs the interpreter lock,
    // which the loop keeps until it has sent the answers.
    if (conn.dropped || is_closed(conn.sock.get())) {
      end_with_errno(conn, EBADF);
      return;
    }
    Connection::Stream& s = conn.stream;
    if (!s.out.empty()) {
      if (ev.writable || ev.hangup) flush(conn);
      return;  // no new requests while the master does not take its answers
    }
    if (!ev.readable && !ev.hangup) return;
    auto space = s.frames.recv_space();
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
    s.frames.commit(static_cast<std::size_t>(n));
    HOLDBANK_TRACE_MARK(Received);
    switch (executor_.serve(conn)) {
      case LoopOutcome::Served:
        HOLDBANK_TRACE_MARK(Executed);
        flush(conn);
        HOLDBANK_TRACE_MARK(Sent);
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
    std::vector<std::uint8_t>& out = conn.stream.out;
    std::size_t sent = 0;
    while (sent < out.size()) {
      const sock::IoSize n = sock::send_nowait(conn.fd, out.data() + sent, out.size() - sent);
      if (n < 0) {
        const int err = sock::last_error();
        if (sock::interrupted(err)) continue;
        if (sock::would_block(err)) break;
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
        end_with_errno(conn, err, true);
        return;
      }
      sent += static_cast<std::size_t>(n);
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
    const bool backed_up = !out.empty();
    if (backed_up != conn.watching_write) {
      conn.watching_write = backed_up;
      if (conn.watched_by == this) ready_.change(conn.fd, conn.id, !backed_up, backed_up);
    }
  }

  // A line waits to be logged: an attached connection's handler thread is asked (a main thread
  // blocked in a long wait runs no pending call), or else the first connection that attaches.
  void ask_to_log() {
    if (conns_.empty())
      log_unasked_ = true;
    else
      conns_.begin()->second->post_log();
  }

  Ref listener_, listening_socket_;
  Readiness ready_;
  sock::WakeSignal wake_;
  ListenerGuard guard_;
  std::thread thread_;

  // What other threads hand the loop, under inbox_m_.
  std::mutex inbox_m_;
  std::vector<std::shared_ptr<Connection>> inbox_;
  bool sweep_ = false;
  bool stop_ = false;

  // The loop thread's own, touched under the interpreter lock.
  std::unordered_map<ReadinessKey, std::shared_ptr<Connection>> conns_;  // the attached connections
  std::unordered_set<ReadinessKey> detached_keys_;  // keys of those detached during this wake-up
  QuietExecutor executor_;                          // let go of by stop_and_join()
  std::chrono::steady_clock::time_point next_sweep_{};
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

void forget_dropped(Connection& conn) {
  if (EventLoop* loop = conn.watched_by) {
    loop->forget_dropped(conn);
    loop->sweep_soon();
  }
}

}  // namespace holdbank
