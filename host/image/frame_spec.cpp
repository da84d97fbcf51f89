// FrameSpec's texts and sample sizes.
#include "frame_spec.h"

#include <algorithm>

namespace lumatrice {

using OIIO::TypeDesc;

TypeDesc FrameSpec::format() const {
  if (channel_types.empty()) return TypeDesc::UNKNOWN;
  for (const TypeDesc& t : channel_types)
    if (t != channel_types.front()) return TypeDesc::UNKNOWN;
  return channel_types.front();
}

const std::string* FrameSpec::Text(const std::string& name) const {
  for (const auto& [key, value] : texts)
    if (key == name) return &value;
  return nullptr;
}

void FrameSpec::SetText(const std::string& name, const std::string& value) {
  for (auto& [key, old] : texts)
    if (key == name) {
      old = value;
      return;
    }
  texts.emplace_back(name, value);
}

void FrameSpec::EraseText(const std::string& name) {
  texts.erase(std::remove_if(texts.begin(), texts.end(),
                             [&](const auto& t) { return t.first == name; }),
              texts.end());
}

std::size_t SampleBytes(TypeDesc t) {
  switch (t.basetype) {
    case TypeDesc::UINT8: case TypeDesc::INT8: return 1;
    case TypeDesc::UINT16: case TypeDesc::INT16: case TypeDesc::HALF: return 2;
    case TypeDesc::UINT32: case TypeDesc::INT32: case TypeDesc::FLOAT: return 4;
    case TypeDesc::DOUBLE: case TypeDesc::UINT64: case TypeDesc::INT64: return 8;
    default: return 0;
  }
}

}  // namespace lumatrice
