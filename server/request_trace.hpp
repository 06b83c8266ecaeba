// Timestamps of the loop's stages, for bench/request_breakdown.py: compiled in only by a build made
// with -DHOLDBANK_TRACE=ON (never the released one), where each wake-up of a loop records when it
// woke, took the interpreter lock, received, read the server, executed, sent and let the lock go,
// with the transaction id of the last request it executed. The records are written, one line
// each, to the file named by HOLDBANK_TRACE_FILE when the loop stops.
//
// The clock is CLOCK_MONOTONIC, the one a master in another process reads with
// time.monotonic_ns(), so the master's send and receive line up with the server's stages.
#pragma once

#ifdef HOLDBANK_TRACE

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace holdbank::trace {

enum Stage { Woken, Locked, Received, Shaped, Executed, Sent, Unlocked, kStages };
inline constexpr const char* kNames[kStages] = {"woken", "locked", "received", "shaped", "executed", "sent", "unlocked"};

struct Record {
  std::uint64_t at[kStages];
  long tx_id;  // -1: no request executed
};

// One loop thread writes these; the records go to the file after it has stopped.
inline thread_local Record t_current{};
inline std::vector<Record>& records() {
  static std::vector<Record>* all = [] {
    auto* v = new std::vector<Record>;
    v->reserve(1 << 20);
    return v;
  }();
  return *all;
}

inline std::uint64_t now_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

inline void begin() noexcept {
  t_current = Record{};
  t_current.tx_id = -1;
  t_current.at[Woken] = now_ns();
}
inline void mark(Stage s) noexcept { t_current.at[s] = now_ns(); }
inline void request(long tx_id) noexcept { t_current.tx_id = tx_id; }
// Keeps the wake-up's record when it served a request.
inline void end() noexcept {
  t_current.at[Unlocked] = now_ns();
  if (t_current.tx_id >= 0 && records().size() < records().capacity()) records().push_back(t_current);
}

// After the loop thread has stopped.
inline void write_out() noexcept {
  const char* path = std::getenv("HOLDBANK_TRACE_FILE");
  if (!path || records().empty()) return;
  if (std::FILE* f = std::fopen(path, "w")) {
    std::fprintf(f, "tx_id");
    for (const char* name : kNames) std::fprintf(f, " %s", name);
    std::fprintf(f, "\n");
    for (const Record& r : records()) {
      std::fprintf(f, "%ld", r.tx_id);
      for (std::uint64_t t : r.at) std::fprintf(f, " %llu", static_cast<unsigned long long>(t));
      std::fprintf(f, "\n");
    }
    std::fclose(f);
  }
  records().clear();
}

}  // namespace holdbank::trace

#define HOLDBANK_TRACE_BEGIN() ::holdbank::trace::begin()
#define HOLDBANK_TRACE_MARK(stage) ::holdbank::trace::mark(::holdbank::trace::stage)
#define HOLDBANK_TRACE_REQUEST(tx) ::holdbank::trace::request(static_cast<long>(tx))
#define HOLDBANK_TRACE_END() ::holdbank::trace::end()
#define HOLDBANK_TRACE_WRITE_OUT() ::holdbank::trace::write_out()

#else

#define HOLDBANK_TRACE_BEGIN() ((void)0)
#define HOLDBANK_TRACE_MARK(stage) ((void)0)
#define HOLDBANK_TRACE_REQUEST(tx) ((void)0)
#define HOLDBANK_TRACE_END() ((void)0)
#define HOLDBANK_TRACE_WRITE_OUT() ((void)0)

#endif
