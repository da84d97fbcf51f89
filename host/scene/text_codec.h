// Effects keep their texts in Windows-1252 (8-bit); scene files and the
// command line speak UTF-8. Every 1252 byte has one Unicode character, so a
// text survives the trip both ways.
#pragma once

#include <string>

namespace lumatrice {

std::string Cp1252ToUtf8(const std::string& text);
// False (with the offending character in `error`) for invalid UTF-8 or a
// character that Windows-1252 lacks.
bool Utf8ToCp1252(const std::string& text, std::string& out, std::string& error);
// The same with '?' for characters 1252 lacks; invalid UTF-8 comes back as is.
std::string Utf8ToCp1252Lossy(const std::string& text);

}  // namespace lumatrice
