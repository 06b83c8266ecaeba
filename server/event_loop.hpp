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
// connection. (The handler thread, which blocks in receives without the interpreter lock, serves
// through a duplicate of its own while it has the connection.)
#pragma once

#include "server/holdbank.hpp"
#include "server/modbus_core.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace holdbank {

struct Connection {
  // Borrowed from the handler's frame, which outlives the connection's time in the loop.
  PyObject* sock;
  PyObject* server;
  PyObject* ip;
  int fd;  // the socket object's descriptor (see above for when it may be used)

  // Owned by whichever party serves the connection now.
  modbus::FrameAssembler frames;
  std::vector<std::uint8_t> out;  // answers not yet sent, in request order
  std::optional<host::Fetched> error;  // the error that ended the connection in the loop

  // Who serves the connection; changed under `m`, the handler waits on `cv`.
  enum class Turn { Loop, Handler, Ended, LoopGone };
  std::mutex m;
  std::condition_variable cv;
  Turn turn = Turn::Loop;
  bool log_warning = false;  // the loop asks this handler thread to log `warning` for it
  host::Ref warning;         // set and cleared under the interpreter lock

  bool watching_write = false;  // the loop's own bookkeeping
};

class EventLoop;

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
// A socket may have been closed by the host (CUF_DisconnectClient): the loops look at theirs.
void wake_event_loops_for_closed_sockets();

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

  // Whether executing this frame here would make no call the host could observe.
  bool quiet_for(const modbus::Frame& f) const {
    if (!plain) return false;
    switch (f.pdu[0]) {
      case modbus::kReadHoldingRegisters:
        return read_quiet;
      case modbus::kWriteSingleRegister:
        // Malformed: it ends the connection, and nothing is called.
        if (f.pdu_len < modbus::kWriteSingleRequestSize) return true;
        if (!ranges_native) return false;
        return ranges.allow(modbus::get_u16(f.pdu + 1)) ? write_quiet : denied_quiet;
      case modbus::kWriteMultipleRegisters:
        if (f.pdu_len < modbus::kWriteMultipleHeaderSize) return true;
        if (!ranges_native) return false;
        return ranges.cover(modbus::get_u16(f.pdu + 1), modbus::get_u16(f.pdu + 3)) ? write_quiet : denied_quiet;
      default:
        return true;
    }
  }
};

enum class LoopOutcome { Served, ToHandler, Failed };
// Executes every complete frame buffered in `conn` that nothing can observe, appending the answers
// to conn.out. ToHandler: the next frame needs the handler thread and is left in conn.frames.
// Failed: conn.error holds the error that ends the connection.
LoopOutcome serve_in_loop(Connection& conn, std::unique_ptr<LoopView>& view);
// True once the host closed the socket object.
bool closed_elsewhere(PyObject* sock);
// Whether a connection of `server` could be served by the loop right now.
bool loop_may_serve(PyObject* server);

}  // namespace holdbank
