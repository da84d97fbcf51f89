// EXR chunks in and out through OpenEXR's core library, over the file's
// bytes in memory or read from the open file; changed chunks compressed on
// several threads, written in order, unchanged ones copied in the kernel.
#include "exr_blocks.h"

#include <algorithm>
#include <cstring>

#include <OpenEXR/openexr.h>

#include "block_encoder.h"
#include "frame_buffer.h"
#include "input_file.h"
#include "out_file.h"

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

// OpenImageIO writes zip (and DWA's zip stage) at level 4, the core library
// at zlib's 6, which takes twice as long for chunks 2 % smaller. Changed
// chunks take the whole path's level, so they cost what they would there.
constexpr int kZipLevel = 4;

void Quiet(exr_const_context_t, exr_result_t, const char*) {}

// The file's bytes: `data` in memory, or the open `file`.
struct Memory {
  const std::byte* data = nullptr;
  std::uint64_t size = 0;
  const InputFile* file = nullptr;
};

int64_t ReadMemory(exr_const_context_t, void* user, void* buffer, uint64_t size, uint64_t offset,
                   exr_stream_error_func_ptr_t) {
  const auto* m = static_cast<const Memory*>(user);
  if (offset >= m->size) return 0;
  const uint64_t n = std::min(size, m->size - offset);
  // A short read is passed on as one (the core library sizes a memset by a
  // negative count); the input notes it, and a decode that read past the
  // file's new end fails, where the core would take the missing bytes as
  // zeros.
  if (m->file) return int64_t(m->file->ReadAt(offset, buffer, std::size_t(n)));
  std::memcpy(buffer, m->data + offset, n);
  return int64_t(n);
}

int64_t MemorySize(exr_const_context_t, void* user) {
  return int64_t(static_cast<const Memory*>(user)->size);
}

// The output, and the input whose stored chunks it copies: a write of the
// names of the input's bytes is a copy from its descriptor, as is the write
// of `leader`, the bytes the input holds at `leader_from`. Copies that join
// up are held and made as one: a run of unchanged chunks, leaders included,
// is one copy in the kernel.
struct Sink {
  OutFile* file;
  const InputFile* in;
  std::byte leader[8] = {};
  std::size_t leader_size = 0;
  std::uint64_t leader_from = 0;
  std::uint64_t from = 0, at = 0, size = 0;  // the copy held

  bool Flush() {
    if (size == 0) return true;
    const std::size_t n = file->CopyFrom(in->fd(), int64_t(from), std::size_t(size), int64_t(at));
    if (n < size && file->Failure().empty()) in->NoteShort();
    const bool ok = n == size;
    size = 0;
    return ok;
  }
  bool Hold(std::uint64_t in_at, std::uint64_t out_at, std::uint64_t n) {
    if (size > 0 && from + size == in_at && at + size == out_at) return size += n, true;
    if (!Flush()) return false;
    from = in_at, at = out_at, size = n;
    return true;
  }
};

int64_t WriteChecked(exr_const_context_t, void* user, const void* buffer, uint64_t size,
                     uint64_t offset, exr_stream_error_func_ptr_t) {
  auto* sink = static_cast<Sink*>(user);
  std::uint64_t from = 0;
  bool copy = sink->in && sink->in->Holds(buffer, size, from);
  if (!copy && size == sink->leader_size && std::memcmp(buffer, sink->leader, size) == 0) {
    copy = true;
    from = sink->leader_from;
  }
  sink->leader_size = 0;
  if (copy) return sink->Hold(from, offset, size) ? int64_t(size) : -1;
  if (!sink->Flush()) return -1;
  return sink->file->pwrite(buffer, size, int64_t(offset)) == size ? int64_t(size) : -1;
}

// The leader the core library writes before a scanline chunk's data: its
// first line and size, little-endian. A read checked the input's (the last
// 8 bytes before its data) against the same.
void ScanlineLeader(int y, std::uint64_t size, std::byte (&leader)[8]) {
  const std::uint32_t words[2] = {std::uint32_t(y), std::uint32_t(size)};
  for (int i = 0; i < 8; ++i) leader[i] = std::byte(words[i / 4] >> (8 * (i % 4)) & 0xFF);
}

exr_pixel_type_t PixelType(TypeDesc t) {
  if (t == TypeDesc::HALF) return EXR_PIXEL_HALF;
  if (t == TypeDesc::FLOAT) return EXR_PIXEL_FLOAT;
  return EXR_PIXEL_LAST_TYPE;
}

std::string Why(exr_result_t rv) { return exr_get_default_error_message(rv); }

class ExrBlocks final : public BlockFile {
 public:
  ~ExrBlocks() override {
    if (in_) exr_finish(&in_);
  }

  // Over the file's bytes in memory, or (`input` set) the open file.
  bool Open(const std::string& path, const std::vector<std::byte>* bytes,
            std::shared_ptr<const InputFile> input, const FrameBuffer& frame, std::string& why);
  const char* format() const override { return "openexr"; }
  bool Decode(int b, FrameBuffer& frame, std::string& error) const override;
  Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                const std::vector<HeaderChange>& header, OutFile& file,
                const std::atomic<bool>* cancel, SpliceCounts& counts) const override;
  bool HeaderChanges(const FrameBuffer& frame,
                     std::vector<HeaderChange>& changes) const override;
  bool ReadBytes(std::vector<std::byte>& bytes) const override {
    return input_ && input_->ReadAll(bytes);
  }
  // A copy (the prepended slate) splices too, its alike blocks coded once.
  // A view over the open file shares its descriptor.
  std::unique_ptr<BlockFile> Reopen(const std::vector<std::byte>& bytes,
                                    const FrameBuffer& frame) const override {
    auto file = std::make_unique<ExrBlocks>();
    std::string why;
    if (!file->Open(path_, input_ ? nullptr : &bytes, input_, frame, why)) return nullptr;
    file->source = source;
    file->source_spec = source_spec;
    return file;
  }

 private:
  // The checks of Open: one flat scanline part the core library can code
  // back, with the frame's channels and size.
  bool CheckLayout(const FrameBuffer& frame, std::string& why);
  // The block grid and every chunk's place in the file.
  bool MapChunks(const FrameBuffer& frame, std::string& why);
  // The output's one part with the input's header and `header` set on it.
  exr_result_t StartPart(exr_context_t out, const std::vector<HeaderChange>& header, int& part,
                         std::string& stage) const;
  // Where channel `name`'s sample of the pixel at file coordinates (x, y)
  // sits in the frame.
  std::size_t Offset(const FrameBuffer& frame, const char* name, int x, int y) const;
  void Point(exr_coding_channel_info_t& c, const FrameBuffer& frame, const exr_chunk_info_t& ci,
             std::byte* base) const;
  Status StartWrite(exr_context_t& out, int& part, const std::vector<HeaderChange>& header,
                    Sink& sink) const;
  exr_result_t Code(exr_const_context_t out, int part, const FrameBuffer& frame,
                    const exr_chunk_info_t& ci, BlockBytes& bytes) const;
  // What failed: the open input's having shrunk, when it did.
  std::string Failed(exr_result_t rv) const {
    return input_ && input_->Shrank() ? path_ + " has shrunk since it was opened" : Why(rv);
  }

  std::string path_;
  std::shared_ptr<const InputFile> input_;
  Memory memory_;
  exr_context_t in_ = nullptr;
  bool tiled_ = false;
  exr_attr_box2i_t window_{};
  std::vector<exr_chunk_info_t> chunks_;  // by block
};

bool ExrBlocks::Open(const std::string& path, const std::vector<std::byte>* bytes,
                     std::shared_ptr<const InputFile> input, const FrameBuffer& frame,
                     std::string& why) {
  path_ = path;
  input_ = std::move(input);
  memory_ = input_ ? Memory{nullptr, input_->size(), input_.get()}
                   : Memory{bytes->data(), bytes->size()};
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.user_data = &memory_;
  init.read_fn = ReadMemory;
  init.size_fn = MemorySize;
  init.error_handler_fn = Quiet;
  init.flags = EXR_CONTEXT_FLAG_DISABLE_CHUNK_RECONSTRUCTION;
  const exr_result_t rv = exr_start_read(&in_, path.c_str(), &init);
  if (rv != EXR_ERR_SUCCESS) return why = Failed(rv), false;
  if (!CheckLayout(frame, why) || !MapChunks(frame, why)) return false;
  TakeSource(frame);
  return true;
}

bool ExrBlocks::CheckLayout(const FrameBuffer& frame, std::string& why) {
  int parts = 0;
  exr_storage_t storage{};
  exr_lineorder_t order{};
  if (exr_get_count(in_, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
      exr_get_storage(in_, 0, &storage) != EXR_ERR_SUCCESS ||
      (storage != EXR_STORAGE_SCANLINE && storage != EXR_STORAGE_TILED))
    return why = "not a single flat part", false;
  // Chunks are written back in increasing order only.
  if (exr_get_lineorder(in_, 0, &order) != EXR_ERR_SUCCESS || order != EXR_LINEORDER_INCREASING_Y)
    return why = "line order", false;
  // The core library of OpenEXR 3.1 cannot code DWA chunks, and its B44
  // encoder loses float channels.
  exr_compression_t compression{};
  if (exr_get_compression(in_, 0, &compression) != EXR_ERR_SUCCESS ||
      compression == EXR_COMPRESSION_DWAA || compression == EXR_COMPRESSION_DWAB ||
      ((compression == EXR_COMPRESSION_B44 || compression == EXR_COMPRESSION_B44A) &&
       frame.type() != TypeDesc::HALF))
    return why = "compression", false;
  // Its tile decoder misplaces interleaved samples (3.1.5): tiled files
  // stay on the whole-frame path.
  if (storage == EXR_STORAGE_TILED) return why = "tiles", false;
  const exr_attr_chlist_t* channels = nullptr;
  if (exr_get_channels(in_, 0, &channels) != EXR_ERR_SUCCESS ||
      channels->num_channels != frame.channels())
    return why = "channels", false;
  for (int c = 0; c < channels->num_channels; ++c) {
    const exr_attr_chlist_entry_t& e = channels->entries[c];
    const auto& names = frame.desc().channel_names;
    if (e.x_sampling != 1 || e.y_sampling != 1 || e.pixel_type != PixelType(frame.type()) ||
        std::find(names.begin(), names.end(), e.name.str) == names.end())
      return why = "channel layout", false;
  }
  if (exr_get_data_window(in_, 0, &window_) != EXR_ERR_SUCCESS ||
      window_.max.x - window_.min.x + 1 != frame.width() ||
      window_.max.y - window_.min.y + 1 != frame.height())
    return why = "data window", false;
  tiled_ = storage == EXR_STORAGE_TILED;
  return true;
}

bool ExrBlocks::MapChunks(const FrameBuffer& frame, std::string& why) {
  if (tiled_) {
    int32_t levels_x = 0, levels_y = 0, tw = 0, th = 0;
    if (exr_get_tile_levels(in_, 0, &levels_x, &levels_y) != EXR_ERR_SUCCESS || levels_x != 1 ||
        levels_y != 1 || exr_get_tile_sizes(in_, 0, 0, 0, &tw, &th) != EXR_ERR_SUCCESS)
      return why = "tile levels", false;
    block_w = tw;
    block_h = th;
    blocks_x = (frame.width() + tw - 1) / tw;
  } else {
    int32_t lines = 0;
    if (exr_get_scanlines_per_chunk(in_, 0, &lines) != EXR_ERR_SUCCESS || lines <= 0)
      return why = "chunk size", false;
    block_w = frame.width();
    block_h = lines;
    blocks_x = 1;
  }
  blocks_y = (frame.height() + block_h - 1) / block_h;
  // Every chunk's place is checked now: a truncated or damaged offset table
  // fails the read, as it does on the whole-frame path.
  chunks_.resize(std::size_t(count()));
  for (int b = 0; b < count(); ++b) {
    exr_chunk_info_t& ci = chunks_[std::size_t(b)];
    const exr_result_t rv =
        tiled_ ? exr_read_tile_chunk_info(in_, 0, b % blocks_x, b / blocks_x, 0, 0, &ci)
               : exr_read_scanline_chunk_info(in_, 0, window_.min.y + b * block_h, &ci);
    if (rv != EXR_ERR_SUCCESS)
      return why = "chunk " + std::to_string(b) + ": " + Failed(rv), false;
    if (ci.data_offset > memory_.size || ci.packed_size > memory_.size - ci.data_offset)
      return why = "chunk " + std::to_string(b) + " lies beyond the end of the file", false;
  }
  return true;
}

std::size_t ExrBlocks::Offset(const FrameBuffer& frame, const char* name, int x, int y) const {
  const auto& names = frame.desc().channel_names;
  const std::size_t c = std::size_t(std::find(names.begin(), names.end(), name) - names.begin());
  return std::size_t(y - window_.min.y) * frame.row_bytes() +
         std::size_t(x - window_.min.x) * frame.pixel_bytes() + c * SampleBytes(frame.type());
}

void ExrBlocks::Point(exr_coding_channel_info_t& c, const FrameBuffer& frame,
                      const exr_chunk_info_t& ci, std::byte* base) const {
  // Tiles go through a packed buffer of their own: the core library's
  // interleaved fast paths take a tile's rows as adjacent.
  const std::size_t line = tiled_ ? frame.pixel_bytes() * std::size_t(ci.width) : frame.row_bytes();
  const std::size_t at = tiled_ ? Offset(frame, c.channel_name, window_.min.x, window_.min.y)
                                : Offset(frame, c.channel_name, ci.start_x, ci.start_y);
  c.decode_to_ptr = reinterpret_cast<uint8_t*>(base + at);
  c.user_pixel_stride = int32_t(frame.pixel_bytes());
  c.user_line_stride = int32_t(line);
  c.user_bytes_per_element = int16_t(SampleBytes(frame.type()));
  c.user_data_type = c.data_type;
}

// Copies a tile between the frame and its packed buffer.
void CopyTile(const FrameBuffer& frame, const exr_chunk_info_t& ci, int x0, int y0,
              std::byte* packed, bool to_frame) {
  const std::size_t line = frame.pixel_bytes() * std::size_t(ci.width);
  for (int r = 0; r < ci.height; ++r) {
    std::byte* f = const_cast<std::byte*>(frame.row(ci.start_y - y0 + r)) +
                   std::size_t(ci.start_x - x0) * frame.pixel_bytes();
    std::byte* p = packed + line * std::size_t(r);
    if (to_frame)
      std::memcpy(f, p, line);
    else
      std::memcpy(p, f, line);
  }
}

bool ExrBlocks::Decode(int b, FrameBuffer& frame, std::string& error) const {
  const exr_chunk_info_t& ci = chunks_[std::size_t(b)];
  std::vector<std::byte> packed(tiled_ ? frame.pixel_bytes() * std::size_t(ci.width) * ci.height : 0);
  std::byte* base = tiled_ ? packed.data() : frame.data();
  exr_decode_pipeline_t decode = EXR_DECODE_PIPELINE_INITIALIZER;
  exr_result_t rv = exr_decoding_initialize(in_, 0, &ci, &decode);
  if (rv == EXR_ERR_SUCCESS) {
    for (int c = 0; c < decode.channel_count; ++c) Point(decode.channels[c], frame, ci, base);
    rv = exr_decoding_choose_default_routines(in_, 0, &decode);
  }
  if (rv == EXR_ERR_SUCCESS) rv = exr_decoding_run(in_, 0, &decode);
  exr_decoding_destroy(in_, &decode);
  if (rv != EXR_ERR_SUCCESS || (input_ && input_->Shrank())) {
    error = "block " + std::to_string(b) + ": " + Failed(rv);
    return false;
  }
  if (tiled_) CopyTile(frame, ci, window_.min.x, window_.min.y, packed.data(), true);
  return true;
}

bool ExrBlocks::HeaderChanges(const FrameBuffer& frame,
                              std::vector<HeaderChange>& changes) const {
  if (!ChangedTexts(*this, frame, changes)) return false;
  for (HeaderChange& h : changes) {
    if (h.name == "ImageDescription")
      h.name = "comments";
    else if (h.name.rfind(kOurPrefix, 0) != 0)
      return false;
  }
  return true;
}

exr_result_t ExrBlocks::StartPart(exr_context_t out, const std::vector<HeaderChange>& header,
                                  int& part, std::string& stage) const {
  // Names over 31 characters (Blender's attributes) need the input's
  // long-name flag, bit 10 of the version field.
  constexpr std::byte kLongNames{0x04};
  exr_result_t rv = EXR_ERR_SUCCESS;
  stage = "start";
  std::byte version[6] = {};
  ReadMemory(in_, const_cast<Memory*>(&memory_), version, sizeof version, 0, nullptr);
  if ((version[5] & kLongNames) == kLongNames)
    if ((rv = exr_set_longname_support(out, 1)) != EXR_ERR_SUCCESS) return rv;
  const char* part_name = nullptr;
  exr_get_name(in_, 0, &part_name);
  stage = "part";
  rv = exr_add_part(out, part_name, tiled_ ? EXR_STORAGE_TILED : EXR_STORAGE_SCANLINE, &part);
  if (rv != EXR_ERR_SUCCESS) return rv;
  stage = "attributes";
  for (const HeaderChange& h : header) {
    if (rv == EXR_ERR_SUCCESS) rv = exr_attr_set_string(out, part, h.name.c_str(), h.value.c_str());
  }
  if (rv != EXR_ERR_SUCCESS) return rv;
  stage = "copy";
  rv = exr_copy_unset_attributes(out, part, in_, 0);
  if (rv != EXR_ERR_SUCCESS) return rv;
  stage = "header";
  float dwa = 0;
  if (exr_get_dwa_compression_level(in_, 0, &dwa) == EXR_ERR_SUCCESS)
    rv = exr_set_dwa_compression_level(out, part, dwa);
  if (rv == EXR_ERR_SUCCESS) rv = exr_set_zip_compression_level(out, part, kZipLevel);
  if (rv == EXR_ERR_SUCCESS) rv = exr_write_header(out);
  return rv;
}

// Starts `out` over `file` with the input's header, `header` set on it.
Status ExrBlocks::StartWrite(exr_context_t& out, int& part,
                             const std::vector<HeaderChange>& header, Sink& sink) const {
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.user_data = &sink;
  init.write_fn = WriteChecked;
  init.error_handler_fn = Quiet;
  exr_result_t rv =
      exr_start_write(&out, sink.file->filename().c_str(), EXR_WRITE_FILE_DIRECTLY, &init);
  std::string stage = "start";
  if (rv == EXR_ERR_SUCCESS) rv = StartPart(out, header, part, stage);
  if (rv != EXR_ERR_SUCCESS) return {StatusKind::kIo, stage + ": " + Why(rv)};
  return Status::Ok();
}

// Packs and compresses chunk `ci` of `frame` into `bytes`; the write is
// left to the caller, in chunk order.
exr_result_t ExrBlocks::Code(exr_const_context_t out, int part, const FrameBuffer& frame,
                             const exr_chunk_info_t& ci, BlockBytes& bytes) const {
  exr_encode_pipeline_t encode = EXR_ENCODE_PIPELINE_INITIALIZER;
  std::vector<std::byte> packed;
  exr_result_t rv = exr_encoding_initialize(out, part, &ci, &encode);
  if (rv == EXR_ERR_SUCCESS) {
    // The encoder only reads through the pointer.
    auto* base = const_cast<std::byte*>(frame.data());
    if (tiled_) {
      packed.resize(frame.pixel_bytes() * std::size_t(ci.width) * ci.height);
      CopyTile(frame, ci, window_.min.x, window_.min.y, packed.data(), false);
      base = packed.data();
    }
    for (int c = 0; c < encode.channel_count; ++c) Point(encode.channels[c], frame, ci, base);
    rv = exr_encoding_choose_default_routines(out, part, &encode);
  }
  if (rv == EXR_ERR_SUCCESS) {
    // The next-chunk check and the write belong to the writer's thread.
    encode.yield_until_ready_fn = nullptr;
    encode.write_fn = nullptr;
    rv = exr_encoding_run(out, part, &encode);
  }
  if (rv == EXR_ERR_SUCCESS) {
    const auto* coded = static_cast<const std::byte*>(encode.compressed_buffer);
    bytes.assign(coded, coded + encode.compressed_bytes);
  }
  exr_encoding_destroy(out, &encode);
  return rv;
}

Status ExrBlocks::Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                         const std::vector<HeaderChange>& header, OutFile& file,
                         const std::atomic<bool>* cancel, SpliceCounts& counts) const {
  exr_context_t out = nullptr;
  int part = 0;
  struct Finish {
    exr_context_t* out;
    ~Finish() {
      if (*out) exr_finish(out);
    }
  } finish{&out};
  Sink sink{&file, input_.get()};
  if (Status started = StartWrite(out, part, header, sink); !started) return started;

  // Where each changed chunk goes, found before the workers start.
  std::vector<exr_chunk_info_t> places(static_cast<std::size_t>(count()));
  for (int b = 0; b < count(); ++b) {
    if (!changed[std::size_t(b)]) continue;
    const int bx = b % blocks_x, by = b / blocks_x;
    const exr_result_t rv =
        tiled_ ? exr_write_tile_chunk_info(out, part, bx, by, 0, 0, &places[std::size_t(b)])
               : exr_write_scanline_chunk_info(out, part, window_.min.y + by * block_h,
                                               &places[std::size_t(b)]);
    if (rv != EXR_ERR_SUCCESS)
      return {StatusKind::kIo, "block " + std::to_string(b) + ": " + Why(rv)};
  }
  BlockCoder coder;
  coder.encode = [&](int, int b, BlockBytes& bytes, std::string& why) {
    const exr_result_t rv = Code(out, part, frame, places[std::size_t(b)], bytes);
    if (rv != EXR_ERR_SUCCESS) why = "block " + std::to_string(b) + ": " + Why(rv);
    return rv == EXR_ERR_SUCCESS;
  };
  coder.write = [&](int b, const BlockBytes* coded, std::string& why) {
    const int bx = b % blocks_x, by = b / blocks_x;
    const int y = window_.min.y + by * block_h;
    const exr_chunk_info_t& stored = chunks_[std::size_t(b)];
    const void* raw = coded    ? static_cast<const void*>(coded->data())
                      : input_ ? input_->Name(stored.data_offset)
                               : static_cast<const void*>(memory_.data + stored.data_offset);
    const uint64_t size = coded ? coded->size() : stored.packed_size;
    if (!coded && input_ && !tiled_ && stored.data_offset >= sizeof sink.leader) {
      ScanlineLeader(y, size, sink.leader);
      sink.leader_size = sizeof sink.leader;
      sink.leader_from = stored.data_offset - sizeof sink.leader;
    }
    const exr_result_t rv = tiled_ ? exr_write_tile_chunk(out, part, bx, by, 0, 0, raw, size)
                                   : exr_write_scanline_chunk(out, part, y, raw, size);
    if (rv != EXR_ERR_SUCCESS) why = "block " + std::to_string(b) + ": " + Failed(rv);
    return rv == EXR_ERR_SUCCESS;
  };
  if (Status written = WriteBlocksInOrder(*this, frame, changed, coder, cancel, counts);
      !written)
    return written;
  if (!sink.Flush()) return {StatusKind::kIo, Failed(EXR_ERR_WRITE_IO)};
  const exr_result_t rv = exr_finish(&out);
  out = nullptr;
  if (rv != EXR_ERR_SUCCESS) return {StatusKind::kIo, Why(rv)};
  return Status::Ok();
}

}  // namespace

void NoteExrLayout(const std::string& path, const std::vector<std::byte>* bytes,
                   OIIO::ImageSpec& spec) {
  Memory memory;
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = Quiet;
  init.flags = EXR_CONTEXT_FLAG_DISABLE_CHUNK_RECONSTRUCTION;
  if (bytes) {
    memory.data = bytes->data();
    memory.size = bytes->size();
    init.user_data = &memory;
    init.read_fn = ReadMemory;
    init.size_fn = MemorySize;
  }
  exr_context_t in = nullptr;
  if (exr_start_read(&in, path.c_str(), &init) != EXR_ERR_SUCCESS) return;
  exr_lineorder_t order{};
  if (exr_get_lineorder(in, 0, &order) == EXR_ERR_SUCCESS && order != EXR_LINEORDER_INCREASING_Y)
    spec.attribute("openexr:lineOrder",
                   order == EXR_LINEORDER_DECREASING_Y ? "decreasingY" : "randomY");
  exr_finish(&in);
}

std::unique_ptr<BlockFile> OpenExrBlocks(const std::string& path,
                                         const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why) {
  auto file = std::make_unique<ExrBlocks>();
  if (!file->Open(path, &bytes, nullptr, frame, why)) return nullptr;
  return file;
}

std::unique_ptr<BlockFile> OpenExrBlocks(const std::string& path,
                                         std::shared_ptr<const InputFile> input,
                                         const FrameBuffer& frame, std::string& why) {
  auto file = std::make_unique<ExrBlocks>();
  if (!file->Open(path, nullptr, std::move(input), frame, why)) return nullptr;
  return file;
}

}  // namespace lumatrice
