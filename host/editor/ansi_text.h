// Effects and their blocks keep texts in Windows-1252 (8-bit); Qt speaks
// UTF-16. Every 1252 byte has one character, so shown texts read back as
// stored; characters 1252 lacks become '?' on the way in.
#pragma once

#include <QString>

#include <string>

namespace editor {

QString FromCp1252(const char* text);
std::string ToCp1252(const QString& text);

}  // namespace editor
