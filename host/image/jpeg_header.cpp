// JPEG headers into FrameSpecs: libjpeg reads the markers up to the first
// scan with the markers the image library keeps, and its reader's warnings
// count as failures, as they do in the library.
#include "jpeg_header.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

struct Errors {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  bool warned = false;
};

struct Reader {
  Errors errors{};
  jpeg_decompress_struct d{};
  bool created = false;
  std::FILE* file = nullptr;
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (created) jpeg_destroy_decompress(&d);
    if (file) std::fclose(file);
  }
};

[[noreturn]] void Fail(j_common_ptr c) { std::longjmp(reinterpret_cast<Errors*>(c->err)->jump, 1); }

void Note(j_common_ptr c, int level) {
  if (level < 0) reinterpret_cast<Errors*>(c->err)->warned = true;
}

// The header up to the first scan, every marker the library reads kept.
// Nothing with a destructor is made after the setjmp.
bool ReadMarkers(Reader& r, const std::byte* data, std::size_t size) {
  r.d.err = jpeg_std_error(&r.errors.mgr);
  r.errors.mgr.error_exit = Fail;
  r.errors.mgr.emit_message = Note;
  if (setjmp(r.errors.jump)) return false;
  jpeg_create_decompress(&r.d);
  r.created = true;
  if (r.file)
    jpeg_stdio_src(&r.d, r.file);
  else
    jpeg_mem_src(&r.d, reinterpret_cast<const unsigned char*>(data), static_cast<unsigned long>(size));
  for (int m = 0; m < 16; ++m) jpeg_save_markers(&r.d, JPEG_APP0 + m, 0xFFFF);
  jpeg_save_markers(&r.d, JPEG_COM, 0xFFFF);
  return jpeg_read_header(&r.d, FALSE) == JPEG_HEADER_OK && !r.errors.warned;
}

// What the library's open does next; for a sequential file whose first
// scan holds every component it reads no scan data.
bool Start(Reader& r) {
  if (setjmp(r.errors.jump)) return false;
  jpeg_start_decompress(&r.d);
  return !r.errors.warned;
}

bool Open(Reader& r, const std::string& path, const std::byte* data, std::size_t size,
          std::string& why) {
  if (!data && !(r.file = std::fopen(path.c_str(), "rb"))) return why = std::strerror(errno), false;
  if (ReadMarkers(r, data, size)) return true;
  why = "the JPEG header cannot be read";
  return false;
}

// The library's name of the chroma subsampling, "" for none it names.
const char* Subsampling(const jpeg_decompress_struct& d) {
  const jpeg_component_info* c = d.comp_info;
  if (c[1].h_samp_factor != 1 || c[1].v_samp_factor != 1 || c[2].h_samp_factor != 1 ||
      c[2].v_samp_factor != 1)
    return "";
  const int h = c[0].h_samp_factor, v = c[0].v_samp_factor;
  return h == 1 && v == 1 ? "4:4:4" : h == 2 && v == 1 ? "4:2:2" : h == 2 && v == 2 ? "4:2:0"
         : h == 4 && v == 1                            ? "4:1:1"
                                                       : "";
}

// An EXIF block whose first directory is empty and links no other, as the
// image library writes one for a frame without EXIF data: it decodes to
// nothing.
bool EmptyExif(const jpeg_saved_marker_ptr m) {
  const std::size_t n = m->data_length;
  if (n < 6 + 8 || std::memcmp(m->data, "Exif\0\0", 6) != 0) return false;
  const unsigned char* p = m->data + 6;
  const bool big = p[0] == 'M' && p[1] == 'M';
  if (!big && !(p[0] == 'I' && p[1] == 'I')) return false;
  auto u16 = [&](std::size_t at) { return big ? p[at] << 8 | p[at + 1] : p[at + 1] << 8 | p[at]; };
  auto u32 = [&](std::size_t at) {
    return big ? std::size_t(u16(at)) << 16 | std::size_t(u16(at + 2))
               : std::size_t(u16(at + 2)) << 16 | std::size_t(u16(at));
  };
  const std::size_t ifd = u32(4);
  return u16(2) == 42 && ifd <= n - 6 - 6 && u16(ifd) == 0 && u32(ifd + 2) == 0;
}

// The markers' texts; false for a marker the library decodes into
// attributes of its own, or a comment it would keep with a zero byte.
bool Texts(const jpeg_decompress_struct& d, FrameSpec& spec, std::string& why) {
  spec.SetText("oiio:ColorSpace", "sRGB");
  if (*Subsampling(d)) spec.SetText("jpeg:subsampling", Subsampling(d));
  for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
    if (m->marker != JPEG_COM) {
      if (m->marker != JPEG_APP0 && m->marker != JPEG_APP0 + 14 &&
          !(m->marker == JPEG_APP0 + 1 && EmptyExif(m)))
        return why = "EXIF, XMP, ICC or other application markers", false;
      continue;
    }
    if (spec.Text("ImageDescription")) continue;
    const std::string text(reinterpret_cast<const char*>(m->data), m->data_length);
    if (text.find('\0') != std::string::npos) return why = "a comment holding a zero byte", false;
    spec.SetText("ImageDescription", text);
  }
  static const char* const kUnits[] = {"none", "in", "cm"};
  if (d.X_density > 1 && d.Y_density > 1 && d.density_unit < 3)
    spec.SetText("ResolutionUnit", kUnits[d.density_unit]);
  return true;
}

}  // namespace

bool DescribeJpeg(const std::string& path, const std::byte* data, std::size_t size,
                  FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Reader r;
  if (!Open(r, path, data, size, why)) return false;
  const jpeg_decompress_struct& d = r.d;
  if (d.data_precision != 8 || d.num_components != 3 ||
      (d.jpeg_color_space != JCS_YCbCr && d.jpeg_color_space != JCS_RGB))
    return why = "not 8-bit YCbCr or RGB", false;
  if (d.progressive_mode || d.arith_code || d.comps_in_scan != d.num_components)
    return why = "not one sequential interleaved scan", false;
  if (!Texts(d, spec, why)) return false;
  if (!Start(r)) return why = "the JPEG header cannot be read", false;
  spec.width = spec.full_width = int(d.output_width);
  spec.height = spec.full_height = int(d.output_height);
  spec.channel_names = {"R", "G", "B"};
  spec.channel_types.assign(3, TypeDesc::UINT8);
  return true;
}

bool JpegShape(const std::string& path, FrameSpec& spec, std::string& why) {
  spec = FrameSpec{};
  Reader r;
  if (!Open(r, path, nullptr, 0, why)) return false;
  const jpeg_decompress_struct& d = r.d;
  // CMYK and YCCK files are read as RGB.
  const bool cmyk = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
  spec.width = spec.full_width = int(d.image_width);
  spec.height = spec.full_height = int(d.image_height);
  for (int c = 0; c < (cmyk ? 3 : d.num_components); ++c) {
    spec.channel_names.push_back(std::to_string(c));
    spec.channel_types.push_back(TypeDesc::UINT8);
  }
  return true;
}

}  // namespace lumatrice
