// Small helpers the end-to-end tests share: a file's bytes, its CR LF lines, today's stamp.
#pragma once

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace calendario::testing {

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The CR LF lines of the text; false when it ends inside a line (a torn line).
inline bool SplitLines(const std::string& text, std::vector<std::string>& lines) {
  lines.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) return false;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return true;
}

// Today's local date as YYYYMMDD, as the program names today's folder.
inline std::string TodayStamp() {
  const std::time_t now = std::time(nullptr);
  const std::tm tm = *std::localtime(&now);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d", &tm);
  return stamp;
}

}  // namespace calendario::testing
