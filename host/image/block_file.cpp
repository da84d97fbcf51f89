// What a write changes in a block file's header.
#include "block_file.h"

#include <cstring>

namespace lumatrice {

bool ChangedTexts(const OIIO::ImageSpec& s, const OIIO::ImageSpec& spec,
                  std::vector<HeaderChange>& texts) {
  if (spec.width != s.width || spec.height != s.height || spec.x != s.x || spec.y != s.y ||
      spec.full_x != s.full_x || spec.full_y != s.full_y || spec.full_width != s.full_width ||
      spec.full_height != s.full_height || spec.tile_width != s.tile_width ||
      spec.tile_height != s.tile_height || spec.nchannels != s.nchannels ||
      spec.format != s.format || spec.channelformats != s.channelformats ||
      spec.channelnames != s.channelnames)
    return false;
  for (const OIIO::ParamValue& p : s.extra_attribs)
    if (!spec.find_attribute(p.name())) return false;  // an attribute cannot be taken away here
  texts.clear();
  for (const OIIO::ParamValue& p : spec.extra_attribs) {
    const OIIO::ParamValue* before = s.find_attribute(p.name());
    if (before && before->type() == p.type() && before->nvalues() == p.nvalues() &&
        std::memcmp(before->data(), p.data(), p.datasize()) == 0)
      continue;
    if (p.type() != OIIO::TypeDesc::STRING) return false;
    texts.push_back({std::string(OIIO::string_view(p.name())), p.get_string()});
  }
  return true;
}

}  // namespace lumatrice
