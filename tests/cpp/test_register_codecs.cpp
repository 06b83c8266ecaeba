// Tests of the register codecs as plain byte work: word pairs, binary32 and signed patterns, text
// bytes two to a register, and the NUL trimming of decoded text at one or both ends.
#include "serial_client/register_codecs.hpp"
#include "harness.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace register_codecs;
using Words = std::vector<std::uint16_t>;

void word_pairs() {
  struct Case {
    std::uint32_t pattern;
    std::uint16_t high, low;
  };
  const Case cases[] = {
      {0x12345678u, 4660, 22136},     // 305419896
      {0xFFFFFFFFu, 65535, 65535},
      {0u, 0, 0},
      {0x3F800000u, 16256, 0},        // 1.0f
      {0xC0200000u, 49184, 0},        // -2.5f
      {0x4048F5C3u, 16456, 62915},    // 3.14f
  };
  for (const Case& c : cases) {
    const WordPair w = split_pattern(c.pattern);
    CHECK(w.high == c.high && w.low == c.low);
    CHECK(join_pattern(c.high, c.low) == c.pattern);
  }
  const unsigned char big_endian[4] = {0x12, 0x34, 0x56, 0x78};
  CHECK(pattern_from_big_endian(big_endian) == 0x12345678u);
  const unsigned char top_bit[4] = {0x80, 0x00, 0x00, 0x01};
  CHECK(pattern_from_big_endian(top_bit) == 0x80000001u);

  const unsigned char words[][2] = {{0x12, 0x34}, {0xFF, 0x00}, {0x00, 0xFF}, {0xFF, 0xFF}};
  const std::uint16_t expected[] = {0x1234, 0xFF00, 0x00FF, 0xFFFF};
  for (int i = 0; i < 4; ++i) CHECK(word_from_big_endian(words[i]) == expected[i]);
}

void signed_values() {
  struct Case {
    std::uint32_t pattern;
    std::int32_t value;
  };
  const Case cases[] = {
      {0u, 0}, {1u, 1}, {0x7FFFFFFFu, 2147483647}, {0x80000000u, -2147483647 - 1},
      {0xFFFFFFFEu, -2}, {0xFFFFFFFFu, -1}, {join_pattern(0x0001, 0x0002), 65538},
  };
  for (const Case& c : cases) CHECK(signed_from_pattern(c.pattern) == c.value);
}

void binary32_values() {
  CHECK(float_from_pattern(0x3F800000u) == 1.0);
  CHECK(float_from_pattern(0xC0200000u) == -2.5);
  // Widened exactly, not rounded to the nearest short decimal.
  CHECK(float_from_pattern(0x4048F5C3u) == 3.140000104904175);
  CHECK(float_from_pattern(0x7F800000u) == std::numeric_limits<double>::infinity());
  CHECK(float_from_pattern(0xFF800000u) == -std::numeric_limits<double>::infinity());
  CHECK(std::isnan(float_from_pattern(0x7FC00000u)));
  CHECK(float_from_pattern(0x00000001u) == std::ldexp(1.0, -149));  // smallest subnormal
  CHECK(std::signbit(float_from_pattern(0x80000000u)) && float_from_pattern(0x80000000u) == 0.0);
}

void text_bytes() {
  CHECK(registers_from_bytes("ABC") == (Words{0x4142, 0x4300}));  // odd count: one zero byte added
  CHECK(registers_from_bytes("AB") == (Words{0x4142}));
  CHECK(registers_from_bytes("") == Words{});
  CHECK(registers_from_bytes("\xA4\xA4") == (Words{42148}));      // big5 for U+4E2D
  CHECK(registers_from_bytes(std::string("\xFF\x00\x01", 3)) == (Words{0xFF00, 0x0100}));

  CHECK(bytes_from_registers(Words{16706, 17152}) == std::string("ABC\0", 4));
  CHECK(bytes_from_registers(Words{0xFFFF, 0x0001}) == std::string("\xFF\xFF\x00\x01", 4));
  CHECK(bytes_from_registers(Words{}).empty());
}

void nul_trimming() {
  auto trimmed = [](const std::u32string& s, NulTrim ends) {
    const auto r = nul_trimmed(s.data(), s.size(), ends);
    return s.substr(r.first, r.second - r.first);
  };
  using S = std::u32string;
  struct Case {
    S text, both_ends, end_only;
  };
  const Case cases[] = {
      {S(U"ABC\0", 4), U"ABC", U"ABC"},
      {S(U"\0ABC\0\0", 6), U"ABC", S(U"\0ABC", 4)},           // a leading NUL stays at the end-only trim
      {S(U"A\0B", 3), S(U"A\0B", 3), S(U"A\0B", 3)},           // inner NUL stays
      {S(U"\0A", 2), U"A", S(U"\0A", 2)},
      {U" A ", U" A ", U" A "},                                  // blanks stay
      {S(U"\0\0\0", 3), U"", U""},
      {U"", U"", U""},
  };
  for (const Case& c : cases) {
    CHECK(trimmed(c.text, NulTrim::both_ends) == c.both_ends);
    CHECK(trimmed(c.text, NulTrim::end_only) == c.end_only);
  }
}

}  // namespace

int main() {
  harness::run_case("word pairs", word_pairs);
  harness::run_case("binary32 values", binary32_values);
  harness::run_case("signed values", signed_values);
  harness::run_case("text bytes", text_bytes);
  harness::run_case("NUL trimming", nul_trimming);
  return harness::finish();
}
