// Spliced JPEG writes: a lazy frame decodes as the image library decodes the
// whole file, a stamp keeps the DCT coefficients of every MCU it did not
// touch (read back through libjpeg's coefficient API), draws its captions as
// the whole-frame path does within JPEG's loss, and keeps every marker. A
// file without EXIF or ICC data is described by libjpeg as the library
// describes it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <jpeglib.h>

#include "described.h"
#include "image_io.h"

using namespace lumatrice;
namespace fs = std::filesystem;

namespace {

constexpr int kW = 100, kH = 70;
constexpr const char* kDescription = "Lumatrice:Marker {}";
// EXIF with one IFD0 entry (Make "Tst"), and an ICC profile's first chunk.
const unsigned char kExif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                               0x0F, 0x01, 2, 0, 4, 0, 0, 0, 'T', 's', 't', 0, 0, 0, 0, 0};
const unsigned char kIcc[] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0,
                              1, 1, 'p', 'r', 'o', 'f'};

struct Case {
  const char* name;
  int components;
  int h, v;  // luma sampling
  bool progressive;
  int restart;  // MCU rows between restart markers
  bool markers = true;  // EXIF, ICC and a comment ending in a zero byte
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

struct Coefs {
  std::vector<std::vector<JCOEF>> comp;  // block by block, row by row
  std::vector<int> wide, h, v;           // blocks per row, sampling
  std::vector<std::pair<int, std::vector<unsigned char>>> markers;
};

void WriteInput(const Case& c, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = kW;
  cinfo.image_height = kH;
  cinfo.input_components = c.components;
  cinfo.in_color_space = c.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 80, TRUE);
  cinfo.comp_info[0].h_samp_factor = c.h;
  cinfo.comp_info[0].v_samp_factor = c.v;
  cinfo.restart_in_rows = c.restart;
  if (c.progressive) jpeg_simple_progression(&cinfo);
  if (!c.markers) {
    cinfo.density_unit = 1;  // dots per inch
    cinfo.X_density = cinfo.Y_density = 72;
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (c.markers) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, kExif, sizeof kExif);
    jpeg_write_marker(&cinfo, JPEG_APP0 + 2, kIcc, sizeof kIcc);
  }
  const char comment[] = "before";
  jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment),
                    sizeof comment - (c.markers ? 0 : 1));
  std::vector<unsigned char> row(std::size_t(kW * c.components));
  for (int y = 0; y < kH; ++y) {
    for (std::size_t i = 0; i < row.size(); ++i)
      row[i] = static_cast<unsigned char>(40 + (int(i) * 3 + y * 2) % 150 + (i * 7919 + unsigned(y) * 31) % 13);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&cinfo, &p, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(f);
}

Coefs ReadCoefs(const std::string& path) {
  Coefs out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, f);
  jpeg_save_markers(&d, JPEG_COM, 0xFFFF);
  for (int i = 0; i < 16; ++i) jpeg_save_markers(&d, JPEG_APP0 + i, 0xFFFF);
  jpeg_read_header(&d, TRUE);
  for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next)
    out.markers.push_back({m->marker, {m->data, m->data + m->data_length}});
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
  for (int ci = 0; ci < d.num_components; ++ci) {
    const jpeg_component_info& comp = d.comp_info[ci];
    out.wide.push_back(int(comp.width_in_blocks));
    out.h.push_back(d.num_components == 1 ? 1 : comp.h_samp_factor);
    out.v.push_back(d.num_components == 1 ? 1 : comp.v_samp_factor);
    std::vector<JCOEF> all;
    for (JDIMENSION by = 0; by < comp.height_in_blocks; ++by) {
      JBLOCKARRAY row = d.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d),
                                                  arrays[ci], by, 1, FALSE);
      for (JDIMENSION bx = 0; bx < comp.width_in_blocks; ++bx)
        all.insert(all.end(), row[0][bx], row[0][bx] + DCTSIZE2);
    }
    out.comp.push_back(std::move(all));
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  std::fclose(f);
  return out;
}

// Caption-like text: light strokes on a dark box, rows 40-51, columns 18-57.
void Paint(FrameBuffer& frame) {
  FrameStorage storage(&frame);
  std::vector<BMM_Color_64> row(40);
  for (int y = 40; y < 52; ++y) {
    for (int x = 0; x < 40; ++x) {
      const unsigned short v = (x / 2 + y) % 3 == 0 ? 0xFFFF : 0x3C3C;
      row[std::size_t(x)] = BMM_Color_64{v, v, v, 0xFFFF};
    }
    storage.PutPixels(18, y, int(row.size()), row.data());
  }
  frame.spec().attribute("ImageDescription", kDescription);
}

class JpegSpliceTest : public ::testing::TestWithParam<Case> {};

TEST_P(JpegSpliceTest, KeepsUntouchedCoefficientsAndMarkers) {
  const Case& c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) /
                       ("jpeg-" + std::string(c.name) + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.jpg").string();
  WriteInput(c, in);

  // Lazy rows, bottom band first (the decoder restarts), read as the image
  // library reads the whole file.
  FrameBuffer whole, lazy;
  ASSERT_EQ(ReadFrame(in, whole).message(), "");
  ASSERT_EQ(ReadFrame(in, lazy, true).message(), "");
  ASSERT_NE(lazy.blocks(), nullptr);
  EXPECT_EQ(lazy.has_spec(), c.markers || c.progressive || c.components == 1);
  EXPECT_EQ(Described(lazy.desc()), Described(whole.desc()));
  FrameStorage ws(&whole), ls(&lazy);
  std::vector<BMM_Color_64> a(kW), b(kW);
  for (int y : {kH - 1, 3, 40, 39, 69, 0}) {
    ws.GetPixels(0, y, kW, a.data());
    ls.GetPixels(0, y, kW, b.data());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]), 0) << "row " << y;
  }

  Paint(lazy);
  const std::string out = (dir / "out.jpg").string(), full = (dir / "full.jpg").string();
  WriteReport report;
  ASSERT_EQ(WriteFrame(out, lazy, {}, &report).message(), "");
  EXPECT_TRUE(report.spliced);
  ASSERT_EQ(WriteFrame(full, lazy, WriteOptions{nullptr, false, ""}).message(), "");

  const Coefs before = ReadCoefs(in), after = ReadCoefs(out);
  ASSERT_EQ(after.comp.size(), before.comp.size());
  const int mcu_w = 8 * (c.components == 1 ? 1 : c.h), mcu_h = 8 * (c.components == 1 ? 1 : c.v);
  int kept = 0, recoded = 0;
  for (std::size_t ci = 0; ci < before.comp.size(); ++ci) {
    ASSERT_EQ(after.comp[ci].size(), before.comp[ci].size());
    const int blocks = int(before.comp[ci].size()) / DCTSIZE2;
    for (int k = 0; k < blocks; ++k) {
      const int bx = k % before.wide[ci], by = k / before.wide[ci];
      const int mx = bx / before.h[ci], my = by / before.v[ci];
      // The MCU's pixels meet the caption's rows 40-51, columns 18-57.
      const bool touched = my * mcu_h <= 51 && (my + 1) * mcu_h > 40 && mx * mcu_w <= 57 &&
                           (mx + 1) * mcu_w > 18;
      const bool same = std::memcmp(&before.comp[ci][std::size_t(k) * DCTSIZE2],
                                    &after.comp[ci][std::size_t(k) * DCTSIZE2],
                                    DCTSIZE2 * sizeof(JCOEF)) == 0;
      if (!touched) {
        EXPECT_TRUE(same) << "component " << ci << " block " << bx << "," << by;
      }
      kept += same;
      recoded += !same;
    }
  }
  EXPECT_GT(recoded, 0);
  EXPECT_EQ(report.blocks.copied + report.blocks.encoded, lazy.blocks()->count());

  // The captions as the whole path draws them, within JPEG's loss.
  FrameBuffer mine, theirs;
  ASSERT_EQ(ReadFrame(out, mine).message(), "");
  ASSERT_EQ(ReadFrame(full, theirs).message(), "");
  double sum = 0;
  int n = 0;
  for (int y = 40; y < 52; ++y)
    for (int x = 18 * c.components; x < 58 * c.components; ++x, ++n)
      sum += std::abs(int(std::to_integer<int>(mine.row(y)[x])) -
                      int(std::to_integer<int>(theirs.row(y)[x])));
  EXPECT_LT(sum / n, 8.0);
  EXPECT_EQ(mine.spec().get_string_attribute("ImageDescription"), kDescription);

  // Every marker as it was, the comment replaced by the description.
  ASSERT_EQ(after.markers.size(), before.markers.size());
  for (std::size_t i = 0; i < before.markers.size(); ++i) {
    EXPECT_EQ(after.markers[i].first, before.markers[i].first);
    if (before.markers[i].first != JPEG_COM) {
      EXPECT_EQ(after.markers[i].second, before.markers[i].second) << "marker " << i;
    }
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Layouts, JpegSpliceTest,
                         ::testing::Values(Case{"yuv420", 3, 2, 2, false, 0},
                                           Case{"yuv444progressive", 3, 1, 1, true, 0},
                                           Case{"yuv422restart", 3, 2, 1, false, 1},
                                           Case{"grey", 1, 1, 1, false, 0},
                                           Case{"yuv420plain", 3, 2, 2, false, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
