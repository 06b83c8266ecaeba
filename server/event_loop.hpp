// The native I/O loop of an open listener, and the connection record it shares with the
// connection's handler thread.
//
// Each accepted master still has its handler thread, which makes the connect and disconnect steps
// and runs every hook. While nothing about a request can be observed from Python, the loop serves
// the connection instead: it receives, cuts frames, executes the requests of every ready
// connection under one hold of the interpreter lock and sends the answers. The moment a request
// could be observed (a hook is set, a method is overridden, the bank lock is busy), the loop hands
// the connection to its handler thread, which serves it exactly as a thread per connection would
// and gives it back once nothing can be observed any more. One party serves a connection at a
// time, so its answers keep the order of its requests.
//
// One descriptor per master: the loop uses the socket object's own descriptor, and only while it
// holds the interpreter lock and has seen the socket object still open. Python closes a socket
// only under the interpreter lock, so the number cannot meanwhile come to belong to another
// connection. (The handler thread, which blocks in receives without the interpreter lock, holds
// the socket open while it has the connection, as a file made by socket.makefile() does: a close
// meanwhile only marks it closed. See SocketPin in request_handler.cpp.)
#pragma once

#include "server/holdbank.hpp"
#include "server/modbus_core.hpp"
#include "server/platform_socket.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace holdbank {

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

// Lines the loops want logged wait here, under the interpreter lock. A loop must not log itself:
// logging runs the host's handlers (and the threading module) on its thread. Whoever comes first
// logs them all: a handler thread the loop asks to, or the interpreter's main thread.
void log_pending_lines();

class EventLoop;

struct Connection {
  // Borrowed from the handler's frame, which outlives the connection's time in the loop.
  PyObject* sock;
  PyObject* server;
  PyObject* ip;
  sock::Handle fd;  // the socket object's descriptor (see above for when it may be used)
  // Its key in a loop's readiness set: never given to another connection, unlike its address.
  std::uint64_t id;

  // Set by CUF_DisconnectClient, under the interpreter lock and the bank lock, right before it
  // closes the socket: from then on no request of this connection is executed and no hook is
  // called for it, whoever serves it.
  bool dropped = false;

  // Owned by whichever party serves the connection now.
  modbus::FrameAssembler frames;
  std::vector<std::uint8_t> out;  // answers not yet sent, in request order
  LoopEnding ending;              // what ended the connection in the loop

  // Who serves the connection; changed under `m`, the handler waits on `cv`.
  enum class Turn { Loop, Handler, Ended, LoopGone };
  std::mutex m;
  std::condition_variable cv;
  Turn turn = Turn::Loop;
  bool log_asked = false;  // set with `m`: the loop asks this handler thread to log_pending_lines()

  // The loop's own bookkeeping, under the interpreter lock.
  EventLoop* watched_by = nullptr;  // the loop whose readiness set holds `fd`
  bool watching_write = false;
};


// Starts the loop of a listener just built by CUF_Open; false (and no loop) when the system
// refuses what it needs, in which case every connection is served by its thread.
bool start_event_loop(PyObject* listener);
// Stops the listener's loop, if it has one; its connections go on on their handler threads.
// Called with the interpreter lock held; waits for the loop thread without it.
void stop_event_loop(PyObject* listener);
// Stops every loop; at interpreter exit, before anything finalizes.
void stop_all_event_loops();
// The loop serving `listener`'s connections, or null.
std::shared_ptr<EventLoop> event_loop_for(PyObject* listener);
// Takes a connection (again); false once the loop is stopping.
bool adopt_connection(EventLoop& loop, const std::shared_ptr<Connection>& conn);
// A socket may have been closed by the host: the loops look at theirs.
void wake_event_loops_for_closed_sockets();

// The connections being served, by their socket object, for CUF_DisconnectClient. Under the
// interpreter lock.
void register_connection(const std::shared_ptr<Connection>& conn);
void unregister_connection(const Connection& conn);
// CUF_DisconnectClient, right before it closes `sock`: the connection is marked dropped and taken
// out of its loop's readiness set while its descriptor is still open (afterwards only the number
// would be known, and a forked child holding the socket would keep it reported). False when `sock`
// is no connection being served.
bool drop_connection(PyObject* sock);

// Request handling as the loop does it (request_handler.cpp), under the interpreter lock.
// Everything the loop needs about a server, read once per wake-up: while the loop holds the
// interpreter lock and runs no Python code, none of it can change.
struct LoopView {
  PyObject* server = nullptr;
  bool plain = false;          // a plain list, an int size, a plain lock, attribute access of our own
  bool read_quiet = false;     // our _on_read and CUE_OnRead unset
  bool write_quiet = false;    // our _on_write and CUE_OnWrite unset
  bool denied_quiet = false;   // our _on_write_denied and CUE_OnWriteDenied unset
  bool ranges_native = false;  // our _is_writable over plain ranges
  WritableRanges ranges;
  host::Ref hr, lock;
  long long size = 0;
  std::vector<std::uint8_t> answer;

  // Whether executing this frame here would run no code of the host's: no hook, no method of
  // the host's, and no finaliser of a register value it replaces.
  bool quiet_for(const modbus::Frame& f) const {
    if (!plain) return false;
    switch (f.pdu[0]) {
      case modbus::kReadHoldingRegisters:
        return read_quiet;  // the values read are checked one by one as they are read
      case modbus::kWriteSingleRegister: {
        // Malformed: it ends the connection, and nothing is called.
        if (f.pdu_len < modbus::kWriteSingleRequestSize) return true;
        if (!ranges_native) return false;
        const std::uint32_t addr = modbus::get_u16(f.pdu + 1);
        if (!ranges.allow(addr)) return denied_quiet;
        return write_quiet && replaceable(addr, 1);
      }
      case modbus::kWriteMultipleRegisters: {
        if (f.pdu_len < modbus::kWriteMultipleHeaderSize) return true;
        if (!ranges_native) return false;
        const std::uint32_t start = modbus::get_u16(f.pdu + 1), count = modbus::get_u16(f.pdu + 3);
        if (!ranges.cover(start, count)) return denied_quiet;
        if (!write_quiet) return false;
        // Refused for missing value bytes: nothing is stored.
        if (f.pdu_len - modbus::kWriteMultipleHeaderSize < 2 * static_cast<std::size_t>(count)) return true;
        return replaceable(start, count);
      }
      default:
        return true;
    }
  }

  // Whether storing into registers start.. start+count-1 drops only exact ints: dropping anything
  // else may run its finaliser, and a list shorter than `size` is the handler thread's to meet.
  bool replaceable(std::uint32_t start, std::uint32_t count) const {
    const long long list_len = PyList_Size(hr.get());
    for (long long a = start; a < static_cast<long long>(start) + count && a < size; ++a)
      if (a >= list_len || !PyLong_CheckExact(PyList_GetItem(hr.get(), static_cast<Py_ssize_t>(a)))) return false;
    return true;
  }
};

// Whether a server class's attributes can be read without running code of the host's, as found
// lately (see request_handler.cpp).
struct ClassVerdict {
  host::Ref type;
  bool inert = false;
  std::chrono::steady_clock::time_point at;
};

enum class LoopOutcome { Served, ToHandler, Failed };
// Executes every complete frame buffered in `conn` that nothing can observe, appending the answers
// to conn.out. ToHandler: the next frame needs the handler thread and is left in conn.frames.
// Failed: conn.ending says what ends the connection.
LoopOutcome serve_in_loop(Connection& conn, std::unique_ptr<LoopView>& view, ClassVerdict& seen);
// True once the host closed the socket object (also one a handler thread holds open, whose close
// only marked it closed: see SocketPin in request_handler.cpp).
bool closed_elsewhere(PyObject* sock);
// Sets the host's OSError (ConnectionResetError, BrokenPipeError, ...) for the error of a failed
// socket call.
void set_socket_error(int err);
// Whether a connection of `server` could be served by the loop right now.
bool loop_may_serve(PyObject* server);

}  // namespace holdbank
