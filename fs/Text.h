// Text conversions used at the platform edge. Inside the program all text is UTF-16
// (std::u16string); these turn it into what a host API or a file wants, and back.
#pragma once

#include <string>
#include <string_view>

namespace calendario {

// Decodes UTF-8. Bytes that are not part of a valid sequence are kept as the lone
// surrogates U+DC80..U+DCFF (one per byte), so that Utf16ToUtf8 gives them back unchanged:
// a name that reached us as arbitrary bytes reaches the host as the same bytes.
std::u16string Utf8ToUtf16(std::string_view bytes);

// Encodes UTF-16 as UTF-8. Lone surrogates U+DC80..U+DCFF become the single byte they stand
// for; any other lone surrogate is written in the generalised three-byte form, so the
// conversion never fails and never drops a code unit.
std::string Utf16ToUtf8(std::u16string_view text);

// Encodes UTF-16 as Windows-1252 (the 8-bit text of the files on hosts without a code page of
// their own), byte for byte as Windows' WideCharToMultiByte(1252, 0, ...) does: a character
// outside the code page becomes its best fit ("A" for U+0100) or '?', and each surrogate unit
// becomes a '?' of its own.
std::string Utf16ToWindows1252(std::u16string_view text);

// UTF-32 (a host's wchar_t text, for instance) to UTF-16. Values that are not Unicode scalar
// values become U+FFFD.
std::u16string Utf32ToUtf16(std::u32string_view text);

// ASCII to UTF-16, for the program's own fixed texts.
std::u16string Ascii(std::string_view text);

}  // namespace calendario
