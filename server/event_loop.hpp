// The native I/O loop of an open listener.
//
// Each accepted master still has its handler thread (handler_thread.cpp), which makes the connect
// and disconnect steps and runs every hook. While nothing about a request can be observed from
// Python (observability.hpp), the loop serves the connection instead: it receives, cuts frames,
// has its executor (loop_executor.hpp) execute the requests of every ready connection under one
// hold of the interpreter lock, and sends the answers. The moment a request could be observed (a
// hook is set, a method is overridden, the bank lock is busy), the loop hands the connection back
// to its handler thread (connection.hpp), which serves it exactly as a thread per connection would
// and offers it again once nothing can be observed any more.
//
// One descriptor per master: the loop uses the socket object's own descriptor, and only while it
// holds the interpreter lock and has seen the socket object still open. (The handler thread,
// which blocks in receives without the interpreter lock, holds the socket open while it has the
// connection, as a file made by socket.makefile() does: a close meanwhile only marks it closed.)
#pragma once

#include "server/connection.hpp"

#include <memory>

namespace holdbank {

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
// A socket may have been closed by the host: the loops look at theirs.
void wake_event_loops_for_closed_sockets();
// Under the interpreter lock, for a connection just marked dropped, before its socket is closed:
// its descriptor leaves the readiness set of the loop watching it while it is still open
// (afterwards only the number would be known, and a forked child holding the socket would keep it
// reported), and that loop looks at its connections.
void forget_dropped(Connection& conn);

}  // namespace holdbank
