// Windows-1252 to and from QString, through the host's one codec so
// that every byte (the five 1252 leaves undefined included) reads back as
// stored.
#include "ansi_text.h"

#include "text_codec.h"

namespace editor {

QString FromCp1252(const char* text) {
  return QString::fromStdString(lumatrice::Cp1252ToUtf8(text ? text : ""));
}

std::string ToCp1252(const QString& text) { return lumatrice::Utf16ToCp1252(text.toStdU16String()); }

}  // namespace editor
