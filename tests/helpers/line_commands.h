// The test helpers' line protocol: one command a line on stdin, its words
// read as numbers here. Each reader accepts the whole word or nothing, so
// that a mistyped command is answered "error" instead of being half obeyed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace ostrel::test {

inline bool parse_u32(const std::string& text, uint32_t& out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > UINT32_MAX) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

inline bool parse_i32(const std::string& text, int32_t& out) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < INT32_MIN ||
      value > INT32_MAX) {
    return false;
  }
  out = static_cast<int32_t>(value);
  return true;
}

// A finite decimal within +-2^23, the range of wl_fixed (24.8 bits).
inline bool parse_fixed_range(const std::string& text, double& out) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(value > -8388608.0) ||
      !(value < 8388608.0)) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace ostrel::test
