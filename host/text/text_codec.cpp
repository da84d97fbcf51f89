// Windows-1252, UTF-8 and UTF-16, one code point at a time.
#include "text_codec.h"

#include <cstdio>

namespace lumatrice {
namespace {

// 0x80..0x9F; 0 for the five bytes 1252 leaves undefined.
constexpr char32_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Decodes one UTF-8 character at `i`, moving `i` past it; false for a
// malformed, overlong or surrogate sequence or one past U+10FFFF.
bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& c) {
  const unsigned char b = static_cast<unsigned char>(text[i]);
  const int extra =
      b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra < 0 || i + extra >= text.size()) return false;
  c = extra == 0 ? b : b & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char cont = static_cast<unsigned char>(text[i + k]);
    if ((cont & 0xC0) != 0x80) return false;
    c = (c << 6) | (cont & 0x3F);
  }
  constexpr char32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
  if (c < kLeast[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
  i += std::size_t(extra) + 1;
  return true;
}

// Decodes one UTF-16 character at `i`, moving `i` past it.
char32_t DecodeUtf16(std::u16string_view text, std::size_t& i) {
  const char32_t c = text[i++];
  if (c >= 0xD800 && c <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
    return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
  return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
}

// Decodes UTF-8 into 1252; `lossy` turns a character 1252 lacks into '?'.
bool Convert(std::string_view text, bool lossy, std::string& out, std::string& error) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    if (!DecodeUtf8(text, i, c)) {
      error = "not valid UTF-8";
      return false;
    }
    int byte = CodePointToCp1252(c);
    if (byte < 0 && lossy) byte = '?';
    if (byte < 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "character U+%04X is not in Windows-1252", unsigned(c));
      error = buf;
      return false;
    }
    result += char(byte);
  }
  out = std::move(result);
  return true;
}

}  // namespace

char32_t Cp1252ToCodePoint(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

int CodePointToCp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c < 0x100)) return int(c);
  if (c < 0xA0 && kHigh[c - 0x80] == 0) return int(c);
  for (int k = 0; k < 32; ++k)
    if (kHigh[k] == c) return 0x80 + k;
  return -1;
}

void AppendUtf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char b : text) {
    const char32_t c = Cp1252ToCodePoint(b);
    AppendUtf8(out, c || !b ? c : char32_t(b));
  }
  return out;
}

bool Utf8ToCp1252(std::string_view text, std::string& out, std::string& error) {
  return Convert(text, false, out, error);
}

std::string Utf8ToCp1252Lossy(std::string_view text) {
  std::string out, error;
  return Convert(text, true, out, error) ? out : std::string(text);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) AppendUtf8(out, DecodeUtf16(text, i));
  return out;
}

std::string Utf16ToCp1252(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const int byte = CodePointToCp1252(DecodeUtf16(text, i));
    out += byte < 0 ? '?' : char(byte);
  }
  return out;
}

}  // namespace lumatrice
