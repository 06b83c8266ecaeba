// The event loop's executor: runs the requests of a connection the loop serves, through the
// protocol core, over a bank that only plain objects make up. It executes a request only when
// nothing about it could be observed from Python (observability.hpp); the first one that could is
// left for the connection's handler thread, before anything of it was done.
//
// Under the interpreter lock, on the loop thread: nothing here runs code of the host's, drops the
// last reference to a host object, or makes an object the collector tracks.
#pragma once

#include "server/connection.hpp"
#include "server/observability.hpp"

#include <memory>
#include <vector>

namespace holdbank {

enum class LoopOutcome {
  Served,     // every complete frame buffered was executed; the answers wait in stream.out
  ToHandler,  // the next frame needs the handler thread, and is left in stream.frames
  Failed,     // stream.ending says what ends the connection
};

class QuietExecutor {
 public:
  QuietExecutor();
  ~QuietExecutor();
  QuietExecutor(const QuietExecutor&) = delete;
  QuietExecutor& operator=(const QuietExecutor&) = delete;

  // Executes every complete frame buffered in `conn` that nothing can observe, appending the
  // answers to its stream. The server is looked at once per wake-up: while the loop holds the
  // interpreter lock and runs no Python code, nothing about it can change.
  LoopOutcome serve(Connection& conn);
  // At the end of a wake-up: what was seen may change once the interpreter lock is let go, and
  // what it holds of the host's goes (the buffers stay).
  void end_wakeup();
  // On the thread that stops the loop, which may run the host's code: the cached class goes.
  void let_go();

  struct View;  // the server as one wake-up sees it (loop_executor.cpp)

 private:
  std::unique_ptr<View> view_;
  ClassVerdict seen_;
};

}  // namespace holdbank
