// PNG headers into FrameSpecs: libpng reads the chunks before the image
// data, as the image library's reader does, and the attributes it would make
// of them are named as it names them.
#include "png_header.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <png.h>

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

struct Source {
  const unsigned char* data = nullptr;
  std::size_t size = 0, at = 0;
  std::FILE* file = nullptr;
};

void ReadBytes(png_structp png, png_bytep to, std::size_t n) {
  auto* s = static_cast<Source*>(png_get_io_ptr(png));
  if (s->file) {
    if (std::fread(to, 1, n, s->file) != n) png_error(png, "truncated");
    return;
  }
  if (n > s->size - s->at) png_error(png, "truncated");
  std::memcpy(to, s->data + s->at, n);
  s->at += n;
}

// One header read: the IHDR as stored, then as the library's reader
// expands it (palette to RGB, low bit depths to 8, transparency to alpha).
class Header {
 public:
  Header() {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr,
                                  [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
                                  [](png_structp, png_const_charp) {});
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
  }
  ~Header() {
    if (png_) png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
  }
  Header(const Header&) = delete;
  Header& operator=(const Header&) = delete;

  bool Read(Source& source) {
    if (!info_) return false;
    png_set_read_fn(png_, &source, ReadBytes);
    if (setjmp(png_jmpbuf(png_))) return false;
    png_read_info(png_, info_);
    depth = png_get_bit_depth(png_, info_);
    colour = png_get_color_type(png_, info_);
    interlace = png_get_interlace_type(png_, info_);
    png_set_expand(png_);
    png_read_update_info(png_, info_);
    width = png_get_image_width(png_, info_);
    height = png_get_image_height(png_, info_);
    channels = png_get_channels(png_, info_);
    expanded_depth = png_get_bit_depth(png_, info_);
    return true;
  }

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  int depth = 0, colour = 0, interlace = 0, channels = 0, expanded_depth = 0;
  png_uint_32 width = 0, height = 0;
};

bool ReadHeader(const std::string& path, const std::byte* data, std::size_t size, Header& h,
                std::string& why) {
  Source source;
  source.data = reinterpret_cast<const unsigned char*>(data);
  source.size = size;
  if (!data && !(source.file = std::fopen(path.c_str(), "rb")))
    return why = std::strerror(errno), false;
  const bool ok = h.Read(source);
  if (source.file) std::fclose(source.file);
  if (!ok) why = "the PNG header cannot be read";
  return ok;
}

// The channels (one to four) a frame of `h` has, named by the library's
// defaults.
void Channels(const Header& h, FrameSpec& spec) {
  static const char* const kNames[4][4] = {
      {"Y"}, {"Y", "A"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};
  const TypeDesc type = h.expanded_depth == 16 ? TypeDesc::UINT16 : TypeDesc::UINT8;
  for (int c = 0; c < h.channels; ++c) {
    spec.channel_names.push_back(kNames[h.channels - 1][c]);
    spec.channel_types.push_back(type);
  }
  spec.width = spec.full_width = int(h.width);
  spec.height = spec.full_height = int(h.height);
}

// Sets a text the way the library's attributes are set: a name matches one
// already held whatever its case. False when that would rename one.
bool Put(FrameSpec& spec, const std::string& name, const std::string& value) {
  for (const auto& [held, before] : spec.texts)
    if (::strcasecmp(held.c_str(), name.c_str()) == 0 && held != name) return false;
  spec.SetText(name, value);
  return true;
}

// The colour space the library assumes for the file's sRGB or gAMA chunk.
std::string ColourSpace(png_structp png, png_infop info) {
  int intent = 0;
  double gamma = 0;
  if (png_get_sRGB(png, info, &intent) || !png_get_gAMA(png, info, &gamma) || gamma <= 0)
    return "sRGB";
  const float g = std::round(100.0f * float(1.0 / gamma)) / 100.0f;
  if (g == 1.0f) return "linear";
  char text[32];
  std::snprintf(text, sizeof text, "Gamma%.2g", double(g));
  return text;
}

// Names the library's reader may give attributes of other types, in place
// of a text chunk's.
constexpr const char* kTyped[] = {"oiio:Gamma",  "oiio:UnassociatedAlpha", "XResolution",
                                  "YResolution", "PixelAspectRatio",       "ICCProfile"};

bool Texts(png_structp png, png_infop info, FrameSpec& spec, std::string& why) {
  bool ok = Put(spec, "oiio:ColorSpace", ColourSpace(png, info));
  png_timep t = nullptr;
  if (png_get_tIME(png, info, &t)) {
    char date[64];
    std::snprintf(date, sizeof date, "%4d:%02d:%02d %02d:%02d:%02d", t->year, t->month, t->day,
                  t->hour, t->minute, t->second);
    ok = ok && Put(spec, "DateTime", date);
  }
  png_textp text = nullptr;
  const int n = png_get_text(png, info, &text, nullptr);
  for (int i = 0; i < n && ok; ++i) {
    const char* key = text[i].key;
    // Both are decoded into attributes of their own.
    if (::strcasecmp(key, "XML:com.adobe.xmp") == 0 ||
        ::strcasecmp(key, "Raw profile type exif") == 0)
      return why = "XMP or EXIF text", false;
    const std::string name = ::strcasecmp(key, "Description") == 0 ? "ImageDescription"
                             : ::strcasecmp(key, "Author") == 0    ? "Artist"
                             : ::strcasecmp(key, "Title") == 0     ? "DocumentName"
                                                                   : key;
    for (const char* typed : kTyped)
      if (::strcasecmp(key, typed) == 0) return why = "a text named as a typed attribute", false;
    ok = Put(spec, name, text[i].text ? text[i].text : "");
  }
  png_uint_32 rx = 0, ry = 0;
  int unit = 0;
  if (ok && png_get_pHYs(png, info, &rx, &ry, &unit))
    ok = Put(spec, "ResolutionUnit", unit == PNG_RESOLUTION_METER ? "inch" : "none");
  if (!ok) why = "texts differing only in case";
  // The library's description takes its compression from such a text.
  for (const auto& [name, value] : spec.texts)
    if (::strcasecmp(name.c_str(), "compression") == 0) spec.compression = value;
  return ok;
}

}  // namespace

bool DescribePng(const std::string& path, const std::byte* data, std::size_t size,
                 FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Header h;
  if (!ReadHeader(path, data, size, h, why)) return false;
  if ((h.depth != 8 && h.depth != 16) || h.interlace != PNG_INTERLACE_NONE ||
      (h.colour & PNG_COLOR_MASK_PALETTE))
    return why = "palette, low bit depth or interlaced", false;
  // Any other chunk libpng keeps (transparency, palette, ICC, EXIF,
  // calibration) adds channels, or attributes the library decodes itself.
  constexpr png_uint_32 kKnown = PNG_INFO_gAMA | PNG_INFO_sBIT | PNG_INFO_cHRM | PNG_INFO_bKGD |
                                 PNG_INFO_pHYs | PNG_INFO_oFFs | PNG_INFO_tIME | PNG_INFO_sRGB |
                                 PNG_INFO_IDAT;
  if (png_get_valid(h.png_, h.info_, ~kKnown)) return why = "transparency, ICC, EXIF or calibration chunks", false;
  Channels(h, spec);
  // An offset in pixels moves the data window; the display window stays.
  spec.x = int(png_get_x_offset_pixels(h.png_, h.info_));
  spec.y = int(png_get_y_offset_pixels(h.png_, h.info_));
  if (h.channels == 2 || h.channels == 4) spec.alpha_channel = h.channels - 1;
  return Texts(h.png_, h.info_, spec, why);
}

bool PngShape(const std::string& path, FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Header h;
  if (!ReadHeader(path, nullptr, 0, h, why)) return false;
  Channels(h, spec);
  for (int c = 0; c < spec.channels(); ++c) spec.channel_names[c] = std::to_string(c);
  return true;
}

}  // namespace lumatrice
