#include "platform/text_encodings.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// Mac OS Roman, bytes 0x80..0xFF, as Unicode code points.
constexpr std::uint16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// What a sequence's first byte says: how many continuation bytes follow
// and the code point bits it carries.
struct LeadByte {
  int continuations = 0;
  char32_t bits = 0;
};

// nullopt for a byte that starts no sequence: a continuation byte, 0xC0 and
// 0xC1 (which could only start overlong forms), 0xF5 and up.
std::optional<LeadByte> read_lead_byte(unsigned char c) {
  if (c < 0x80) return LeadByte{0, c};
  if ((c & 0xE0) == 0xC0 && c >= 0xC2) return LeadByte{1, char32_t{c} & 0x1F};
  if ((c & 0xF0) == 0xE0) return LeadByte{2, char32_t{c} & 0x0F};
  if ((c & 0xF8) == 0xF0 && c <= 0xF4) return LeadByte{3, char32_t{c} & 0x07};
  return std::nullopt;
}

// False for the overlong three- and four-byte forms, for surrogates and
// past U+10FFFF (the two-byte overlong forms are refused by their lead).
bool is_shortest_scalar(char32_t cp, int continuations) {
  return !((continuations == 2 && cp < 0x800) ||
           (continuations == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
           (cp >= 0xD800 && cp <= 0xDFFF));
}

struct DecodedSequence {
  char32_t code_point = 0;
  std::size_t length = 0;
};

// The sequence starting at text[at], or nullopt when it is malformed or cut.
std::optional<DecodedSequence> decode_sequence(std::string_view text, std::size_t at) {
  const std::optional<LeadByte> lead = read_lead_byte(static_cast<unsigned char>(text[at]));
  if (!lead) return std::nullopt;
  const auto continuations = static_cast<std::size_t>(lead->continuations);
  if (continuations > 0 && at + continuations >= text.size()) return std::nullopt;
  char32_t cp = lead->bits;
  for (std::size_t k = 1; k <= continuations; ++k) {
    const auto cc = static_cast<unsigned char>(text[at + k]);
    if ((cc & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (!is_shortest_scalar(cp, lead->continuations)) return std::nullopt;
  return DecodedSequence{cp, continuations + 1};
}

}  // namespace

namespace text_internal {

bool decode_utf8(std::string_view text, std::u32string* out) {
  for (std::size_t i = 0; i < text.size();) {
    const std::optional<DecodedSequence> sequence = decode_sequence(text, i);
    if (!sequence) return false;
    if (out) out->push_back(sequence->code_point);
    i += sequence->length;
  }
  return true;
}

std::string mac_roman_to_utf8(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    append_utf8(out, c < 0x80 ? char32_t{c} : char32_t{kMacRoman[c - 0x80]});
  }
  return out;
}

std::string utf8_to_mac_roman(std::string_view text) {
  std::u32string cps;
  if (!decode_utf8(text, &cps)) return std::string(text.size(), '?');
  std::string out;
  for (char32_t cp : cps) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    char byte = '?';
    for (int i = 0; i < 128; ++i) {
      if (kMacRoman[i] == cp) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out += byte;
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u32string cps;
  if (!decode_utf8(text, &cps)) {
    cps.clear();
    (void)decode_utf8(mac_roman_to_utf8(text), &cps);
  }
  std::u16string out;
  for (char32_t cp : cps) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf16_to_utf8(const std::u16string& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace text_internal
