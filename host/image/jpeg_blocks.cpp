// JPEG frames as MCUs through libjpeg: pixels decoded band by band on
// demand, a write that copies the coefficients of unchanged MCUs and codes
// only the changed ones again.
#include "jpeg_blocks.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <jpeglib.h>

#include "out_file.h"
#include "frame_buffer.h"

namespace lumatrice {
namespace {

constexpr const char* kDescription = "ImageDescription";
constexpr std::size_t kOutChunk = 1 << 16;

// libjpeg reports errors by calling error_exit, which must not return: it
// jumps back to the setjmp of the call that armed the trap. Functions that
// arm one create no object with a destructor after their setjmp.
struct Trap {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void Jump(j_common_ptr c) {
  Trap* trap = reinterpret_cast<Trap*>(c->err);
  c->err->format_message(c, trap->message);
  std::longjmp(trap->jump, 1);
}

jpeg_error_mgr* Arm(Trap& trap) {
  jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = Jump;
  trap.mgr.emit_message = [](j_common_ptr, int) {};  // warnings stay quiet
  trap.message[0] = 0;
  return &trap.mgr;
}

const unsigned char* Bytes(const std::vector<std::byte>& v) {
  return reinterpret_cast<const unsigned char*>(v.data());
}

// Whether the first (IFD0) directory of an EXIF block names a description
// (tag 270), which the image library reads in place of the comment.
bool ExifDescribes(const unsigned char* p, std::size_t n) {
  if (n < 14 || std::memcmp(p, "Exif\0\0", 6) != 0) return false;
  p += 6, n -= 6;
  const bool big = p[0] == 'M';
  auto u16 = [&](std::size_t at) { return big ? p[at] << 8 | p[at + 1] : p[at + 1] << 8 | p[at]; };
  auto u32 = [&](std::size_t at) {
    return big ? std::size_t(u16(at)) << 16 | std::size_t(u16(at + 2))
               : std::size_t(u16(at + 2)) << 16 | std::size_t(u16(at));
  };
  const std::size_t ifd = u32(4);
  if (ifd + 2 > n) return false;
  const int entries = u16(ifd);
  for (int i = 0; i < entries && ifd + 2 + 12 * std::size_t(i + 1) <= n; ++i)
    if (u16(ifd + 2 + 12 * std::size_t(i)) == 270) return true;
  return false;
}

// Compressed bytes out through the checked file, a chunk at a time.
struct FileDest {
  jpeg_destination_mgr mgr;
  OutFile* file;
  unsigned char buffer[kOutChunk];
  bool failed;
};

void DestInit(j_compress_ptr c) {
  FileDest* d = reinterpret_cast<FileDest*>(c->dest);
  d->mgr.next_output_byte = d->buffer;
  d->mgr.free_in_buffer = kOutChunk;
}

boolean DestFlush(j_compress_ptr c) {
  FileDest* d = reinterpret_cast<FileDest*>(c->dest);
  if (d->file->write(d->buffer, kOutChunk) != kOutChunk) d->failed = true;
  DestInit(c);
  return TRUE;
}

void DestTerm(j_compress_ptr c) {
  FileDest* d = reinterpret_cast<FileDest*>(c->dest);
  const std::size_t n = kOutChunk - d->mgr.free_in_buffer;
  if (n && d->file->write(d->buffer, n) != n) d->failed = true;
}

class JpegBlocks final : public BlockFile {
 public:
  explicit JpegBlocks(const std::vector<std::byte>& bytes) : bytes_(bytes) {}
  ~JpegBlocks() override {
    if (open_) jpeg_destroy_decompress(&pix_);
  }

  bool Open(const FrameBuffer& frame, std::string& why);
  const char* format() const override { return "jpeg"; }
  bool Decode(int b, FrameBuffer& frame, std::string& error) const override;
  Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                const std::vector<HeaderChange>& header, OutFile& file,
                const std::atomic<bool>* cancel, SpliceCounts& counts) const override {
    std::string error;
    if (SpliceBytes(frame, changed, header, file, cancel, counts, error)) return Status::Ok();
    if (cancel && cancel->load()) return Status::Cancelled();
    return {StatusKind::kIo, error};
  }
  bool SpliceBytes(const FrameBuffer& frame, const std::vector<char>& changed,
                   const std::vector<HeaderChange>& header, OutFile& file,
                   const std::atomic<bool>* cancel, SpliceCounts& counts,
                   std::string& error) const;
  bool HeaderChanges(const FrameBuffer& frame,
                     std::vector<HeaderChange>& changes) const override;

 private:
  // Decodes MCU row r's pixels into bands_[r] with the one decoder kept
  // open, which restarts only when asked for a band above its position.
  bool DecodeBand(int r, std::string& error) const;
  // The frame's pixels of MCUs [c0, c1) in MCU row r coded with the file's
  // tables; the coefficients of those `changed` put in place of the
  // source's in `coefs`.
  bool Recode(const FrameBuffer& frame, int r, int c0, int c1, const char* changed,
              jpeg_decompress_struct& src, jvirt_barray_ptr* coefs, std::string& error) const;
  bool WriteOut(jpeg_decompress_struct& src, jvirt_barray_ptr* coefs,
                const std::vector<HeaderChange>& header, OutFile& file,
                std::string& error) const;

  const std::vector<std::byte>& bytes_;
  int channels_ = 3;
  bool describable_ = false;  // a new description may go into the first comment
  mutable std::mutex mutex_;
  mutable std::vector<std::vector<unsigned char>> bands_;
  mutable jpeg_decompress_struct pix_{};
  mutable Trap pix_trap_{};
  mutable bool open_ = false;
};

bool JpegBlocks::Open(const FrameBuffer& frame, std::string& why) {
  TakeSource(frame);
  const std::string description = source.Text(kDescription) ? *source.Text(kDescription) : std::string();
  Trap trap;
  jpeg_decompress_struct d{};
  d.err = Arm(trap);
  if (setjmp(trap.jump)) {
    jpeg_destroy_decompress(&d);
    why = trap.message;
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, Bytes(bytes_), static_cast<unsigned long>(bytes_.size()));
  jpeg_save_markers(&d, JPEG_COM, 0xFFFF);
  jpeg_save_markers(&d, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&d, TRUE);
  const int n = d.num_components;
  const J_COLOR_SPACE cs = d.jpeg_color_space;
  const bool layout = d.data_precision == 8 &&
                      ((n == 1 && cs == JCS_GRAYSCALE) ||
                       (n == 3 && (cs == JCS_YCbCr || cs == JCS_RGB)));
  const bool fits = int(d.image_width) == frame.width() && int(d.image_height) == frame.height() &&
                    frame.channels() == n && frame.type() == OIIO::TypeDesc::UINT8;
  bool exif_described = false;
  for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 + 1) exif_described |= ExifDescribes(m->data, m->data_length);
  }
  // The library reads the first comment unless the EXIF block describes.
  bool same = description.empty();
  for (jpeg_saved_marker_ptr m = d.marker_list; m && !same; m = m->next) {
    if (m->marker != JPEG_COM) continue;
    std::size_t len = m->data_length;
    while (len && m->data[len - 1] == 0) --len;
    same = len == description.size() && std::memcmp(m->data, description.data(), len) == 0;
    break;
  }
  describable_ = same && !exif_described;
  channels_ = n;
  block_w = n == 1 ? DCTSIZE : d.max_h_samp_factor * DCTSIZE;
  block_h = n == 1 ? DCTSIZE : d.max_v_samp_factor * DCTSIZE;
  jpeg_destroy_decompress(&d);
  if (!layout) return why = "not 8-bit grey, YCbCr or RGB", false;
  if (!fits) return why = "the frame's layout differs from the file's", false;
  blocks_x = (frame.width() + block_w - 1) / block_w;
  blocks_y = (frame.height() + block_h - 1) / block_h;
  bands_.resize(std::size_t(blocks_y));
  return true;
}

bool JpegBlocks::DecodeBand(int r, std::string& error) const {
  jpeg_decompress_struct& d = pix_;
  std::vector<unsigned char>& band = bands_[std::size_t(r)];
  const int y0 = r * block_h;
  const int y1 = std::min<int>(y0 + block_h, source.height);
  const std::size_t row = std::size_t(source.width) * std::size_t(channels_);
  band.resize(row * std::size_t(y1 - y0));
  if (setjmp(pix_trap_.jump)) {
    jpeg_destroy_decompress(&d);
    open_ = false;
    error = std::string("MCU row ") + std::to_string(r) + ": " + pix_trap_.message;
    return false;
  }
  if (open_ && int(d.output_scanline) > y0) {
    jpeg_destroy_decompress(&d);
    open_ = false;
  }
  if (!open_) {
    d = jpeg_decompress_struct{};
    d.err = Arm(pix_trap_);
    jpeg_create_decompress(&d);
    open_ = true;
    jpeg_mem_src(&d, Bytes(bytes_), static_cast<unsigned long>(bytes_.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = channels_ == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
  }
  if (int(d.output_scanline) < y0) jpeg_skip_scanlines(&d, JDIMENSION(y0) - d.output_scanline);
  while (int(d.output_scanline) < y1) {
    JSAMPROW out = band.data() + row * std::size_t(int(d.output_scanline) - y0);
    jpeg_read_scanlines(&d, &out, 1);
  }
  return true;
}

bool JpegBlocks::Decode(int b, FrameBuffer& frame, std::string& error) const {
  std::lock_guard lock(mutex_);
  const int r = b / blocks_x, c = b % blocks_x;
  if (bands_[std::size_t(r)].empty() && !DecodeBand(r, error)) return false;
  const std::vector<unsigned char>& band = bands_[std::size_t(r)];
  const std::size_t px = std::size_t(channels_);
  const std::size_t row = std::size_t(frame.width()) * px;
  const int x0 = c * block_w, x1 = std::min(x0 + block_w, frame.width());
  const int y0 = r * block_h, rows = int(band.size() / row);
  for (int y = 0; y < rows; ++y)
    std::memcpy(frame.row(y0 + y) + std::size_t(x0) * px, &band[row * std::size_t(y) + std::size_t(x0) * px],
                std::size_t(x1 - x0) * px);
  return true;
}

bool JpegBlocks::HeaderChanges(const FrameBuffer& frame,
                               std::vector<HeaderChange>& changes) const {
  std::vector<HeaderChange> texts;
  if (!ChangedTexts(*this, frame, texts)) return false;
  changes.clear();
  for (HeaderChange& t : texts) {
    if (t.name == kDescription && describable_)
      changes.push_back(std::move(t));
    else if (t.name.rfind(kOurPrefix, 0) != 0)  // ours travel in the description
      return false;
  }
  return true;
}

bool JpegBlocks::Recode(const FrameBuffer& frame, int r, int c0, int c1, const char* changed,
                        jpeg_decompress_struct& src, jvirt_barray_ptr* coefs,
                        std::string& error) const {
  const int x0 = c0 * block_w, x1 = std::min(c1 * block_w, frame.width());
  const int y0 = r * block_h, y1 = std::min(y0 + block_h, frame.height());
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  Trap trap;
  jpeg_compress_struct c{};
  jpeg_decompress_struct d{};
  c.err = Arm(trap);
  d.err = &trap.mgr;
  if (setjmp(trap.jump)) {
    jpeg_destroy_compress(&c);
    jpeg_destroy_decompress(&d);
    std::free(buffer);
    error = std::string("coding MCU row ") + std::to_string(r) + ": " + trap.message;
    return false;
  }
  // The band as a file of its own with the source's tables and sampling:
  // colour conversion, downsampling and the DCT all stay within an MCU, so
  // its blocks are what the source's coder makes of these pixels.
  jpeg_create_compress(&c);
  jpeg_create_decompress(&d);
  jpeg_copy_critical_parameters(&src, &c);
  c.image_width = JDIMENSION(x1 - x0);
  c.image_height = JDIMENSION(y1 - y0);
  c.in_color_space = channels_ == 1 ? JCS_GRAYSCALE : JCS_RGB;
  c.input_components = channels_;
  c.dct_method = JDCT_ISLOW;
  jpeg_mem_dest(&c, &buffer, &size);
  jpeg_start_compress(&c, TRUE);
  const std::size_t px = std::size_t(channels_);
  for (int y = y0; y < y1; ++y) {
    // libjpeg takes rows as non-const; it only reads them.
    JSAMPROW in = reinterpret_cast<JSAMPROW>(const_cast<std::byte*>(frame.row(y))) +
                  std::size_t(x0) * px;
    jpeg_write_scanlines(&c, &in, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_mem_src(&d, buffer, size);
  jpeg_read_header(&d, TRUE);
  jvirt_barray_ptr* mine = jpeg_read_coefficients(&d);
  for (int ci = 0; ci < src.num_components; ++ci) {
    const jpeg_component_info& comp = src.comp_info[ci];
    const int h = channels_ == 1 ? 1 : comp.h_samp_factor;
    const int v = channels_ == 1 ? 1 : comp.v_samp_factor;
    const int mine_w = int(d.comp_info[ci].width_in_blocks);
    const int mine_h = int(d.comp_info[ci].height_in_blocks);
    for (int by = 0; by < v && by < mine_h; ++by) {
      JBLOCKARRAY to = src.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&src),
                                                   coefs[ci], JDIMENSION(r * v + by), 1, TRUE);
      JBLOCKARRAY from = d.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d),
                                                   mine[ci], JDIMENSION(by), 1, FALSE);
      for (int k = c0; k < c1; ++k)
        if (changed[k] && (k - c0) * h < mine_w)
          std::memcpy(to[0][k * h], from[0][(k - c0) * h], std::size_t(h) * sizeof(JBLOCK));
    }
  }
  jpeg_destroy_decompress(&d);
  jpeg_destroy_compress(&c);
  std::free(buffer);
  return true;
}

bool JpegBlocks::WriteOut(jpeg_decompress_struct& src, jvirt_barray_ptr* coefs,
                          const std::vector<HeaderChange>& header, OutFile& file,
                          std::string& error) const {
  const HeaderChange* text = header.empty() ? nullptr : &header.front();
  Trap trap;
  jpeg_compress_struct c{};
  c.err = Arm(trap);
  FileDest dest;
  if (setjmp(trap.jump)) {
    jpeg_destroy_compress(&c);
    error = trap.message;
    return false;
  }
  jpeg_create_compress(&c);
  dest.mgr.init_destination = DestInit;
  dest.mgr.empty_output_buffer = DestFlush;
  dest.mgr.term_destination = DestTerm;
  dest.file = &file;
  dest.failed = false;
  c.dest = &dest.mgr;
  jpeg_copy_critical_parameters(&src, &c);
  // Every marker goes back as it was read, JFIF and Adobe ones included.
  c.write_JFIF_header = FALSE;
  c.write_Adobe_marker = FALSE;
  c.optimize_coding = TRUE;
  c.arith_code = src.arith_code;
  c.restart_interval = src.restart_interval;
  if (src.progressive_mode) jpeg_simple_progression(&c);
  jpeg_write_coefficients(&c, coefs);
  bool described = !text;
  auto describe = [&] {
    // As the image library writes it: the text and its terminating NUL.
    jpeg_write_marker(&c, JPEG_COM, reinterpret_cast<const JOCTET*>(text->value.c_str()),
                      unsigned(text->value.size() + 1));
    described = true;
  };
  for (jpeg_saved_marker_ptr m = src.marker_list; m; m = m->next) {
    if (m->marker == JPEG_COM && !described) {
      describe();
      continue;
    }
    jpeg_write_marker(&c, m->marker, m->data, m->data_length);
  }
  if (!described) describe();
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  if (dest.failed) error = file.Failure().empty() ? "write failed" : file.Failure();
  return !dest.failed;
}

bool JpegBlocks::SpliceBytes(const FrameBuffer& frame, const std::vector<char>& changed,
                             const std::vector<HeaderChange>& header, OutFile& file,
                             const std::atomic<bool>* cancel, SpliceCounts& counts,
                             std::string& error) const {
  Trap trap;
  jpeg_decompress_struct src{};
  src.err = Arm(trap);
  if (setjmp(trap.jump)) {
    jpeg_destroy_decompress(&src);
    error = trap.message;
    return false;
  }
  jpeg_create_decompress(&src);
  jpeg_mem_src(&src, Bytes(bytes_), static_cast<unsigned long>(bytes_.size()));
  jpeg_save_markers(&src, JPEG_COM, 0xFFFF);
  for (int i = 0; i < 16; ++i) jpeg_save_markers(&src, JPEG_APP0 + i, 0xFFFF);
  jpeg_read_header(&src, TRUE);
  jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
  bool ok = true;
  counts = SpliceCounts{};
  for (int r = 0; ok && r < blocks_y; ++r) {
    const char* row = &changed[std::size_t(r * blocks_x)];
    int c0 = 0;
    while (c0 < blocks_x && !row[c0]) ++c0;
    if (c0 == blocks_x) continue;
    int c1 = blocks_x;
    while (!row[c1 - 1]) --c1;
    if (cancel && cancel->load()) {
      error = "cancelled";
      ok = false;
      break;
    }
    ok = Recode(frame, r, c0, c1, row, src, coefs, error);
    counts.encoded += int(std::count(row + c0, row + c1, 1));
  }
  counts.copied = count() - counts.encoded;
  ok = ok && WriteOut(src, coefs, header, file, error);
  jpeg_destroy_decompress(&src);
  return ok;
}

}  // namespace

std::unique_ptr<BlockFile> OpenJpegBlocks(const std::vector<std::byte>& bytes,
                                          const FrameBuffer& frame, std::string& why) {
  auto blocks = std::make_unique<JpegBlocks>(bytes);
  if (!blocks->Open(frame, why)) return nullptr;
  return blocks;
}

}  // namespace lumatrice
