// The host's own description of a frame file's image: size, windows,
// channels with names and sample types, tiles, compression and the header's
// texts. The formats the host splices itself describe their files with it
// (EXR through OpenEXR's core library), so a spliced run reads, checks and
// reads back headers without loading the image library. Only OpenImageIO's
// TypeDesc names the sample types, and only its inline parts are used.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <OpenImageIO/typedesc.h>

namespace lumatrice {

struct FrameSpec {
  int width = 0, height = 0;
  int x = 0, y = 0;  // the data window's origin
  int full_x = 0, full_y = 0, full_width = 0, full_height = 0;  // the display window
  int tile_width = 0, tile_height = 0;  // 0: scanlines
  std::vector<std::string> channel_names;
  std::vector<OIIO::TypeDesc> channel_types;  // one per channel
  int alpha_channel = -1;
  std::string compression;  // by OpenImageIO's names ("zip", "piz")
  // The header's string attributes by OpenImageIO's names
  // ("ImageDescription" for an EXR's comments), in the file's order.
  std::vector<std::pair<std::string, std::string>> texts;

  int channels() const { return int(channel_names.size()); }
  // The one sample type of every channel; UNKNOWN when they differ.
  OIIO::TypeDesc format() const;
  // Null when the header has no such text.
  const std::string* Text(const std::string& name) const;
  void SetText(const std::string& name, const std::string& value);
  void EraseText(const std::string& name);
};

// Bytes of one sample of `t` (0 for a type no frame holds).
std::size_t SampleBytes(OIIO::TypeDesc t);

}  // namespace lumatrice
