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

}  // namespace holdbank
