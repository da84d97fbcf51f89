// Spliced EXR, TIFF and DPX writes: over every EXR and TIFF block
// compression, scanlines (or strips) and tiles, each sample type, RGB, grey and
// RGBA, a frame changed in a few rows is written with its unchanged blocks
// byte for byte the input's, decodes as the whole-frame path's output (or,
// for lossy codecs, as the input outside the changed blocks), and keeps every
// header attribute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <OpenEXR/openexr.h>
#include <OpenImageIO/imageio.h>
#include <tiffio.h>

#include "described.h"
#include "image_io.h"
#include "tiff_header.h"

using namespace lumatrice;
using OIIO::TypeDesc;
namespace fs = std::filesystem;

namespace {

// A status as a verdict, its message on failure.
::testing::AssertionResult Ok(const Status& s) {
  if (s) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.message();
}

const WriteOptions kWhole{nullptr, false};  // no splice

constexpr int kW = 100, kH = 70;

struct Case {
  const char* compression;
  bool tiled;
  TypeDesc type;
  int channels;
  bool lossless;
  bool spliceable = true;
  bool tiff = false;
  // TIFF written through libtiff in this mode ("wb": big-endian, "wl8":
  // BigTIFF), with this predictor (0: no tag) and EXIF and GPS directories;
  // an EXR in this line order.
  const char* mode = nullptr;
  int predictor = 0;
  bool exif = false;
  const char* line_order = nullptr;
};

std::string Name(const Case& c) {
  return std::string(c.tiff ? "tiff " : "exr ") + c.compression +
         (c.tiled ? " tiles " : " lines ") +
         c.type.c_str() + (c.channels == 4 ? " RGBA" : c.channels == 3 ? " RGB" : " grey") +
         (c.channels == 2 ? "A" : "") + (c.mode ? c.mode : "") +
         (c.predictor ? " p" + std::to_string(c.predictor) : "") + (c.exif ? " EXIF" : "") +
         (c.line_order ? c.line_order : "");
}

constexpr const char* kDescription = "Lumatrice:Marker {}";

// Deterministic samples: smooth with grain, some values above 1.
float Sample(std::size_t i) {
  const unsigned seed = unsigned(i) * 1103515245u + 12345u;
  return 0.3f + 0.01f * float(i % 97) + float((seed >> 16) & 0xFF) / 400.0f;
}

// A TIFF through libtiff itself: byte orders and predictors OpenImageIO
// does not write, 16 rows a strip or 32x32 tiles, EXIF and GPS directories.
void WriteLibtiff(const Case& c, const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), c.mode);
  ASSERT_NE(t, nullptr);
  const bool f = c.type == TypeDesc::FLOAT;
  const uint16_t compression = std::strcmp(c.compression, "lzw") == 0 ? COMPRESSION_LZW
                               : std::strcmp(c.compression, "zip") == 0 ? COMPRESSION_ADOBE_DEFLATE
                                                                        : COMPRESSION_NONE;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(kW));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(kH));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.channels);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, f ? 32 : 16);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, f ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  if (c.predictor) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
  TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "sh010");
  if (c.tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 32u);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 32u);
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16u);
  }
  if (c.exif) {
    TIFFSetField(t, TIFFTAG_EXIFIFD, uint64_t(0));
    TIFFSetField(t, TIFFTAG_GPSIFD, uint64_t(0));
  }
  const int bw = c.tiled ? 32 : kW, bh = c.tiled ? 32 : 16;
  const int blocks = c.tiled ? int(TIFFNumberOfTiles(t)) : int(TIFFNumberOfStrips(t));
  std::vector<unsigned char> block(std::size_t(bw) * bh * c.channels * 4);
  for (int b = 0; b < blocks; ++b) {
    const int across = (kW + 31) / 32;
    const int x0 = c.tiled ? (b % across) * 32 : 0, y0 = c.tiled ? (b / across) * 32 : b * 16;
    const int rows = c.tiled ? bh : std::min(bh, kH - y0);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < bw * c.channels; ++x) {
        const float v = Sample((std::size_t(y0 + y) * kW + x0) * c.channels + x);
        const std::size_t i = std::size_t(y) * bw * c.channels + x;
        if (f)
          std::memcpy(&block[i * 4], &v, 4);
        else
          reinterpret_cast<uint16_t*>(block.data())[i] = uint16_t(std::min(v, 1.0f) * 65535);
      }
    const tmsize_t n = tmsize_t(std::size_t(bw) * rows * c.channels * (f ? 4 : 2));
    ASSERT_GE(c.tiled ? TIFFWriteEncodedTile(t, uint32_t(b), block.data(), n)
                      : TIFFWriteEncodedStrip(t, uint32_t(b), block.data(), n), 0);
  }
  if (c.exif) {
    uint64_t exif = 0, gps = 0;
    const unsigned char version[4] = {2, 3, 0, 0};
    ASSERT_TRUE(TIFFWriteDirectory(t));
    ASSERT_EQ(TIFFCreateEXIFDirectory(t), 0);
    TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, "2026:01:01 10:00:00");
    TIFFSetField(t, EXIFTAG_EXPOSURETIME, 0.01);
    ASSERT_TRUE(TIFFWriteCustomDirectory(t, &exif));
    // libtiff 4.5 keeps a written custom directory's values until freed.
    TIFFFreeDirectory(t);
    ASSERT_EQ(TIFFCreateGPSDirectory(t), 0);
    TIFFSetField(t, GPSTAG_VERSIONID, version);
    TIFFSetField(t, GPSTAG_LATITUDEREF, "N");
    ASSERT_TRUE(TIFFWriteCustomDirectory(t, &gps));
    TIFFFreeDirectory(t);
    ASSERT_TRUE(TIFFSetDirectory(t, 0));
    TIFFSetField(t, TIFFTAG_EXIFIFD, exif);
    TIFFSetField(t, TIFFTAG_GPSIFD, gps);
  }
  TIFFClose(t);
}

// What a TIFF's layout is: byte order (unless not asked), BigTIFF,
// predictor, block size.
std::string TiffLayout(const std::string& path, bool byte_order = true) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return "unreadable";
  uint16_t predictor = 1;
  uint32_t rows = 0, tile = 0;
  TIFFGetField(t, TIFFTAG_PREDICTOR, &predictor);
  TIFFGetField(t, TIFFTAG_ROWSPERSTRIP, &rows);
  TIFFGetField(t, TIFFTAG_TILEWIDTH, &tile);
  const std::string layout = std::string(!byte_order ? "" : TIFFIsBigEndian(t) ? "big" : "little") +
                             (TIFFIsBigTIFF(t) ? " BigTIFF" : "") + " predictor " +
                             std::to_string(predictor) + " rows " + std::to_string(rows) +
                             " tiles " + std::to_string(tile);
  TIFFClose(t);
  return layout;
}

std::string ExrLineOrder(const std::string& path) {
  exr_context_t ctx = nullptr;
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  exr_lineorder_t order{};
  if (exr_start_read(&ctx, path.c_str(), &init) != EXR_ERR_SUCCESS) return "unreadable";
  exr_get_lineorder(ctx, 0, &order);
  exr_finish(&ctx);
  return std::to_string(int(order));
}

void WriteInput(const Case& c, const std::string& path) {
  if (c.mode) return WriteLibtiff(c, path);
  OIIO::ImageSpec spec(kW, kH, c.channels, c.type);
  spec.attribute("compression", c.compression);
  spec.attribute(c.tiff ? "DocumentName" : "shot", "sh010");
  spec.attribute(c.tiff ? "Artist" : "owner", "studio");
  if (c.tiff) spec.attribute("tiff:RowsPerStrip", 16);
  if (c.tiled) spec.tile_width = spec.tile_height = 32;
  if (c.line_order) spec.attribute("openexr:lineOrder", c.line_order);
  std::vector<float> pixels(std::size_t(kW) * kH * c.channels);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = Sample(i);
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, spec)) << OIIO::geterror();
  ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data()));
  out->close();
}

// A caption-like stripe: rows 40-42, columns 10-60.
void Paint(FrameBuffer& frame) {
  FrameStorage storage(&frame);
  std::vector<BMM_Color_64> row(51, BMM_Color_64{0xFFFF, 0, 0x8000, 0xFFFF});
  for (int y = 40; y <= 42; ++y) storage.PutPixels(10, y, int(row.size()), row.data());
  frame.spec().attribute("Lumatrice:Stamped", "yes");
  frame.spec().attribute("ImageDescription", kDescription);
}

// The slate: every row.
void PaintAll(FrameBuffer& frame) {
  FrameStorage storage(&frame);
  std::vector<BMM_Color_64> row(kW, BMM_Color_64{0x4040, 0x4040, 0x4040, 0xFFFF});
  for (int y = 0; y < kH; ++y) storage.PutPixels(0, y, kW, row.data());
  frame.spec().attribute("ImageDescription", kDescription);
}

// Takes out the EXIF and GPS attributes; how many there were.
int DropExif(OIIO::ImageSpec& spec) {
  int n = 0;
  for (std::size_t i = spec.extra_attribs.size(); i-- > 0;) {
    const std::string name = spec.extra_attribs[i].name().string();
    if (name.rfind("Exif:", 0) == 0 || name.rfind("GPS:", 0) == 0 || name == "ExposureTime") {
      spec.extra_attribs.erase(spec.extra_attribs.begin() + std::ptrdiff_t(i));
      ++n;
    }
  }
  return n;
}

// Raw bytes of block b of a file, through OpenEXR's core library or libtiff.
struct RawChunks {
  exr_context_t ctx = nullptr;
  TIFF* tif = nullptr;
  RawChunks(const std::string& path, bool tiff) {
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    if (tiff)
      EXPECT_NE(tif = TIFFOpen(path.c_str(), "r"), nullptr) << path;
    else
      EXPECT_EQ(exr_start_read(&ctx, path.c_str(), &init), EXR_ERR_SUCCESS) << path;
  }
  ~RawChunks() {
    if (tif) TIFFClose(tif);
    if (ctx) exr_finish(&ctx);
  }
  std::vector<char> Block(bool tiled, int bx, int by, int lines, int blocks_x) {
    if (tif) {
      const uint32_t b = uint32_t(by * blocks_x + bx);
      std::vector<char> bytes(TIFFGetStrileByteCount(tif, b));
      const tmsize_t n = tmsize_t(bytes.size());
      EXPECT_EQ(tiled ? TIFFReadRawTile(tif, b, bytes.data(), n)
                      : TIFFReadRawStrip(tif, b, bytes.data(), n), n);
      return bytes;
    }
    exr_chunk_info_t ci{};
    const exr_result_t rv = tiled ? exr_read_tile_chunk_info(ctx, 0, bx, by, 0, 0, &ci)
                                  : exr_read_scanline_chunk_info(ctx, 0, by * lines, &ci);
    EXPECT_EQ(rv, EXR_ERR_SUCCESS);
    std::vector<char> bytes(ci.packed_size);
    EXPECT_EQ(exr_read_chunk(ctx, 0, &ci, bytes.data()), EXR_ERR_SUCCESS);
    return bytes;
  }
};

bool SamePixel(const FrameBuffer& a, const FrameBuffer& b, int x, int y) {
  return std::memcmp(a.row(y) + std::size_t(x) * a.pixel_bytes(),
                     b.row(y) + std::size_t(x) * b.pixel_bytes(), a.pixel_bytes()) == 0;
}

class SpliceTest : public ::testing::TestWithParam<Case> {};

TEST_P(SpliceTest, CopiesUnchangedChunksAndMatchesTheWholePath) {
  const Case c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) / ("splice-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string ext = c.tiff ? ".tif" : ".exr";
  const std::string in = (dir / ("in" + ext)).string(),
                    spliced = (dir / ("spliced" + ext)).string(),
                    whole = (dir / ("whole" + ext)).string();
  WriteInput(c, in);

  FrameBuffer lazy, full;
  ASSERT_TRUE(Ok(ReadFrame(in, lazy, true)));
  ASSERT_TRUE(Ok(ReadFrame(in, full)));
  if (c.tiff) {
    // libtiff's description is the image library's, or none.
    FrameSpec own;
    std::string why;
    if (DescribeTiff(in, nullptr, 0, own, why))
      EXPECT_EQ(Described(own), Described(full.desc()));
    else
      EXPECT_FALSE(c.spliceable) << why;
  }
  Paint(lazy);
  Paint(full);
  WriteReport report;
  if (!c.spliceable) {
    // Layouts the core library cannot splice are read and written whole,
    // as the whole-frame reader reads them, in the layout the writer can.
    EXPECT_EQ(lazy.blocks(), nullptr);
    ASSERT_TRUE(Ok(WriteFrame(spliced, lazy, {}, &report)));
    EXPECT_FALSE(report.spliced);
    FrameBuffer back;
    ASSERT_TRUE(Ok(ReadFrame(spliced, back)));
    for (int y = 0; y < kH && c.lossless; ++y)
      for (int x = 0; x < kW; ++x) ASSERT_TRUE(SamePixel(back, full, x, y)) << x << "," << y;
    if (c.line_order) { EXPECT_EQ(ExrLineOrder(spliced), ExrLineOrder(in)); }
    // All but the byte order: OpenImageIO writes the host's.
    if (c.mode) { EXPECT_EQ(TiffLayout(spliced, false), TiffLayout(in, false)); }
    fs::remove_all(dir);
    return;
  }
  ASSERT_NE(lazy.blocks(), nullptr) << "not read as blocks";
  {
    // Decoded block by block, a frame reads as the whole-frame reader's.
    FrameBuffer blocks_read, whole_read;
    ASSERT_TRUE(Ok(ReadFrame(in, blocks_read, true)));
    ASSERT_TRUE(Ok(ReadFrame(in, whole_read)));
    ASSERT_TRUE(blocks_read.Materialize());
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        ASSERT_TRUE(!c.lossless || SamePixel(blocks_read, whole_read, x, y)) << "decoded " << x << "," << y;
  }
  const BlockFile& blocks = *lazy.blocks();
  const std::vector<char> changed = lazy.ChangedBlocks();
  // Exactly the blocks the stripe crosses.
  for (int b = 0; b < blocks.count(); ++b) {
    const int x0 = (b % blocks.blocks_x) * blocks.block_w, y0 = (b / blocks.blocks_x) * blocks.block_h;
    const bool crossed = y0 <= 42 && y0 + blocks.block_h > 40 && x0 <= 60 && x0 + blocks.block_w > 10;
    EXPECT_EQ(bool(changed[b]), crossed) << "block " << b;
  }

  ASSERT_TRUE(Ok(WriteFrame(spliced, lazy, {}, &report)));
  if (c.exif) {
    // OpenImageIO's TIFF writer would lose them: the whole path refuses.
    const Status refused = WriteFrame(whole, full, kWhole);
    EXPECT_EQ(refused.kind(), StatusKind::kUnsupported);
    EXPECT_NE(refused.message().find("EXIF"), std::string::npos) << refused.message();
    EXPECT_FALSE(fs::exists(whole));
    EXPECT_GE(DropExif(full.spec()), 2);
  }
  ASSERT_TRUE(Ok(WriteFrame(whole, full, kWhole)));
  EXPECT_TRUE(report.spliced);
  int n_changed = 0;
  for (char ch : changed) n_changed += ch;
  EXPECT_EQ(report.blocks.encoded, n_changed);
  EXPECT_EQ(report.blocks.copied, blocks.count() - n_changed);

  // Unchanged chunks are the input's bytes.
  RawChunks in_chunks(in, c.tiff), out_chunks(spliced, c.tiff);
  for (int b = 0; b < blocks.count(); ++b) {
    if (changed[b]) continue;
    const int bx = b % blocks.blocks_x, by = b / blocks.blocks_x;
    EXPECT_EQ(in_chunks.Block(c.tiled, bx, by, blocks.block_h, blocks.blocks_x),
              out_chunks.Block(c.tiled, bx, by, blocks.block_h, blocks.blocks_x))
        << "block " << b;
  }
  // Changed zip chunks are encoded as the whole path encodes them.
  if (!c.tiff && std::strncmp(c.compression, "zip", 3) == 0) {
    RawChunks whole_chunks(whole, false);
    for (int b = 0; b < blocks.count(); ++b) {
      if (!changed[b]) continue;
      const int bx = b % blocks.blocks_x, by = b / blocks.blocks_x;
      EXPECT_EQ(whole_chunks.Block(c.tiled, bx, by, blocks.block_h, blocks.blocks_x),
                out_chunks.Block(c.tiled, bx, by, blocks.block_h, blocks.blocks_x))
          << "changed block " << b;
    }
  }

  // Pixels, read back through OpenImageIO.
  FrameBuffer input, a, b;
  ASSERT_TRUE(Ok(ReadFrame(in, input)));
  ASSERT_TRUE(Ok(ReadFrame(spliced, a)));
  ASSERT_TRUE(Ok(ReadFrame(whole, b)));
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const bool in_changed_block = changed[blocks.BlockAt(x, y)];
      if (c.lossless)
        ASSERT_TRUE(SamePixel(a, b, x, y)) << "pixel " << x << "," << y;
      else if (!in_changed_block)
        ASSERT_TRUE(SamePixel(a, input, x, y)) << x << "," << y;
    }
  }
  // The stripe is there on both paths.
  FrameStorage sa(&a), sb(&b);
  BMM_Color_64 pa{}, pb{};
  sa.GetPixels(30, 41, 1, &pa);
  sb.GetPixels(30, 41, 1, &pb);
  if (c.channels >= 3) {
    EXPECT_NEAR(pa.r, 0xFFFF, c.lossless ? 0 : 0x1000);
  }
  if (c.lossless) EXPECT_EQ(pa.r, pb.r);

  // Every input attribute kept, the new one added; the same as the whole path.
  for (const OIIO::ParamValue& p : input.spec().extra_attribs) {
    const OIIO::ParamValue* kept = a.spec().find_attribute(p.name());
    ASSERT_NE(kept, nullptr) << p.name();
    EXPECT_EQ(kept->get_string(), p.get_string()) << p.name();
  }
  EXPECT_EQ(a.spec().get_string_attribute("Lumatrice:Stamped"), c.tiff ? "" : "yes");
  EXPECT_EQ(a.spec().get_string_attribute("ImageDescription"), kDescription);
  // The whole path writes tags of its own (libtiff's inputs lack them).
  if (!c.mode) {
    EXPECT_EQ(a.spec().extra_attribs.size(), b.spec().extra_attribs.size());
    for (const OIIO::ParamValue& p : b.spec().extra_attribs) {
      const OIIO::ParamValue* same = a.spec().find_attribute(p.name());
      EXPECT_TRUE(same && same->get_string() == p.get_string())
          << p.name() << " " << p.get_string();
    }
  }
  if (c.tiff) { EXPECT_EQ(TiffLayout(spliced), TiffLayout(in)) << "spliced"; }
  if (c.mode) { EXPECT_EQ(TiffLayout(whole, false), TiffLayout(in, false)) << "whole"; }

  // The slate changes every block; a TIFF's own writer still writes it (and
  // a copy of it, the prepended slate), in the input's layout and tags.
  for (bool copied : {false, true}) {
    if (!c.tiff) break;
    FrameBuffer read, copy;
    ASSERT_TRUE(Ok(ReadFrame(in, read, true)));
    if (copied) copy = read;
    FrameBuffer& slate = copied ? copy : read;
    PaintAll(slate);
    const std::string out = (dir / "slate.tif").string();
    ASSERT_TRUE(Ok(WriteFrame(out, slate, {}, &report)));
    EXPECT_FALSE(report.spliced);
    EXPECT_EQ(TiffLayout(out), TiffLayout(in)) << (copied ? "copy" : "frame");
    FrameBuffer back;
    ASSERT_TRUE(Ok(ReadFrame(out, back)));
    for (const OIIO::ParamValue& p : input.spec().extra_attribs) {
      const OIIO::ParamValue* kept = back.spec().find_attribute(p.name());
      EXPECT_TRUE(kept && kept->get_string() == p.get_string()) << p.name();
    }
  }
  fs::remove_all(dir);
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::pair<const char*, bool> codecs[] = {
      {"none", true}, {"rle", true},   {"zips", true}, {"zip", true},
      {"piz", true},  {"pxr24", false}, {"b44", false}, {"dwaa", false}};
  for (auto [name, lossless] : codecs)
    for (bool tiled : {false, true})
      for (TypeDesc t : {TypeDesc(TypeDesc::HALF), TypeDesc(TypeDesc::FLOAT)})
        for (int channels : {3, 4})
          cases.push_back({name, tiled, t, channels, lossless,
                           std::strcmp(name, "dwaa") != 0 && !tiled &&
                               !(std::strcmp(name, "b44") == 0 && t == TypeDesc::FLOAT)});
  for (const char* name : {"none", "lzw", "zip", "packbits"})
    for (bool tiled : {false, true})
      for (TypeDesc t : {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::FLOAT})
        for (int channels : {3, 4}) cases.push_back({name, tiled, t, channels, true, true, true});
  cases.push_back({"lzw", false, TypeDesc::UINT16, 1, true, true, true});
  cases.push_back({"zip", true, TypeDesc::UINT8, 2, true, true, true});
  cases.push_back({"jpeg", false, TypeDesc::UINT8, 3, false, false, true});
  // Layouts OpenImageIO does not write. libtiff (4.5) encodes the float
  // predictor in the other byte order unlike it decodes it: those go whole.
  cases.push_back({"lzw", false, TypeDesc::UINT16, 3, true, true, true, "wb", 2});
  cases.push_back({"zip", false, TypeDesc::UINT16, 4, true, true, true, "wl8"});
  cases.push_back({"lzw", true, TypeDesc::FLOAT, 3, true, true, true, "wb8", 0, true});
  cases.push_back({"zip", false, TypeDesc::FLOAT, 3, true, true, true, "wl", 3});
  cases.push_back({"zip", false, TypeDesc::FLOAT, 3, true, false, true, "wb", 3});
  cases.push_back({"lzw", false, TypeDesc::FLOAT, 4, true, false, true, "wb", 3});
  cases.push_back({"zip", true, TypeDesc::FLOAT, 3, true, false, true, "wb", 3});
  cases.push_back({"zip", false, TypeDesc::HALF, 3, true, false, false, nullptr, 0, false,
                   "decreasingY"});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Codecs, SpliceTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string n = Name(info.param);
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// A frame that must change its layout, or is not lazy, is written whole.
TEST(SpliceTest, OtherFormatsAndLayoutsTakeTheWholePath) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("splice-w-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.exr").string();
  WriteInput({"zip", false, TypeDesc::HALF, 4, true}, in);
  FrameBuffer frame;
  ASSERT_TRUE(Ok(ReadFrame(in, frame, true)));
  Paint(frame);
  struct Want {
    const char* target;
    const char* attribute;  // changed before the write, or null
    bool spliced;
  } const wants[] = {
      {"same.exr", nullptr, true},
      {"other.tif", nullptr, false},
      {"recompressed.exr", "compression", false},
      {"renamed.exr", "owner", false},  // not a header text this write sets
  };
  for (const Want& w : wants) {
    FrameBuffer copy_source;
    ASSERT_TRUE(Ok(ReadFrame(in, copy_source, true)));
    Paint(copy_source);
    if (w.attribute) copy_source.spec().attribute(w.attribute, "piz");
    WriteReport report;
    ASSERT_TRUE(Ok(WriteFrame((dir / w.target).string(), copy_source, {}, &report))) << w.target;
    EXPECT_EQ(report.spliced, w.spliced) << w.target;
    FrameBuffer back;
    ASSERT_TRUE(Ok(ReadFrame((dir / w.target).string(), back)));
    FrameStorage s(&back);
    BMM_Color_64 p{};
    s.GetPixels(30, 41, 1, &p);
    EXPECT_EQ(p.r, 0xFFFF) << w.target;
  }
  // A copy (the prepended slate's) keeps a view that outlives its source's.
  FrameBuffer copy(frame);
  ASSERT_NE(copy.blocks(), nullptr);
  ASSERT_TRUE(Ok(ReadFrame((dir / "same.exr").string(), frame, true)));
  FrameStorage s(&copy);
  BMM_Color_64 p{};
  s.GetPixels(30, 41, 1, &p);
  EXPECT_EQ(p.r, 0xFFFF);
  fs::remove_all(dir);
}

// A TIFF with a sub-image (a SubIFD, such as a thumbnail) would lose it on
// any write: it is refused when read.
TEST(SpliceTest, TiffSubImagesAreRefused) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("splice-s-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "sub.tif").string();
  TIFF* t = TIFFOpen(in.c_str(), "w");
  ASSERT_NE(t, nullptr);
  uint64_t sub[1] = {0};
  unsigned char pixels[16 * 16] = {};
  for (uint32_t side : {16u, 4u}) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, side);
    if (side == 16) TIFFSetField(t, TIFFTAG_SUBIFD, 1, sub);
    ASSERT_GE(TIFFWriteEncodedStrip(t, 0, pixels, tmsize_t(side * side)), 0);
    ASSERT_TRUE(TIFFWriteDirectory(t));
  }
  TIFFClose(t);
  for (bool lazy : {true, false}) {
    FrameBuffer frame;
    const Status read = ReadFrame(in, frame, lazy);
    EXPECT_EQ(read.kind(), StatusKind::kUnsupported);
    EXPECT_NE(read.message().find("sub-images"), std::string::npos) << read.message();
  }
  fs::remove_all(dir);
}

// A lazy frame's file that shrinks before its blocks are read or copied
// fails the write, saying so, and leaves no output.
TEST(SpliceTest, AnInputThatShrankFailsTheWrite) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("splice-t-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const struct {
    const char* compression;
    bool painted;  // the changed blocks decoded before the file shrank
  } rows[] = {{"none", false}, {"none", true}, {"zip", true}};
  for (const auto& r : rows) {
    const std::string in = (dir / "in.exr").string(), out = (dir / "out.exr").string();
    // Float, so the changed rows lie beyond the header's bytes kept in memory.
    WriteInput({r.compression, false, TypeDesc::FLOAT, 4, true}, in);
    FrameBuffer frame;
    ASSERT_TRUE(Ok(ReadFrame(in, frame, true)));
    ASSERT_NE(frame.blocks(), nullptr);
    if (r.painted) Paint(frame);
    fs::resize_file(in, fs::file_size(in) / 2);
    if (!r.painted) Paint(frame);
    // Its missing bytes are no chunk of zeros.
    EXPECT_EQ(frame.BlockError().empty(), r.painted) << frame.BlockError();
    const Status written = WriteFrame(out, frame, {});
    EXPECT_FALSE(written) << r.compression;
    EXPECT_NE(written.message().find("shrunk"), std::string::npos) << written.message();
    EXPECT_FALSE(fs::exists(out)) << r.compression;
  }
  fs::remove_all(dir);
}

// An EXIF directory that is the image's own directory (so links on to
// itself) is not copied as a directory: the frame is written whole.
TEST(SpliceTest, TiffSelfLinkedExifIsWrittenWhole) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("splice-x-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.tif").string(), out = (dir / "out.tif").string();
  TIFF* t = TIFFOpen(in.c_str(), "wl");
  ASSERT_NE(t, nullptr);
  std::vector<unsigned char> pixels(128 * 16, 0x40);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 128u);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 128u);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16u);
  TIFFSetField(t, TIFFTAG_EXIFIFD, uint64_t(0));
  for (uint32_t s = 0; s < 8; ++s)
    ASSERT_GE(TIFFWriteEncodedStrip(t, s, pixels.data(), tmsize_t(pixels.size())), 0);
  TIFFClose(t);
  std::string bytes;
  {
    std::ifstream f(in, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  uint32_t ifd = 0;
  std::memcpy(&ifd, bytes.data() + 4, 4);
  uint16_t n = 0;
  std::memcpy(&n, bytes.data() + ifd, 2);
  bool linked = false;
  for (uint16_t i = 0; i < n; ++i) {
    char* e = bytes.data() + ifd + 2 + 12 * i;
    if (uint8_t(e[0]) == 0x69 && uint8_t(e[1]) == 0x87) std::memcpy(e + 8, &ifd, 4), linked = true;
  }
  ASSERT_TRUE(linked);
  std::ofstream(in, std::ios::binary | std::ios::trunc) << bytes;
  FrameBuffer frame;
  ASSERT_TRUE(Ok(ReadFrame(in, frame, true)));
  Paint(frame);
  WriteReport report;
  ASSERT_TRUE(Ok(WriteFrame(out, frame, {}, &report)));
  EXPECT_FALSE(report.spliced);
  FrameBuffer back;
  EXPECT_TRUE(Ok(ReadFrame(out, back)));
  fs::remove_all(dir);
}

}  // namespace

namespace {

// Uncompressed DPX in the layouts OpenImageIO writes: spliced, it decodes as
// the whole path's output, every byte outside the changed rows and the
// description is the input's, and the description reads back the same.
// Layouts whose rows the writer does not store as the input does (10-bit
// RGBA words run across pixels; 12 bits written packed) stay whole.
struct DpxCase {
  int bits;
  const char* packing;
  const char* endian;
  int channels;
  bool spliced = true;
};

class DpxSpliceTest : public ::testing::TestWithParam<DpxCase> {};

TEST_P(DpxSpliceTest, RewritesOnlyTheChangedRows) {
  const DpxCase c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) / ("dpx-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.dpx").string(), spliced = (dir / "spliced.dpx").string(),
                    whole = (dir / "whole.dpx").string();
  {
    OIIO::ImageSpec spec(kW, kH, c.channels, c.bits == 8 ? TypeDesc::UINT8 : TypeDesc::UINT16);
    spec.attribute("oiio:BitsPerSample", c.bits);
    spec.attribute("dpx:Packing", c.packing);
    spec.attribute("oiio:Endian", c.endian);
    std::vector<float> px(std::size_t(kW) * kH * c.channels);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = float((i * 7919) % 1000) / 999.0f;
    auto out = OIIO::ImageOutput::create(in);
    ASSERT_TRUE(out && out->open(in, spec)) << OIIO::geterror();
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, px.data()));
    ASSERT_TRUE(out->close());
  }
  FrameBuffer lazy, full;
  ASSERT_TRUE(Ok(ReadFrame(in, lazy, true)));
  ASSERT_TRUE(Ok(ReadFrame(in, full)));
  auto magic = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::string m(4, '\0');
    f.read(m.data(), 4);
    return m;
  };
  WriteReport report;
  if (!c.spliced) {
    EXPECT_EQ(lazy.blocks(), nullptr);
    ASSERT_TRUE(Ok(WriteFrame(spliced, lazy, {}, &report)));
    EXPECT_FALSE(report.spliced);
    EXPECT_EQ(magic(spliced), magic(in)) << "byte order";
    return;
  }
  ASSERT_NE(lazy.blocks(), nullptr) << "not read as rows";
  for (FrameBuffer* f : {&lazy, &full}) {
    Paint(*f);
    f->spec().attribute("ImageDescription", "Lumatrice:Marker {\"Stamped\":\"yes\"}");
  }
  ASSERT_TRUE(Ok(WriteFrame(spliced, lazy, {}, &report)));
  ASSERT_TRUE(Ok(WriteFrame(whole, full, kWhole)));
  EXPECT_TRUE(report.spliced);

  FrameBuffer a, b;
  ASSERT_TRUE(Ok(ReadFrame(spliced, a)));
  ASSERT_TRUE(Ok(ReadFrame(whole, b)));
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) ASSERT_TRUE(SamePixel(a, b, x, y)) << x << "," << y;
  EXPECT_EQ(a.spec().get_string_attribute("ImageDescription"),
            b.spec().get_string_attribute("ImageDescription"));

  // Byte by byte against the input: only the description and the rows of
  // the changed bands may differ.
  auto slurp = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  const std::string before = slurp(in), after = slurp(spliced);
  ASSERT_EQ(before.size(), after.size());
  const bool big = std::strcmp(c.endian, "big") == 0;
  std::uint32_t offset = 0;
  for (int i = 0; i < 4; ++i)
    offset = offset << 8 | static_cast<unsigned char>(before[808 + (big ? i : 3 - i)]);
  const std::size_t stride = (before.size() - offset) / kH;
  const BlockFile& blocks = *lazy.blocks();
  const std::vector<char> changed = lazy.ChangedBlocks();
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i] || (i >= 820 && i < 852)) continue;
    ASSERT_GE(i, offset) << "header byte " << i;
    const int y = int((i - offset) / stride);
    ASSERT_TRUE(y < kH && changed[std::size_t(blocks.BlockAt(0, y))]) << "row " << y;
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DpxSpliceTest,
    ::testing::Values(DpxCase{8, "Filled, method A", "big", 3},
                      DpxCase{10, "Filled, method A", "big", 3},
                      DpxCase{10, "Filled, method B", "little", 3},
                      DpxCase{10, "Filled, method A", "little", 4, false},
                      DpxCase{12, "Filled, method A", "big", 3, false},
                      DpxCase{16, "Filled, method A", "little", 4}),
    [](const ::testing::TestParamInfo<DpxCase>& info) {
      const DpxCase& c = info.param;
      return std::to_string(c.bits) + "bit_" + (std::strchr(c.packing, 'B') ? "B_" : "A_") +
             c.endian + "_" + std::to_string(c.channels) + "ch";
    });

}  // namespace
