// What Windows itself does with one UTF-16 code unit, from tables read out of Windows' own
// functions (tools/tables/make-windows-tables.sh makes them again).
#pragma once

namespace calendario {

// The unit upper-cased as the Windows file system compares names: simple case mapping, the
// same whatever the locale. Surrogates and units without an upper case come back unchanged.
char16_t WindowsUpperCase(char16_t unit);

// The byte code page 1252 writes for the unit, best fit included (U+0100 is 'A', U+2212 '-'),
// or '?' when it has none. A surrogate is '?'.
char WindowsCp1252(char16_t unit);

}  // namespace calendario
