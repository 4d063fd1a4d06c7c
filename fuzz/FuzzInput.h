// Turning a fuzzer's bytes into UTF-16 text: two bytes a code unit, so that every code unit,
// lone surrogates included, can occur.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace calendario::fuzz {

inline std::u16string Text(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// Traps like an assertion, but also in release builds.
inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace calendario::fuzz
