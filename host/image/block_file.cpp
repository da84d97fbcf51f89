// What a write changes in a block file's header.
#include "block_file.h"

#include <cstring>

#include "frame_buffer.h"

namespace lumatrice {
namespace {

bool SameLayout(const FrameSpec& s, const FrameSpec& spec) {
  return spec.width == s.width && spec.height == s.height && spec.x == s.x && spec.y == s.y &&
         spec.full_x == s.full_x && spec.full_y == s.full_y && spec.full_width == s.full_width &&
         spec.full_height == s.full_height && spec.tile_width == s.tile_width &&
         spec.tile_height == s.tile_height && spec.channel_types == s.channel_types &&
         spec.channel_names == s.channel_names;
}

// The texts of the host's own descriptions; their other attributes (sizes,
// windows, types) are the file's and cannot change.
bool ChangedOwnTexts(const FrameSpec& s, const FrameSpec& spec, std::vector<HeaderChange>& texts) {
  if (!SameLayout(s, spec)) return false;
  for (const auto& t : s.texts)
    if (!spec.Text(t.first)) return false;
  texts.clear();
  for (const auto& [name, value] : spec.texts) {
    const std::string* before = s.Text(name);
    if (!before || *before != value) texts.push_back({name, value});
  }
  return true;
}

bool ChangedLibraryTexts(const OIIO::ImageSpec& s, const OIIO::ImageSpec& spec,
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

}  // namespace

void BlockFile::TakeSource(const FrameBuffer& frame) {
  source = frame.desc();
  source_spec = frame.has_spec() ? std::make_shared<const OIIO::ImageSpec>(frame.spec()) : nullptr;
}

bool ChangedTexts(const BlockFile& file, const FrameBuffer& frame,
                  std::vector<HeaderChange>& texts) {
  // Once the frame has the image library's description, that one holds
  // every attribute; until then the host's own does.
  if (frame.has_spec())
    return file.source_spec && ChangedLibraryTexts(*file.source_spec, frame.spec(), texts);
  return ChangedOwnTexts(file.source, frame.desc(), texts);
}

}  // namespace lumatrice
