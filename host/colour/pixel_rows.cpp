// Held samples <-> float RGBA, one template per sample type.
#include "pixel_rows.h"

#include <OpenImageIO/half.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace lumatrice {
namespace {

template <typename T>
float ToFloat(T v) {
  if constexpr (std::is_same_v<T, std::uint8_t>) return float(v) / 255.0f;
  if constexpr (std::is_same_v<T, std::uint16_t>) return float(v) / 65535.0f;
  return float(v);
}

template <typename T>
T FromFloat(float v) {
  if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t>) {
    constexpr float top = std::is_same_v<T, std::uint8_t> ? 255.0f : 65535.0f;
    if (!(v > 0.0f)) return T(0);  // NaN too
    return T(std::lround(std::min(v, 1.0f) * top));
  }
  return T(v);
}

template <typename T>
void Load(const FrameBuffer& f, int x, int y, int count, float* out) {
  f.Need(y, x, x + count);
  const int nc = f.channels();
  const ChannelLayout l = f.layout();
  const T* p = reinterpret_cast<const T*>(f.row(y)) + std::size_t(x) * nc;
  for (int i = 0; i < count; ++i, p += nc, out += 4) {
    if (l.red >= 0) {
      out[0] = ToFloat(p[l.red]);
      out[1] = ToFloat(p[l.green]);
      out[2] = ToFloat(p[l.blue]);
    } else {
      out[0] = out[1] = out[2] = ToFloat(p[l.grey]);
    }
    out[3] = l.alpha >= 0 ? ToFloat(p[l.alpha]) : 1.0f;
  }
}

template <typename T>
void Store(FrameBuffer& f, int x, int y, int count, const float* in, const bool* take,
           bool mark) {
  const int nc = f.channels();
  const ChannelLayout l = f.layout();
  T* p = reinterpret_cast<T*>(f.row(y)) + std::size_t(x) * nc;
  const bool lazy = mark && f.blocks() != nullptr;
  int marked_to = x;
  for (int i = 0; i < count; ++i, p += nc, in += 4) {
    if (take && !take[i]) continue;
    if (l.red >= 0) {
      p[l.red] = FromFloat<T>(in[0]);
      p[l.green] = FromFloat<T>(in[1]);
      p[l.blue] = FromFloat<T>(in[2]);
    } else {
      p[l.grey] = FromFloat<T>(0.2126f * in[0] + 0.7152f * in[1] + 0.0722f * in[2]);
    }
    if (l.alpha >= 0) p[l.alpha] = FromFloat<T>(in[3]);
    if (lazy && x + i >= marked_to) marked_to = f.MarkChanged(x + i, y);
  }
}

}  // namespace

void LoadRgba(const FrameBuffer& frame, int x, int y, int count, float* rgba) {
  switch (frame.type().basetype) {
    case OIIO::TypeDesc::UINT8: Load<std::uint8_t>(frame, x, y, count, rgba); break;
    case OIIO::TypeDesc::UINT16: Load<std::uint16_t>(frame, x, y, count, rgba); break;
    case OIIO::TypeDesc::HALF: Load<half>(frame, x, y, count, rgba); break;
    case OIIO::TypeDesc::FLOAT: Load<float>(frame, x, y, count, rgba); break;
    default: Load<double>(frame, x, y, count, rgba); break;
  }
}

void StoreRgba(FrameBuffer& frame, int x, int y, int count, const float* rgba,
               const bool* take, bool mark) {
  switch (frame.type().basetype) {
    case OIIO::TypeDesc::UINT8: Store<std::uint8_t>(frame, x, y, count, rgba, take, mark); break;
    case OIIO::TypeDesc::UINT16: Store<std::uint16_t>(frame, x, y, count, rgba, take, mark); break;
    case OIIO::TypeDesc::HALF: Store<half>(frame, x, y, count, rgba, take, mark); break;
    case OIIO::TypeDesc::FLOAT: Store<float>(frame, x, y, count, rgba, take, mark); break;
    default: Store<double>(frame, x, y, count, rgba, take, mark); break;
  }
}

}  // namespace lumatrice
