// File: platform/text_encodings.h
//
// Conversions between the text forms Mac files hold and UTF-8, for the
// alias-record reader and writer: Mac OS Roman (one byte per character, the
// text of classic-era records and of HFS names), UTF-16 (the Unicode names
// records carry) and UTF-8 (every std::string here).
//
// Example:
//   std::string name = mac_roman_to_utf8("Caf\x8E");  // "Café"
//   std::u16string units = utf8_to_utf16(name);     // 4 units
//
// Invariants: every conversion takes any input and returns text; what cannot
// be converted is replaced, never an error: '?' in Mac Roman, U+FFFD for an
// unpaired surrogate, and malformed UTF-8 is read as Mac Roman where a
// conversion needs code points. Only running out of memory throws
// (std::bad_alloc), and the CoreServices calls catch it.
#pragma once

#include <string>
#include <string_view>

namespace text_internal {

// The code points of UTF-8 `text`, appended to *out when `out` is not null:
// true; false at the first malformed sequence (overlong forms, surrogates and
// values past U+10FFFF included), leaving in *out what came before it.
bool decode_utf8(std::string_view text, std::u32string* out);

// Each Mac Roman byte as its character in UTF-8.
std::string mac_roman_to_utf8(std::string_view bytes);

// One Mac Roman byte per character; '?' where Mac Roman has none, and a '?'
// for every byte when `text` is not valid UTF-8.
std::string utf8_to_mac_roman(std::string_view text);

// UTF-16 units of `text`, with surrogate pairs past U+FFFF; text that is not
// valid UTF-8 is read as Mac Roman.
std::u16string utf8_to_utf16(std::string_view text);

// UTF-8 of UTF-16 units; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(const std::u16string& units);

}  // namespace text_internal
