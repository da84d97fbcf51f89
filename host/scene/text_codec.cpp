// Windows-1252 <-> UTF-8.
#include "text_codec.h"

#include <cstdint>
#include <cstdio>

namespace lumatrice {
namespace {

// 0x80..0x9F; the five bytes 1252 leaves undefined map to the C1 controls of
// the same value, as the platform's own conversion does.
constexpr char32_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t ToUnicode(unsigned char b) { return b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b; }

void Append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char b : text) Append(out, ToUnicode(b));
  return out;
}

namespace {

// Decodes UTF-8 into 1252; `lossy` turns a character 1252 lacks into '?'.
bool Convert(const std::string& text, bool lossy, std::string& out, std::string& error) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    const int extra =
        b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) {
      error = "not valid UTF-8";
      return false;
    }
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) {
        error = "not valid UTF-8";
        return false;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    i += std::size_t(extra) + 1;
    int byte = -1;
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
      byte = int(c);
    } else {
      for (int k = 0; k < 32; ++k)
        if (kHigh[k] == c) byte = 0x80 + k;
    }
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

bool Utf8ToCp1252(const std::string& text, std::string& out, std::string& error) {
  return Convert(text, false, out, error);
}

std::string Utf8ToCp1252Lossy(const std::string& text) {
  std::string out, error;
  return Convert(text, true, out, error) ? out : text;
}

}  // namespace lumatrice
