// Every text conversion of the host: Windows-1252 (the 8-bit texts effects
// and their blocks keep), UTF-8 (scene files, the command line, the embedding
// API) and UTF-16 (compiled resources, Qt). Every 1252 byte has one Unicode
// character, the five bytes the code page leaves undefined included (they
// travel as the C1 controls of the same value), so a text survives the trip.
#pragma once

#include <string>
#include <string_view>

namespace lumatrice {

// The character a 1252 byte stands for; 0 for the five undefined bytes
// (0x81, 0x8D, 0x8F, 0x90, 0x9D).
char32_t Cp1252ToCodePoint(unsigned char byte);
// The 1252 byte for a character, or -1 when the code page lacks it. The C1
// controls U+0081, U+008D, U+008F, U+0090 and U+009D give their own byte.
int CodePointToCp1252(char32_t c);
// Appends `c` as 1 to 4 bytes of UTF-8; a surrogate or a value past
// U+10FFFF becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t c);

std::string Cp1252ToUtf8(std::string_view text);
// False (with the offending character in `error`) for invalid UTF-8 or a
// character that Windows-1252 lacks.
bool Utf8ToCp1252(std::string_view text, std::string& out, std::string& error);
// The same with '?' for characters 1252 lacks; invalid UTF-8 comes back as is.
std::string Utf8ToCp1252Lossy(std::string_view text);

// UTF-16 with lone surrogates read as U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// '?' for every character 1252 lacks (a surrogate pair is one).
std::string Utf16ToCp1252(std::u16string_view text);

}  // namespace lumatrice
