#include "serial_client/register_codecs.hpp"

#include <cstring>

namespace register_codecs {

WordPair split_pattern(std::uint32_t pattern) {
  return {static_cast<std::uint16_t>(pattern >> 16), static_cast<std::uint16_t>(pattern & 0xFFFFu)};
}

std::uint32_t join_pattern(std::uint16_t high, std::uint16_t low) {
  return (static_cast<std::uint32_t>(high) << 16) | low;
}

std::uint32_t pattern_from_big_endian(const unsigned char bytes[4]) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

std::uint16_t word_from_big_endian(const unsigned char bytes[2]) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

double float_from_pattern(std::uint32_t pattern) {
  static_assert(sizeof(float) == 4, "binary32 float expected");
  float value;
  std::memcpy(&value, &pattern, sizeof value);
  return static_cast<double>(value);
}

std::int32_t signed_from_pattern(std::uint32_t pattern) {
  std::int32_t value;
  std::memcpy(&value, &pattern, sizeof value);
  return value;
}

std::vector<std::uint16_t> registers_from_bytes(const std::string& bytes) {
  std::vector<std::uint16_t> registers;
  registers.reserve((bytes.size() + 1) / 2);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const auto high = static_cast<unsigned char>(bytes[i]);
    const auto low = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
    registers.push_back(static_cast<std::uint16_t>((high << 8) | low));
  }
  return registers;
}

std::string bytes_from_registers(const std::vector<std::uint16_t>& registers) {
  std::string bytes;
  bytes.reserve(registers.size() * 2);
  for (std::uint16_t r : registers) {
    bytes.push_back(static_cast<char>(r >> 8));
    bytes.push_back(static_cast<char>(r & 0xFF));
  }
  return bytes;
}

}  // namespace register_codecs
