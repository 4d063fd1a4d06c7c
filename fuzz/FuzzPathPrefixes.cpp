// PathPrefixes on any text: within its capacity every entry is a prefix of the next, cut just
// before a separator, and the last is the whole text less a trailing separator.
#include "fs/FileHelpers.h"
#include "fuzz/FuzzInput.h"

using namespace calendario;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char16_t separator = data[0] % 2 ? u'\\' : u'/';
  const std::u16string text = fuzz::Text(data + 1, size - 1);
  std::vector<std::u16string_view> prefixes;
  const std::error_code ec = PathPrefixes(text, separator, prefixes);
  std::size_t separators = 0;
  for (char16_t c : text) separators += c == separator;
  const std::size_t needed = separators + (text.empty() || text.back() != separator ? 1 : 0);
  std::size_t capacity = text.size() / 2;
  if (text.size() % 2 == 1 && capacity % 2 == 1) ++capacity;
  ++capacity;
  if (text.size() > 32767 || needed > capacity) {
    fuzz::Check(ec && prefixes.empty());
    return 0;
  }
  fuzz::Check(!ec && prefixes.size() == needed);
  for (std::size_t k = 0; k < prefixes.size(); ++k) {
    fuzz::Check(prefixes[k].data() == text.data());  // views into the one text
    if (k + 1 < prefixes.size()) {
      fuzz::Check(prefixes[k].size() < prefixes[k + 1].size());
      fuzz::Check(text[prefixes[k].size()] == separator);
    }
  }
  const std::size_t whole = text.size() - (!text.empty() && text.back() == separator ? 1 : 0);
  fuzz::Check(prefixes.back().size() == whole || (text.empty() && prefixes.back().empty()));
  return 0;
}
