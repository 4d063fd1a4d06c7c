#include "fs/WindowsTables.h"

#include <algorithm>
#include <iterator>

namespace calendario {
namespace {

struct UpperCasePair {
  char16_t unit;
  char16_t upper;
};
struct BestFitPair {
  char16_t unit;
  unsigned char byte;
};

#include "fs/WindowsTables.inc"

}  // namespace

char16_t WindowsUpperCase(char16_t unit) {
  if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
  const auto* end = std::end(kUpperCase);
  const auto* it = std::lower_bound(std::begin(kUpperCase), end, unit,
                                    [](const UpperCasePair& p, char16_t u) { return p.unit < u; });
  return it != end && it->unit == unit ? it->upper : unit;
}

char WindowsCp1252(char16_t unit) {
  if (unit < 0x80) return static_cast<char>(unit);
  const auto* end = std::end(kBestFit1252);
  const auto* it = std::lower_bound(std::begin(kBestFit1252), end, unit,
                                    [](const BestFitPair& p, char16_t u) { return p.unit < u; });
  return it != end && it->unit == unit ? static_cast<char>(it->byte) : '?';
}

}  // namespace calendario
