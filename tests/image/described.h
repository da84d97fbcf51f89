// A FrameSpec as one text, its texts sorted: what the host's own header
// readers and the image library must agree on.
#pragma once

#include <algorithm>
#include <string>

#include "frame_spec.h"

inline std::string Described(lumatrice::FrameSpec d) {
  std::sort(d.texts.begin(), d.texts.end());
  std::string s = std::to_string(d.width) + "x" + std::to_string(d.height) + " at " +
                  std::to_string(d.x) + "," + std::to_string(d.y) + " full " +
                  std::to_string(d.full_x) + "," + std::to_string(d.full_y) + " " +
                  std::to_string(d.full_width) + "x" + std::to_string(d.full_height) + " tiles " +
                  std::to_string(d.tile_width) + "x" + std::to_string(d.tile_height) +
                  " alpha " + std::to_string(d.alpha_channel) + " " + d.compression;
  for (int c = 0; c < d.channels(); ++c)
    s += " " + d.channel_names[c] + ":" + d.channel_types[c].c_str();
  for (const auto& [name, value] : d.texts) s += "\n" + name + "=" + value;
  return s;
}
