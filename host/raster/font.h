// The 8x13 glyph cells, one per Windows-1252 byte, checked in as font_8x13.cpp
// (made by scripts/gen-font-table). Row r of a cell is kGlyphs[byte][r]; bit 7
// is the leftmost column. Controls and the code page's undefined bytes hold a
// hollow replacement box.
#pragma once

#include <cstdint>

#include "raster_host.h"

namespace textraster::font {

static_assert(kCellWidth == 8, "a glyph row is one byte");

extern const std::uint8_t kGlyphs[256][kCellHeight];

}  // namespace textraster::font
