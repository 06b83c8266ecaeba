// The register codecs as plain byte work, shared by the masters' typed operations and the
// server's typed views, and free of the interpreter so they can be tested on their own:
// - word pair: a 32-bit pattern in two registers, high word at the lower address;
// - register text: encoded bytes two to a register, first byte high, an odd count padded with one
//   zero byte; on the way back, NUL characters are trimmed from the decoded text, at both ends
//   for the masters and at the end only for the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace register_codecs {

struct WordPair {
  std::uint16_t high;
  std::uint16_t low;
};

WordPair split_pattern(std::uint32_t pattern);
std::uint32_t join_pattern(std::uint16_t high, std::uint16_t low);

// The pattern whose big-endian form is these four bytes.
std::uint32_t pattern_from_big_endian(const unsigned char bytes[4]);
// The register whose big-endian form is these two bytes.
std::uint16_t word_from_big_endian(const unsigned char bytes[2]);

// The IEEE 754 binary32 value of a pattern, widened to double (exact, NaN payloads aside).
double float_from_pattern(std::uint32_t pattern);
// The two's-complement value of a pattern.
std::int32_t signed_from_pattern(std::uint32_t pattern);

// Two bytes per register, first byte high; an odd count gets one zero byte appended.
std::vector<std::uint16_t> registers_from_bytes(const std::string& bytes);
// Two bytes per register, high byte first, in register order.
std::string bytes_from_registers(const std::vector<std::uint16_t>& registers);

enum class NulTrim { both_ends, end_only };

// The range [first, last) of `text` left once NUL characters are taken off the given end(s);
// NULs between other characters stay.
template <class Char>
std::pair<std::size_t, std::size_t> nul_trimmed(const Char* text, std::size_t length, NulTrim ends) {
  std::size_t first = 0;
  std::size_t last = length;
  if (ends == NulTrim::both_ends)
    while (first < last && text[first] == 0) ++first;
  while (last > first && text[last - 1] == 0) --last;
  return {first, last};
}

}  // namespace register_codecs
