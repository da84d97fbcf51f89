// The bad-input table: scene files, image files, option values, frame
// patterns, parameter names and values and frame sizes that the built
// lumatrice program must refuse with a clear message and a non-zero status.
// Every row also checks that nothing was lost: each file that existed before
// the run (inputs, the scene, earlier outputs) is byte-for-byte unchanged, no
// temporary file is left, and any new file is a whole, readable image.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "header_check.h"
#include "image_io.h"
#include "output_lock.h"

using namespace clitest;
using OIIO::TypeDesc;

namespace {

constexpr int kW = 64, kH = 48;
constexpr int kUsage = 2, kFailed = 1;

// Writes an 8-bit RGB test pattern, different for every `seed`.
void WritePng(const fs::path& path, int seed, int w = kW, int h = kH) {
  fs::create_directories(path.parent_path());
  OIIO::ImageSpec spec(w, h, 3, TypeDesc::UINT8);
  std::vector<unsigned char> px(std::size_t(w) * h * 3);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 7 + seed * 31);
  auto out = OIIO::ImageOutput::create(path.string());
  ASSERT_TRUE(out && out->open(path.string(), spec));
  ASSERT_TRUE(out->write_image(TypeDesc::UINT8, px.data()));
  ASSERT_TRUE(out->close());
}

// The bytes of a kW x kH image of `channels` channels of `type` in the format
// `ext` names, with a "comments" header text when one is given.
std::string Encoded(const fs::path& dir, const std::string& ext, TypeDesc type, int channels = 3,
                    const std::string& comments = "") {
  const fs::path path = dir / ("sample" + ext);
  OIIO::ImageSpec spec(kW, kH, channels, type);
  if (!comments.empty()) spec.attribute("comments", comments);
  std::vector<float> px(std::size_t(kW) * kH * channels);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = float(i % 97) / 97.0f;
  auto out = OIIO::ImageOutput::create(path.string());
  EXPECT_TRUE(out && out->open(path.string(), spec) && out->write_image(TypeDesc::FLOAT, px.data()) &&
              out->close());
  std::string bytes = Slurp(path);
  fs::remove(path);
  return bytes;
}

// Sets the 32-bit header field at `at` of a DPX file in the file's byte order.
std::string DpxSet(std::string dpx, std::size_t at, std::uint32_t v) {
  const bool big = dpx.compare(0, 4, "SDPX") == 0;
  for (int i = 0; i < 4; ++i) dpx[at + std::size_t(i)] = char(v >> (big ? 24 - 8 * i : 8 * i));
  return dpx;
}
std::uint32_t DpxGet(const std::string& dpx, std::size_t at) {
  const bool big = dpx.compare(0, 4, "SDPX") == 0;
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= std::uint32_t(static_cast<unsigned char>(dpx[at + std::size_t(i)])) << (big ? 24 - 8 * i : 8 * i);
  return v;
}

// A little-endian TIFF's 32-bit value at `at`.
std::size_t Le32(const std::string& tif, std::size_t at) {
  std::size_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | std::uint8_t(tif[at + std::size_t(i)]);
  return v;
}

// Where a little-endian TIFF holds its first strip's offset (LONG
// StripOffsets): in the entry for one strip, else where the entry points.
std::size_t FirstStripOffsetAt(const std::string& tif) {
  const std::size_t entry = tif.find(std::string("\x11\x01\x04\x00", 4));
  if (entry == std::string::npos) return entry;
  const bool one = tif.compare(entry + 4, 4, std::string("\x01\x00\x00\x00", 4)) == 0;
  return one ? entry + 8 : Le32(tif, entry + 8);
}

// Files in formats whose headers we check ourselves, made once.
struct Samples {
  std::string png, dpx, int8_tif, five_channel_exr, exr_huge_claim, exr_big_header, tif_tall_strips,
      tif_wide_tiles, tif_min_is_white, tif_cmyk_4bit, tif_strip_past_end,
      tif_damaged_strip;
};

struct Row {
  const char* what;
  std::vector<std::pair<std::string, std::string>> files;  // extra files for this row
  std::vector<std::string> args;
  int status;
  std::string message;  // fragment of stderr
};

// Shared starting point of every row: an input sequence, a valid scene and
// the outputs of an earlier good run.
class BadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = FreshDir("bad_input_base");
    for (int f = 1; f <= 3; ++f) WritePng(base_ / ("in/shot.000" + std::to_string(f) + ".png"), f);
    const RunResult made = RunCli({"scene", "new", "good.json", "Comments=table"}, base_);
    ASSERT_EQ(made.status, 0) << made.err;
    const RunResult earlier = RunCli(
        {"stamp", "in/shot.#.png", "good.json", "-o", "out/frame.#.png", "--clock",
         "2002-03-07T09:05:03", "-q"},
        base_);
    ASSERT_EQ(earlier.status, 0) << earlier.err;
    samples_.png = Slurp(base_ / "in/shot.0001.png");
    ASSERT_GT(samples_.png.size(), 100u);
    const fs::path dir = FreshDir("bad_input_samples");
    samples_.dpx = Encoded(dir, ".dpx", TypeDesc::UINT8);
    samples_.int8_tif = Encoded(dir, ".tif", TypeDesc::INT8);
    samples_.five_channel_exr = Encoded(dir, ".exr", TypeDesc::HALF, 5);
    // A text of one byte that then claims 2 GiB, in a 32 KiB file.
    std::string exr = Encoded(dir, ".exr", TypeDesc::HALF, 3, "x");
    const std::size_t at = exr.find(std::string("comments\0string\0", 16));
    ASSERT_NE(at, std::string::npos);
    exr.replace(at + 16, 4, "\xff\xff\xff\x7f");
    exr.resize(32 << 10);
    samples_.exr_huge_claim = exr;
    // RowsPerStrip of 1296911620: the image library sized a buffer by it.
    std::string tif = Encoded(dir, ".tif", TypeDesc::UINT8);
    ASSERT_EQ(tif.compare(0, 2, "II"), 0);
    std::size_t rows = tif.find(std::string("\x16\x01\x03\x00\x01\x00\x00\x00", 8));
    if (rows == std::string::npos) rows = tif.find(std::string("\x16\x01\x04\x00\x01\x00\x00\x00", 8));
    ASSERT_NE(rows, std::string::npos);
    tif.replace(rows + 2, 10, std::string("\x04\x00\x01\x00\x00\x00\x04\x4d\x4d\x4d", 10));
    samples_.tif_tall_strips = tif;
    // The same entry as a TileWidth of 1296911620.
    tif.replace(rows, 2, "\x42\x01");
    samples_.tif_wide_tiles = tif;
    // Three samples read as min-is-white: the image library inverted them
    // past the end of the frame's memory.
    tif = Encoded(dir, ".tif", TypeDesc::UINT8);
    const std::size_t photometric = tif.find(std::string("\x06\x01\x03\x00\x01\x00\x00\x00\x02\x00", 10));
    ASSERT_NE(photometric, std::string::npos);
    tif[photometric + 8] = '\0';
    samples_.tif_min_is_white = tif;
    // Four samples of 4 bits read as CMYK: the conversion wrote a row past
    // the frame's memory. Little-endian, BitsPerSample's four values at the
    // offset its entry holds.
    tif = Encoded(dir, ".tif", TypeDesc::UINT8, 4);
    const std::size_t bits = tif.find(std::string("\x02\x01\x03\x00\x04\x00\x00\x00", 8));
    ASSERT_NE(bits, std::string::npos);
    std::size_t values = 0;
    for (int i = 0; i < 4; ++i) values |= std::size_t(std::uint8_t(tif[bits + 8 + i])) << (8 * i);
    ASSERT_LT(values + 8, tif.size());
    for (int i = 0; i < 4; ++i) tif[values + 2 * i] = '\x04';
    tif[tif.find(std::string("\x06\x01\x03\x00\x01\x00\x00\x00\x02\x00", 10)) + 8] = '\x05';
    samples_.tif_cmyk_4bit = tif;
    // The first strip placed past the file's end: the image library
    // decoded memory it never read into.
    tif = Encoded(dir, ".tif", TypeDesc::UINT8);
    const std::size_t first = FirstStripOffsetAt(tif);
    ASSERT_NE(first, std::string::npos);
    tif.replace(first, 4, "\x00\x00\x00\x7f");
    samples_.tif_strip_past_end = tif;
    // Deflate data damaged in a layout the image library reads whole: its
    // reader said so and still succeeded.
    tif = Encoded(dir, ".tif", TypeDesc::INT8);
    const std::size_t strip = Le32(tif, FirstStripOffsetAt(tif)) + 30;
    ASSERT_LT(strip + 16, tif.size());
    tif.replace(strip, 16, std::string(16, '\xff'));
    samples_.tif_damaged_strip = tif;
    samples_.exr_big_header =
        Encoded(dir, ".exr", TypeDesc::HALF, 3, std::string(lumatrice::kMaxExrHeaderBytes, 'x'));
    fs::remove_all(dir);
  }
  static void TearDownTestSuite() { fs::remove_all(base_); }

  static fs::path base_;
  static Samples samples_;
};
fs::path BadInput::base_;
Samples BadInput::samples_;

// File contents that stand for special files in a row's files.
const std::string kFifo = "\x01fifo";
const std::string kLoop = "\x01loop";
const std::string kSparse17M = "\x01sparse";

void Place(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  if (bytes == kFifo) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << path;
  } else if (bytes == kLoop) {
    fs::create_symlink(path.filename(), path);
  } else if (bytes == kSparse17M) {
    Spill(path, "{");
    fs::resize_file(path, 17u << 20);
  } else {
    Spill(path, bytes);
  }
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

std::vector<Row> Table(const Samples& samples) {
  const std::string& png = samples.png;
  // DPX header fields: height, then the first element's data sign,
  // descriptor and data offset.
  constexpr std::size_t kDpxHeight = 776, kDpxSign = 780, kDpxDescriptor = 800, kDpxOffset = 808;
  const std::string& dpx = samples.dpx;
  std::string dpx_rgba = dpx;
  dpx_rgba[kDpxDescriptor] = 51;
  auto dpx_stamp = [](const std::string& name, const std::string& out) {
    return std::vector<std::string>{"stamp", "dpx/" + name + ".#.dpx", "-o", "o/" + out, "-q"};
  };
  const std::string trunc = png.substr(0, png.size() / 2);
  const std::string header_only = png.substr(0, 33);
  std::string flipped = png;
  for (std::size_t i = 60; i < flipped.size() - 12; i += 5) flipped[i] = char(~flipped[i]);
  const std::string fx = R"({"class_id": ["0x31b82d35", "0x47d45ce7"], "superclass_id": 4240, )";
  auto scene = [](const std::string& effects) {
    return R"({"format_version": 1, "render_effects": [)" + effects + "]}";
  };
  auto params = [&](const std::string& p) {
    return scene(fx + R"("reference_0": {"parameters": )" + p + "}}");
  };
  const std::vector<std::string> stamp = {"stamp", "in/shot.#.png", "-o", "out/frame.#.png", "-q"};
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const std::vector<std::string> render = {"render", "-o", "out/frame.#.png", "-q"};
  // clang-format off
  return {
    // ---- scene files ----
    {"scene file missing", {}, {"stamp", "in/shot.#.png", "none.json", "-o", "o/f.#.png"}, kFailed, "none.json"},
    {"scene file empty", {{"s.json", ""}}, with(stamp, {"s.json"}), kFailed, "s.json: line 1, column 1"},
    {"scene file binary", {{"s.json", std::string("\x89\0\xff\x01", 4)}}, with(stamp, {"s.json"}), kFailed, "s.json: line 1"},
    {"scene file truncated", {{"s.json", scene(fx + R"("reference_0": {)").substr(0, 60)}}, with(stamp, {"s.json"}), kFailed, "s.json: line 1"},
    {"scene top level a list", {{"s.json", "[1, 2]"}}, with(stamp, {"s.json"}), kFailed, "s.json"},
    {"scene format version 2", {{"s.json", R"({"format_version": 2})"}}, with(stamp, {"s.json"}), kFailed, "version 2"},
    {"scene version as text", {{"s.json", R"({"format_version": "1"})"}}, with(stamp, {"s.json"}), kFailed, "expected a whole number"},
    {"scene unknown field", {{"s.json", R"({"format_version": 1, "extra": 1})"}}, with(stamp, {"s.json"}), kFailed, "unknown field \"extra\""},
    {"scene frame rate 7", {{"s.json", R"({"format_version": 1, "settings": {"frame_rate": 7}})"}}, with(stamp, {"s.json"}), kFailed, "must divide 4800"},
    {"scene time display", {{"s.json", R"({"format_version": 1, "settings": {"time_display": "hours"}})"}}, with(stamp, {"s.json"}), kFailed, "hours"},
    {"scene clock 30 February", {{"s.json", R"({"format_version": 1, "settings": {"clock": "2002-02-30T00:00:00"}})"}}, with(stamp, {"s.json"}), kFailed, "settings.clock"},
    {"scene effects not a list", {{"s.json", R"({"format_version": 1, "render_effects": {}})"}}, with(stamp, {"s.json"}), kFailed, "expected a list"},
    {"scene effect without class", {{"s.json", scene(R"({"superclass_id": 4240})")}}, with(stamp, {"s.json"}), kFailed, "class_id"},
    {"scene data not base64", {{"s.json", scene(fx + R"("data_base64": "abc"})")}}, with(stamp, {"s.json"}), kFailed, "not valid base64"},
    {"scene data not hex", {{"s.json", scene(fx + R"("data_hex": "0g"})")}}, with(stamp, {"s.json"}), kFailed, "not valid hex"},
    {"scene unknown parameter", {{"s.json", params(R"({"Bogus": true})")}}, with(stamp, {"s.json"}), kFailed, "unknown parameter"},
    {"scene switch as text", {{"s.json", params(R"({"Display Header": "yes"})")}}, with(stamp, {"s.json"}), kFailed, "expected true or false"},
    {"scene text as number", {{"s.json", params(R"({"Comments": 5})")}}, with(stamp, {"s.json"}), kFailed, "expected a text"},
    {"scene keys on a constant", {{"s.json", params(R"({"Use Multithreading": {"keys": [{"time": 0, "value": true}]}})")}}, with(stamp, {"s.json"}), kFailed, "not animatable"},
    {"scene nested a million deep", {{"s.json", Repeat("[", 1000000)}}, with(stamp, {"s.json"}), kFailed, "s.json"},
    {"scene number too large", {{"s.json", R"({"format_version": 1e400})"}}, with(stamp, {"s.json"}), kFailed, "s.json: "},
    {"scene file is a folder", {{"dir.json/x", "x"}}, with(stamp, {"dir.json"}), kFailed, "dir.json"},
    {"scene file a device", {}, with(render, {"/dev/zero", "--frames", "1"}), kFailed, "/dev/zero: is not a regular file"},
    {"scene file a FIFO", {{"p.json", kFifo}}, with(render, {"p.json", "--frames", "1"}), kFailed, "p.json: is not a regular file (a device, FIFO or socket); scene files must be regular files\n"},
    {"scene file over 16 MiB", {{"big.json", kSparse17M}}, with(render, {"big.json", "--frames", "1"}), kFailed, "at most 16777216"},
    {"scene size over the limit", {{"s.json", R"({"format_version": 1, "settings": {"size": "65535x65535"}})"}}, with(render, {"s.json", "--frames", "1"}), kFailed, "settings.size: size 65535x65535 is over the frame-size limit: at most 268435456 pixels"},
    {"scene plug-in not loaded", {{"s.json", scene(R"({"class_id": ["0x1", "0x2"], "superclass_id": 4240, "class_name": "Gone"})")}}, with(stamp, {"s.json"}), kFailed, "(Gone, class 0x00000001:0x00000002) is not a render effect of any loaded plug-in"},
    {"scene entry wrong superclass", {{"s.json", scene(R"({"class_id": ["0x31b82d35", "0x47d45ce7"], "superclass_id": 4241})")}}, with(stamp, {"s.json"}), kFailed, "is not a render effect of any loaded plug-in"},
    // ---- image files ----
    {"input frame empty", {{"bad/e.0001.png", ""}}, {"stamp", "bad/e.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "bad/e.0001.png"},
    {"input frame truncated", {{"bad/t.0001.png", trunc}}, {"stamp", "bad/t.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "bad/t.0001.png"},
    {"input frame header only", {{"bad/h.0001.png", header_only}}, {"stamp", "bad/h.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "bad/h.0001.png"},
    {"input frame corrupt data", {{"bad/c.0001.png", flipped}}, {"stamp", "bad/c.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "bad/c.0001.png"},
    {"input text named exr", {{"bad/x.0001.exr", "not an image\n"}}, {"stamp", "bad/x.#.exr", "-o", "o/f.#.png", "-q"}, kFailed, "bad/x.0001.exr"},
    {"input corrupt mid-sequence", {{"seq/s.0001.png", png}, {"seq/s.0002.png", trunc}, {"seq/s.0003.png", png}}, {"stamp", "seq/s.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "seq/s.0002.png"},
    {"input no files match", {}, {"stamp", "in/none.#.png", "-o", "o/f.#.png"}, kFailed, "no files match"},
    {"input frames missing", {}, with(stamp, {"--frames", "1-5"}), kFailed, "2 of 5 frames missing"},
    {"input is a folder", {{"folder.png/x", "x"}}, {"stamp", "folder.png", "-o", "o/f.png"}, kFailed, "folder.png"},
    {"input 70000 wide", {}, {"stamp", "wide.png", "-o", "o/w.png"}, kFailed, "wide.png: 70000x1 is over the frame-size limit"},
    {"dpx signed samples to dpx", {{"dpx/s.0001.dpx", DpxSet(dpx, kDpxSign, 1)}, {"dpx/s.0002.dpx", dpx}}, dpx_stamp("s", "f.#.dpx"), kFailed, "o/f.0001.dpx: DPX files hold unsigned 8- to 16-bit or floating-point samples, not int8; write .exr or .tif instead"},
    {"int8 tiff to dpx", {{"t8.tif", samples.int8_tif}}, {"stamp", "t8.tif", "-o", "o/t8.dpx", "-q"}, kFailed, "o/t8.dpx: DPX files hold unsigned 8- to 16-bit or floating-point samples, not int8"},
    {"five channels to dpx", {{"c5.exr", samples.five_channel_exr}}, {"stamp", "c5.exr", "-o", "o/c5.dpx", "-q"}, kFailed, "o/c5.dpx: DPX files hold 1, 3 or 4 channels, not 5"},
    {"dpx truncated mid-file", {{"dpx/t.0001.dpx", dpx.substr(0, dpx.size() - 100)}}, dpx_stamp("t", "f.#.exr"), kFailed, "dpx/t.0001.dpx: image element 1 (64x48, 3 samples of 8 bits a pixel, with its padding) needs 9216 bytes from byte"},
    {"dpx data offset past the end", {{"dpx/o.0001.dpx", DpxSet(dpx, kDpxOffset, std::uint32_t(dpx.size()))}}, dpx_stamp("o", "f.#.exr"), kFailed, "dpx/o.0001.dpx: image element 1 starts at byte " + std::to_string(dpx.size()) + "; the file ends at byte " + std::to_string(dpx.size())},
    {"dpx height doubled", {{"dpx/h.0001.dpx", DpxSet(dpx, kDpxHeight, 2 * DpxGet(dpx, kDpxHeight))}}, dpx_stamp("h", "f.#.exr"), kFailed, "dpx/h.0001.dpx: image element 1 (64x96, 3 samples"},
    {"dpx user data past the end", {{"dpx/u.0001.dpx", DpxSet(dpx, 32, 3791764737u)}}, dpx_stamp("u", "f.#.exr"), kFailed, "dpx/u.0001.dpx: the DPX user data claims 3791764737 bytes"},
    {"dpx line padding past the end", {{"dpx/p.0001.dpx", DpxSet(dpx, 812, 5456976)}}, dpx_stamp("p", "f.#.dpx"), kFailed, "dpx/p.0001.dpx: image element 1 (64x48, 3 samples of 8 bits a pixel, with its padding) needs 261944064 bytes"},
    {"dpx rgba descriptor on rgb data", {{"dpx/a.0001.dpx", dpx_rgba}}, dpx_stamp("a", "f.#.exr"), kFailed, "dpx/a.0001.dpx: image element 1 (64x48, 4 samples of 8 bits a pixel, with its padding) needs 12288 bytes"},
    {"exr attribute claims 2 GiB", {{"x/h.0001.exr", samples.exr_huge_claim}}, {"stamp", "x/h.#.exr", "-o", "o/f.#.exr", "-q"}, kFailed, "x/h.0001.exr: EXR attribute \"comments\" (string) claims 2147483647 bytes from byte"},
    {"exr header over its limit", {{"x/b.0001.exr", samples.exr_big_header}}, {"stamp", "x/b.#.exr", "-o", "o/f.#.exr", "-q"}, kFailed, "x/b.0001.exr: the EXR header is over its limit of 4194304 bytes at attribute \"comments\" (string, 4194304 bytes)"},
    {"tiff rows per strip in billions", {{"t/r.0001.tif", samples.tif_tall_strips}}, {"stamp", "t/r.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/r.0001.tif: the TIFF's RowsPerStrip (1296911620) is over its 48 rows"},
    {"tiff tiles billions wide", {{"t/w.0001.tif", samples.tif_wide_tiles}}, {"stamp", "t/w.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/w.0001.tif: the TIFF's TileWidth (1296911620) is over its 64 columns"},
    {"tiff min-is-white of three samples", {{"t/m.0001.tif", samples.tif_min_is_white}}, {"stamp", "t/m.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/m.0001.tif: the TIFF is min-is-white with 3 samples a pixel"},
    {"tiff cmyk of 4 bits", {{"t/k.0001.tif", samples.tif_cmyk_4bit}}, {"stamp", "t/k.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/k.0001.tif: the TIFF is CMYK of 4 bits a sample"},
    {"tiff strip damaged, read whole", {{"t/d.0001.tif", samples.tif_damaged_strip}}, {"stamp", "t/d.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/d.0001.tif: TIFFReadEncodedStrip failed reading line y=0"},
    {"tiff strip past the file's end", {{"t/s.0001.tif", samples.tif_strip_past_end}}, {"stamp", "t/s.#.tif", "-o", "o/f.#.tif", "-q"}, kFailed, "t/s.0001.tif: the TIFF's strip 0 ("},
    {"input frame a FIFO", {{"bad/p.0001.png", kFifo}}, {"stamp", "bad/p.#.png", "-o", "o/f.#.png", "-q"}, kFailed, "bad/p.0001.png: is not a regular file"},
    {"input link loop named as frame", {{"in/shot.0004.png", kLoop}}, stamp, kFailed, "1 of 4 frames unreadable (4), e.g. in/shot.0004.png: Too many levels of symbolic links"},
    {"input link loop skipped", {{"in/shot.0004.png", kLoop}}, {"stamp", "in/shot.#.png", "-o", "o/f.#.png", "-q", "--frames", "1-4", "--skip-bad-frames"}, 0, "frame 4 skipped"},
    {"input folder named as frame", {{"in/shot.0004.png/x", "x"}}, stamp, kFailed, "in/shot.0004.png: is a folder"},
    // ---- option values ----
    {"fps 7", {}, with(stamp, {"--fps", "7"}), kUsage, "frame rate 7 must divide 4800"},
    {"fps 0", {}, with(stamp, {"--fps", "0"}), kUsage, "frame rate 0 must divide 4800"},
    {"fps negative", {}, with(stamp, {"--fps", "-30"}), kUsage, "must divide 4800"},
    {"fps not a number", {}, with(stamp, {"--fps", "thirty"}), kUsage, "--fps"},
    {"clock month 13", {}, with(stamp, {"--clock", "2002-13-01T00:00:00"}), kUsage, "clock"},
    {"clock garbage", {}, with(stamp, {"--clock", "yesterday"}), kUsage, "clock"},
    {"unknown option", {}, with(stamp, {"--bogus"}), kUsage, "--bogus"},
    {"output extension unknown", {}, {"stamp", "in/shot.#.png", "-o", "out/frame.#.xyz"}, kUsage, ".xyz"},
    {"output one file for many", {}, {"stamp", "in/shot.#.png", "-o", "out/one.png"}, kUsage, "names one file for 3 frames; use a frame pattern such as frame.#.png"},
    {"output over the input", {}, {"stamp", "in/shot.#.png", "-o", "in/shot.#.png"}, kUsage, "refusing to write over it"},
    {"output over the scene", {}, {"render", "good.json", "-o", "good.json", "--frames", "1"}, kUsage, ".json"},
    {"render output over its scene", {{"sc.png", R"({"format_version": 1})"}}, {"render", "sc.png", "-o", "sc.png", "--frames", "1", "-q"}, kUsage, "would overwrite the scene file"},
    {"manifest a FIFO", {{"m.json", kFifo}}, with(stamp, {"--manifest", "m.json"}), kUsage, "manifest m.json is not a regular file"},
    {"manifest on standard output", {}, {"stamp", "in/shot.#.png", "-o", "o/f.#.png", "-q", "--manifest", "-"}, 0, "lumatrice: stamped frames 1-3"},
    {"render start not a number", {}, with(stamp, {"--render-start", "first"}), kUsage, "--render-start"},
    {"fps fraction over zero", {}, with(stamp, {"--fps", "24000/0"}), kUsage, "--fps"},
    {"movie codec unknown", {}, {"stamp", "in/shot.#.png", "-o", "o/r.mov", "--codec", "vp9"}, kUsage, "unknown codec \"vp9\"; movies are written as prores, dnxhr or h264"},
    {"movie profile unknown", {}, {"stamp", "in/shot.#.png", "-o", "o/r.mov", "--profile", "ultra"}, kUsage, "unknown prores profile \"ultra\"; prores has hq, proxy, lt, standard, 4444, 4444xq"},
    {"movie container without the codec", {}, {"stamp", "in/shot.#.png", "-o", "o/r.mp4"}, kUsage, "a .mp4 movie cannot hold prores; prores goes into .mov, .mkv"},
    {"movie crf for prores", {}, {"stamp", "in/shot.#.png", "-o", "o/r.mov", "--crf", "20"}, kUsage, "--crf sets H.264's quality"},
    {"movie timecode hour 25", {}, {"stamp", "in/shot.#.png", "-o", "o/r.mov", "--start-timecode", "25:00:00:00"}, kUsage, "timecode \"25:00:00:00\" is not HH:MM:SS:FF"},
    {"movie named with a frame number", {}, {"stamp", "in/shot.#.png", "-o", "o/r.#.mov"}, kUsage, "is a movie, one file for every frame"},
    {"movie options on a sequence", {}, with(stamp, {"--codec", "h264"}), kUsage, "are for movie outputs"},
    // ---- frame patterns ----
    {"frames open range", {}, with(stamp, {"--frames", "1-"}), kUsage, "is not a frame range"},
    {"frames letters", {}, with(stamp, {"--frames", "a-b"}), kUsage, "is not a frame range"},
    {"frames too many", {}, with(render, {"--frames", "1-2000000", "--size", "64x48"}), kUsage, "too many frames (2000000; at most 999999"},
    {"frames beyond time", {}, with(render, {"--frames", "2147483647", "--size", "64x48"}), kFailed, "beyond the host's time range"},
    {"frames out of int", {}, with(render, {"--frames", "9999999999", "--size", "64x48"}), kUsage, "out of range"},
    {"frames empty", {}, with(render, {"--frames", ",", "--size", "64x48"}), kUsage, "frame"},
    {"frames step 0", {}, with(render, {"--frames", "1-100x0", "--size", "64x48"}), kUsage, "\"1-100x0\": the step after x is 0; it must be 1 or more"},
    {"frames step negative", {}, with(render, {"--frames", "1-100x-1", "--size", "64x48"}), kUsage, "\"1-100x-1\": the step after x is -1"},
    // ---- parameter names and values ----
    {"set unknown name", {}, with(stamp, {"--set", "Bogus=on"}), kUsage, "Bogus"},
    {"set bad switch value", {}, with(stamp, {"--set", "Display Header=maybe"}), kUsage, "maybe"},
    {"set without value", {}, with(stamp, {"--set", "Display Header"}), kUsage, "expected NAME=VALUE"},
    {"set without name", {}, with(stamp, {"--set", "=on"}), kUsage, "expected NAME=VALUE"},
    {"scene set bad value", {}, {"scene", "set", "good.json", "Display Date=2"}, kUsage, "Display Date"},
    {"scene set no such effect", {}, {"scene", "set", "good.json", "--effect", "5", "Comments=x"}, kUsage, "no render effect 5"},
    {"scene set key frame text", {}, {"scene", "set", "good.json", "--at", "soon", "Display Date=on"}, kUsage, "--at"},
    {"scene new over a file", {}, {"scene", "new", "good.json"}, kFailed, "already exists"},
    {"scene set missing file", {}, {"scene", "set", "none.json", "Comments=x"}, kFailed, "none.json"},
    // ---- frame sizes ----
    {"size zero wide", {}, with(render, {"--frames", "1", "--size", "0x48"}), kUsage, "size 0x48 has no pixels: each side must be 1 to 65535 pixels"},
    {"size past 65535", {}, with(render, {"--frames", "1", "--size", "65536x2"}), kUsage, "65536x2"},
    {"size 70000 tall", {}, with(render, {"--frames", "1", "--size", "2x70000"}), kUsage, "2x70000"},
    {"size no height", {}, with(render, {"--frames", "1", "--size", "640x"}), kUsage, "640x"},
    {"size negative", {}, with(render, {"--frames", "1", "--size", "-640x480"}), kUsage, "-640x480"},
    {"size text", {}, with(render, {"--frames", "1", "--size", "large"}), kUsage, "large"},
    {"size over the pixel limit", {}, with(render, {"--frames", "1", "--size", "20000x20000"}), kUsage, "size 20000x20000 is over the frame-size limit: at most 268435456 pixels"},
    {"scene new size over the limit", {}, {"scene", "new", "n.json", "--size", "65535x65535"}, kUsage, "over the frame-size limit"},
  };
  // clang-format on
}

bool IsTemporary(const std::string& rel) {
  return lumatrice::IsTemporaryName(fs::path(rel).filename().string());
}

TEST_F(BadInput, EveryRowIsRefusedClearlyAndLosesNothing) {
  const std::vector<Row> rows = Table(samples_);
  ASSERT_GE(rows.size(), 40u);
  // Every row in a folder of its own, a few runs at a time.
  struct Run {
    fs::path dir;
    Snapshot before;
    pid_t pid = -1;
    RunResult result;
  };
  std::vector<Run> runs(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    runs[i].dir = FreshDir("bad_input_row" + std::to_string(i));
    fs::copy(base_, runs[i].dir, fs::copy_options::recursive);
    for (const auto& [name, bytes] : rows[i].files) Place(runs[i].dir / name, bytes);
    if (std::string(rows[i].what) == "input 70000 wide")
      WritePng(runs[i].dir / "wide.png", 9, 70000, 1);
    runs[i].before = Snap(runs[i].dir);
  }
  constexpr std::size_t kInFlight = 4;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i >= kInFlight) runs[i - kInFlight].result = FinishCli(runs[i - kInFlight].pid, runs[i - kInFlight].dir);
    runs[i].pid = SpawnCli(rows[i].args, runs[i].dir);
  }
  for (std::size_t i = rows.size() > kInFlight ? rows.size() - kInFlight : 0; i < rows.size(); ++i)
    runs[i].result = FinishCli(runs[i].pid, runs[i].dir);

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const Run& run = runs[i];
    SCOPED_TRACE(row.what);
    const RunResult& r = run.result;
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos)
        << "stderr lacks \"" << row.message << "\":\n" << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    // One line per message, each the program's own.
    for (std::size_t at = 0; at < r.err.size();) {
      const std::size_t end = r.err.find('\n', at);
      const std::string line = r.err.substr(at, end - at);
      // libpng prints its own errors to stderr, beside the program's message.
      EXPECT_TRUE(line.rfind("lumatrice: ", 0) == 0 || line.rfind("libpng ", 0) == 0)
          << "stray line: " << line;
      at = end == std::string::npos ? r.err.size() : end + 1;
    }
    EXPECT_EQ(r.err.find("ed failed"), std::string::npos) << r.err;

    const Snapshot after = Snap(run.dir);
    for (const auto& [name, bytes] : run.before) {
      // A lock file names its last holder.
      if (lumatrice::OutputLock::IsLockName(fs::path(name).filename())) continue;
      auto it = after.find(name);
      ASSERT_NE(it, after.end()) << name << " was removed";
      EXPECT_TRUE(it->second == bytes) << name << " was changed";
    }
    for (const auto& [name, bytes] : after) {
      if (run.before.count(name) || lumatrice::OutputLock::IsLockName(fs::path(name).filename()))
        continue;
      EXPECT_FALSE(IsTemporary(name)) << "temporary file left: " << name;
      // A frame written before the fault must be whole.
      lumatrice::FrameBuffer frame;
      const lumatrice::Status read = lumatrice::ReadFrame((run.dir / name).string(), frame);
      EXPECT_TRUE(read) << "new file " << name << " is not a whole image: " << read.message();
    }
    if (!HasFailure()) fs::remove_all(run.dir);
  }
}

}  // namespace
