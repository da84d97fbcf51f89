// TIFF headers into FrameSpecs: the layout checks, the channel names and
// alpha the image library gives, and its names for the text tags.
#include "tiff_header.h"

#include <cstring>
#include <iterator>

#include "tiff_stream.h"

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

struct Named {
  uint32_t tag;
  const char* name;
};
// Text tags by the image library's names, in the order it reads them.
constexpr Named kMainTexts[] = {
    {TIFFTAG_IMAGEDESCRIPTION, "ImageDescription"}, {TIFFTAG_MAKE, "Make"},
    {TIFFTAG_MODEL, "Model"},           {TIFFTAG_SOFTWARE, "Software"},
    {TIFFTAG_ARTIST, "Artist"},         {TIFFTAG_COPYRIGHT, "Copyright"},
    {TIFFTAG_DATETIME, "DateTime"},     {TIFFTAG_DOCUMENTNAME, "DocumentName"},
    {TIFFTAG_PAGENAME, "tiff:PageName"}, {TIFFTAG_HOSTCOMPUTER, "HostComputer"}};
constexpr Named kExifTexts[] = {{EXIFTAG_DATETIMEORIGINAL, "Exif:DateTimeOriginal"},
                                {EXIFTAG_DATETIMEDIGITIZED, "Exif:DateTimeDigitized"}};
// Tags the image library reads into the layout or attributes in ways of
// its own (positions, display window, texture and XMP or IPTC metadata).
constexpr uint32_t kOthersRead[] = {TIFFTAG_XPOSITION, TIFFTAG_YPOSITION, 33300, 33301,
                                    TIFFTAG_PIXAR_TEXTUREFORMAT, TIFFTAG_PIXAR_WRAPMODES,
                                    TIFFTAG_XMLPACKET, TIFFTAG_RICHTIFFIPTC, TIFFTAG_SUBIFD};
// Hints the image library takes out of the description.
constexpr const char* kDescriptionHints[] = {"oiio:ConstantColor=", "oiio:AverageColor=",
                                             "SHA-1="};

// The image library's default "limits:channels": past it its open refuses
// the file, with its own message.
constexpr uint16_t kMostChannels = 1024;

template <std::size_t N>
const char* NameOf(const Named (&table)[N], uint32_t tag) {
  for (const Named& n : table)
    if (n.tag == tag) return n.name;
  return nullptr;
}

const char* CompressionName(uint16_t c) {
  switch (c) {
    case COMPRESSION_NONE: return "none";
    case COMPRESSION_LZW: return "lzw";
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return "zip";
    case COMPRESSION_PACKBITS: return "packbits";
    default: return nullptr;
  }
}

TypeDesc SampleType(TIFF* tif) {
  uint16_t bits = 1, format = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  if (format == SAMPLEFORMAT_UINT && bits == 8) return TypeDesc::UINT8;
  if (format == SAMPLEFORMAT_UINT && bits == 16) return TypeDesc::UINT16;
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) return TypeDesc::FLOAT;
  return TypeDesc::UNKNOWN;
}

bool Shape(TIFF* tif, FrameSpec& spec, std::string& why) {
  uint32_t width = 0, height = 0;
  uint16_t samples = 1;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  const TypeDesc type = SampleType(tif);
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX || samples == 0 ||
      samples > kMostChannels || type == TypeDesc::UNKNOWN)
    return why = "sample layout", false;
  spec.width = spec.full_width = int(width);
  spec.height = spec.full_height = int(height);
  spec.channel_types.assign(samples, type);
  spec.channel_names.resize(samples);
  return true;
}

bool Layout(TIFF* tif, FrameSpec& spec, std::string& why) {
  if (TIFFNumberOfDirectories(tif) != 1) return why = "several directories", false;
  uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, photometric = 0;
  uint32_t depth = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_IMAGEDEPTH, &depth);
  if (!CompressionName(compression)) return why = "compression", false;
  if (planar != PLANARCONFIG_CONTIG || depth != 1) return why = "planes", false;
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) ||
      !(photometric == PHOTOMETRIC_MINISBLACK ||
        (photometric == PHOTOMETRIC_RGB && spec.channels() >= 3)))
    return why = "photometric", false;
  for (uint32_t tag : kOthersRead) {
    void* a = nullptr;
    void* b = nullptr;
    if (TIFFGetField(tif, tag, &a, &b)) return why = "tag " + std::to_string(tag), false;
  }
  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &th) ||
        tw == 0 || th == 0 || tw > INT32_MAX || th > INT32_MAX)
      return why = "tile size", false;
    spec.tile_width = int(tw);
    spec.tile_height = int(th);
  }
  spec.compression = CompressionName(compression);
  return true;
}

std::string Numbered(int c) {
  std::string name = "channel";
  return name.append(std::to_string(c));
}

// The image library's names: R G B A channel4..., Y alone; extra samples
// say which is alpha (named A, the grey beside it Y) and which are none.
void Channels(TIFF* tif, FrameSpec& spec) {
  const int n = spec.channels();
  static const char* const kDefault[] = {"R", "G", "B", "A"};
  for (int c = 0; c < n; ++c)
    spec.channel_names[c] = n == 1 ? "Y" : c < 4 ? kDefault[c] : Numbered(c);
  spec.alpha_channel = n >= 4 ? 3 : -1;
  uint16_t extra = 0, photometric = 0;
  uint16_t* kinds = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra, &kinds) || extra == 0) return;
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  for (int i = 0, c = photometric == PHOTOMETRIC_MINISBLACK ? 1 : 3; i < extra && c < n; ++i, ++c) {
    if (kinds[i] == EXTRASAMPLE_ASSOCALPHA || kinds[i] == EXTRASAMPLE_UNASSALPHA) {
      spec.alpha_channel = c;
    } else if (spec.alpha_channel == c) {
      spec.channel_names[c] = Numbered(c);
      spec.alpha_channel = -1;
    }
  }
  if (spec.alpha_channel < 0) return;
  spec.channel_names[std::size_t(spec.alpha_channel)].assign(1, 'A');
  if (n == 2 && spec.alpha_channel == 1) spec.channel_names[0] = "Y";
}

// The current directory's text tags by `table`'s names, in its order; false
// with `why` when it holds one the table lacks.
template <std::size_t N>
bool DirectoryTexts(TIFF* tif, const Named (&table)[N], FrameSpec& spec, std::string& why) {
  for (int i = 0, count = TIFFGetTagListCount(tif); i < count; ++i) {
    const uint32_t tag = TIFFGetTagListEntry(tif, i);
    const TIFFField* f = TIFFFieldWithTag(tif, tag);
    if (!f || (TIFFFieldDataType(f) == TIFF_ASCII && !NameOf(table, tag)))
      return why = "tag " + std::to_string(tag), false;
  }
  for (const Named& n : table) {
    char* text = nullptr;
    // The image library passes over empty ones, and cuts those longer than
    // the tag's fixed count (DateTime's 20) its own way.
    if (!TIFFGetField(tif, n.tag, &text) || !text || !*text) continue;
    const TIFFField* f = TIFFFieldWithTag(tif, n.tag);
    const int fixed = f ? TIFFFieldReadCount(f) : 0;
    if (fixed > 0 && std::strlen(text) >= std::size_t(fixed))
      return why = "tag " + std::to_string(n.tag), false;
    spec.SetText(n.name, text);
  }
  return true;
}

bool ExifTexts(TIFF* tif, FrameSpec& spec, std::string& why) {
  uint64_t at = 0;
  if (!TIFFGetField(tif, TIFFTAG_EXIFIFD, &at)) return true;
  if (!TIFFReadEXIFDirectory(tif, at)) return why = "EXIF directory", false;
  bool ok = DirectoryTexts(tif, kExifTexts, spec, why);
  uint16_t space = 0;
  // Anything but "uncalibrated", no colour space tag too, counts as sRGB.
  if (ok && !(TIFFGetField(tif, EXIFTAG_COLORSPACE, &space) && space == 0xFFFF))
    spec.SetText("oiio:ColorSpace", "sRGB");
  return TIFFSetDirectory(tif, 0) && ok;
}

bool Texts(TIFF* tif, FrameSpec& spec, std::string& why) {
  if (!DirectoryTexts(tif, kMainTexts, spec, why)) return false;
  if (const std::string* d = spec.Text("ImageDescription"))
    for (const char* hint : kDescriptionHints)
      if (d->find(hint) != std::string::npos) return why = "description", false;
  spec.SetText("planarconfig", "contig");
  spec.SetText("compression", spec.compression);
  uint16_t unit = 0;
  if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit)) {
    const char* name = unit == RESUNIT_NONE ? "none" : unit == RESUNIT_INCH ? "in"
                       : unit == RESUNIT_CENTIMETER ? "cm" : nullptr;
    if (name) spec.SetText("ResolutionUnit", name);
  }
  return ExifTexts(tif, spec, why);
}

// libtiff keeps a pointer to `messages` for the handle's life.
struct Reader {
  TiffStream stream;
  std::string messages;
};

TIFF* OpenFor(const std::string& path, const std::byte* data, std::size_t size, Reader& reader,
              std::string& why) {
  reader.stream.data = data;
  reader.stream.size = size;
  TIFF* tif = OpenTiff(path, "r", data ? &reader.stream : nullptr, reader.messages);
  if (!tif) why = reader.messages.empty() ? "not a TIFF file" : reader.messages;
  return tif;
}

}  // namespace

bool DescribeTiff(const std::string& path, const std::byte* data, std::size_t size,
                  FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Reader reader;
  TIFF* tif = OpenFor(path, data, size, reader, why);
  if (!tif) return false;
  const bool ok = Shape(tif, spec, why) && Layout(tif, spec, why) && Texts(tif, spec, why);
  if (ok) Channels(tif, spec);
  TIFFClose(tif);
  return ok;
}

bool TiffShape(const std::string& path, FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Reader reader;
  TIFF* tif = OpenFor(path, nullptr, 0, reader, why);
  if (!tif) return false;
  const bool ok = Shape(tif, spec, why);
  for (int c = 0; c < spec.channels(); ++c) spec.channel_names[c] = std::to_string(c);
  TIFFClose(tif);
  return ok;
}

}  // namespace lumatrice
