// Windows-1252 to and from QString.
#include "ansi_text.h"

#include "res_format.h"

namespace editor {
namespace {

// Bytes 0x80..0x9F; the others equal their code point (U+FFFD: unassigned).
constexpr char16_t kHigh[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

}  // namespace

QString FromCp1252(const char* text) {
  QString out;
  for (const char* p = text ? text : ""; *p; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    out += QChar(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : char16_t(b));
  }
  return out;
}

std::string ToCp1252(const QString& text) { return hostres::Ansi(text.toStdU16String()); }

}  // namespace editor
