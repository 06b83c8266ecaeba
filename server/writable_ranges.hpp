// Which registers a master may write, as the server's read-write ranges say: plain numbers, no
// Python, so that whole requests can be decided at once.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace holdbank {

struct WritableRanges {
  std::vector<std::pair<long long, long long>> rw;  // (start, end), both ends inclusive
  bool none_set = false;  // no range at all, so every register is writable

  bool allow(std::uint32_t addr) const {
    for (const auto& r : rw)
      if (r.first <= addr && addr <= r.second) return true;
    return none_set;
  }

  // Whether every address of [start, start + count) is writable, decided from the ranges rather
  // than address by address (a write-multiple may name 65,535 of them).
  bool cover(std::uint32_t start, std::uint32_t count) const {
    if (count == 0) return true;
    if (rw.empty()) return none_set;
    const long long last = static_cast<long long>(start) + count - 1;
    long long next = start;  // the first address not yet known to be writable
    for (;;) {
      // The range holding `next` that reaches furthest. Each round passes the end of a range, so
      // there are at most as many rounds as ranges.
      long long reach = next - 1;
      for (const auto& r : rw)
        if (r.first <= next && next <= r.second && r.second > reach) reach = r.second;
      if (reach < next) return false;
      if (reach >= last) return true;
      next = reach + 1;
    }
  }
};

}  // namespace holdbank
