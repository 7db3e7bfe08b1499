#pragma once
// Byte helpers for the IFO tests: expected layouts are written out as hexadecimal.

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace vidoria::test {

// "00 EB 80 80" -> bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

inline std::vector<uint8_t> Zeros(size_t n) { return std::vector<uint8_t>(n, 0); }

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Hex dump with offsets, so a mismatch shows where the layouts part.
inline std::string Dump(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[32];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) {
      snprintf(b, sizeof b, "%s%4zu:", i ? "\n" : "", i);
      s += b;
    }
    snprintf(b, sizeof b, " %02X", bytes[i]);
    s += b;
  }
  return s;
}

}  // namespace vidoria::test
