// One connection being served, and its hand-over between the listener's event loop and the
// connection's handler thread.
//
// One party serves a connection at a time, so its answers keep the order of its requests. The
// handler thread gives the connection to the loop (adopt_connection) and waits for its turn; the
// loop gives it back when a request could be observed from Python, when the master closed, or when
// the loop stops. Each field below belongs to one rule, named at its group:
// - what the connection is: set before the loop first sees it, never changed;
// - the stream (buffered frames, answers not yet sent, why the loop ended it): the party whose
//   turn it is owns it, and only that party touches it;
// - the drop mark and the loop's seat: under the interpreter lock;
// - the turn and the logging mailbox: private, under the connection's own mutex.
#pragma once

#include "host/host.hpp"
#include "server/modbus_core.hpp"
#include "server/platform_socket.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace holdbank {

class EventLoop;

// Why the loop stopped serving a connection, for its handler thread to raise. The loop itself
// makes no exception object: those are objects the collector tracks, and an allocation of one may
// start a collection that runs the host's finalisers on the loop thread.
struct LoopEnding {
  enum class Kind { None, Errno, SocketError, Malformed, Python };
  Kind kind = Kind::None;
  int err = 0;                         // Errno (EBADF: the host closed the socket), SocketError
  const char* message = nullptr;       // Malformed: the text of the struct.error
  std::optional<host::Fetched> error;  // Python: an error a call of the loop's met anyway

  explicit operator bool() const { return kind != Kind::None; }
  // With the interpreter lock: sets the error it stands for (and forgets it).
  void set_error();
};

class Connection {
 public:
  // Borrowed from the handler's frame (handle()), which outlives the connection's time in the loop.
  Connection(PyObject* sock, PyObject* server, PyObject* ip, std::uint64_t id)
      : sock(sock), server(server), ip(ip), id(id) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // ---- what it is
  const host::Borrowed sock, server, ip;
  // Its key in a loop's readiness set: never given to another connection, unlike its address.
  const std::uint64_t id;
  // The socket object's descriptor, set by the handler before the first hand-over. The loop uses
  // it only while it holds the interpreter lock and has seen the socket object still open: Python
  // closes a socket only under that lock, so the number cannot meanwhile belong to another
  // connection.
  sock::Handle fd = sock::kNone;

  // ---- the stream, owned by the party whose turn it is
  struct Stream {
    modbus::FrameAssembler frames;
    std::vector<std::uint8_t> out;  // answers not yet sent, in request order
    LoopEnding ending;              // what ended the connection in the loop
  } stream;

  // ---- under the interpreter lock
  // Set by CUF_DisconnectClient right before it closes the socket, with the bank lock held too:
  // from then on no request of this connection is executed and no hook is called for it, whoever
  // serves it.
  bool dropped = false;
  // The loop whose readiness set holds `fd`, and whether it watches for room to write.
  EventLoop* watched_by = nullptr;
  bool watching_write = false;

  // ---- the hand-over
  enum class Turn { Loop, Handler, Ended, LoopGone };
  // The handler, before it offers the connection to the loop.
  void lend_to_loop() {
    std::lock_guard<std::mutex> hold(m_);
    turn_ = Turn::Loop;
  }
  // The loop, when it lets go: the handler serves it (Handler), ends it (Ended) or serves it for
  // good (LoopGone).
  void give(Turn turn) {
    std::lock_guard<std::mutex> hold(m_);
    turn_ = turn;
    cv_.notify_one();
  }
  // The loop asks the handler thread to log what waits to be logged (it must not log itself).
  void post_log() {
    std::lock_guard<std::mutex> hold(m_);
    log_asked_ = true;
    cv_.notify_one();
  }
  // The handler blocks here, without the interpreter lock, until the turn is no longer the
  // loop's or a log is asked for (both may come at once).
  struct Wake {
    Turn turn;
    bool log;
  };
  Wake wait_for_turn() noexcept {
    std::unique_lock<std::mutex> hold(m_);
    cv_.wait(hold, [&] { return turn_ != Turn::Loop || log_asked_; });
    return Wake{turn_, std::exchange(log_asked_, false)};
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  Turn turn_ = Turn::Loop;
  bool log_asked_ = false;
};

// True once the host closed the socket object, also one a handler thread holds open, whose close
// only marked it closed (see SocketPin in handler_thread.cpp). With the interpreter lock; raises
// when the object cannot say.
bool socket_closed(PyObject* sock);

}  // namespace holdbank
