// The registers of a bank kept as a plain list, as both of the server's banks reach them: where a
// register lies, and the word it holds.
#pragma once

#include "host/host.hpp"

#include <cstdint>

namespace holdbank {

// Where register `addr` lies for a bank of `size` registers kept in a list of `list_len` items.
enum class Slot {
  PastSize,  // beyond the bank: reads as 0, a store is dropped
  PastList,  // inside the bank but past the end of a list the host made shorter
  InList,
};
[[gnu::always_inline]] inline Slot slot_of(long long size, Py_ssize_t list_len, std::uint32_t addr) {
  if (static_cast<long long>(addr) >= size) return Slot::PastSize;
  if (static_cast<Py_ssize_t>(addr) >= list_len) return Slot::PastList;
  return Slot::InList;
}

// A register the host filled with something that is not a 16-bit word cannot be sent. Inlined:
// it runs once per register of a read.
[[gnu::always_inline]] inline bool to_word(PyObject* v, std::uint16_t& out) {
  out = 0;
  long long x = 0;
  if (!host::int_within(v, x, 0, 0xFFFF, host::IntKind::or_subclass)) return false;
  out = static_cast<std::uint16_t>(x);
  return true;
}

// Reads the words of one request's registers. A bank holds many registers at the same int (every
// register of a fresh bank is the one 0): the last object read is remembered with its word, so a
// run of them costs one conversion. Only within one request, while no code runs that could free
// an int and give its address to another.
class WordReader {
 public:
  [[gnu::always_inline]] bool read(PyObject* v, std::uint16_t& out) {
    if (v != last_) {
      last_ok_ = to_word(v, last_word_);
      last_ = v;
    }
    out = last_word_;
    return last_ok_;
  }

 private:
  PyObject* last_ = nullptr;
  std::uint16_t last_word_ = 0;
  bool last_ok_ = false;
};

}  // namespace holdbank
