// EXR headers into FrameSpecs: the layout checks, the channel order the image
// library reads channels in, and the header's texts by its names.
#include "exr_header.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include <OpenEXR/openexr.h>

#include "input_file.h"

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

void Quiet(exr_const_context_t, exr_result_t, const char*) {}

struct Memory {
  const std::byte* data = nullptr;
  std::uint64_t size = 0;
};

int64_t ReadMemory(exr_const_context_t, void* user, void* buffer, uint64_t size, uint64_t offset,
                   exr_stream_error_func_ptr_t) {
  const auto* m = static_cast<const Memory*>(user);
  if (offset >= m->size) return 0;
  const uint64_t n = std::min(size, m->size - offset);
  std::memcpy(buffer, m->data + offset, n);
  return int64_t(n);
}

int64_t MemorySize(exr_const_context_t, void* user) {
  return int64_t(static_cast<const Memory*>(user)->size);
}

// Short of the size the file had when opened is an error, not its end.
int64_t ReadInput(exr_const_context_t, void* user, void* buffer, uint64_t size, uint64_t offset,
                  exr_stream_error_func_ptr_t) {
  const auto* file = static_cast<const InputFile*>(user);
  if (offset >= file->size()) return 0;
  const uint64_t n = std::min(size, file->size() - offset);
  return file->ReadAt(offset, buffer, std::size_t(n)) == n ? int64_t(n) : -1;
}

int64_t InputSize(exr_const_context_t, void* user) {
  return int64_t(static_cast<const InputFile*>(user)->size());
}

// The image library's order of channel names within a layer; others follow
// by name.
constexpr const char* kChannelOrder[] = {"R",  "Red", "G",  "Green", "B",  "Blue", "Y",
                                         "real", "imag", "A", "Alpha", "AR", "RA", "AG",
                                         "GA", "AB", "BA", "Z", "Depth", "Zback"};
constexpr int kUnordered = 10000;

struct Channel {
  std::string name, layer, suffix;
  int rank = kUnordered;
  TypeDesc type;
};

Channel Named(const char* name, TypeDesc type) {
  Channel c;
  c.name = name;
  c.type = type;
  const std::size_t dot = c.name.rfind('.');
  c.layer = dot == std::string::npos ? "" : c.name.substr(0, dot + 1);
  c.suffix = dot == std::string::npos ? c.name : c.name.substr(dot + 1);
  for (int i = 0; i < int(std::size(kChannelOrder)); ++i)
    if (::strcasecmp(c.suffix.c_str(), kChannelOrder[i]) == 0) {
      c.rank = i;
      break;
    }
  return c;
}

const char* CompressionName(exr_compression_t c) {
  switch (c) {
    case EXR_COMPRESSION_NONE: return "none";
    case EXR_COMPRESSION_RLE: return "rle";
    case EXR_COMPRESSION_ZIPS: return "zips";
    case EXR_COMPRESSION_ZIP: return "zip";
    case EXR_COMPRESSION_PIZ: return "piz";
    case EXR_COMPRESSION_PXR24: return "pxr24";
    case EXR_COMPRESSION_B44: return "b44";
    case EXR_COMPRESSION_B44A: return "b44a";
    default: return "";  // DWA: the core library cannot code it back
  }
}

// The layout checks; the part's channels into `spec`.
bool Layout(exr_const_context_t in, FrameSpec& spec, std::string& why) {
  int parts = 0;
  exr_storage_t storage{};
  exr_lineorder_t order{};
  exr_compression_t compression{};
  if (exr_get_count(in, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
      exr_get_storage(in, 0, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_SCANLINE)
    return why = "not one flat scanline part", false;
  if (exr_get_lineorder(in, 0, &order) != EXR_ERR_SUCCESS || order != EXR_LINEORDER_INCREASING_Y)
    return why = "line order", false;
  if (exr_get_compression(in, 0, &compression) != EXR_ERR_SUCCESS ||
      !*CompressionName(compression))
    return why = "compression", false;
  spec.compression = CompressionName(compression);
  const exr_attr_chlist_t* list = nullptr;
  if (exr_get_channels(in, 0, &list) != EXR_ERR_SUCCESS || list->num_channels < 1)
    return why = "channels", false;
  std::vector<Channel> channels;
  for (int c = 0; c < list->num_channels; ++c) {
    const exr_attr_chlist_entry_t& e = list->entries[c];
    const TypeDesc type = e.pixel_type == EXR_PIXEL_HALF    ? TypeDesc::HALF
                          : e.pixel_type == EXR_PIXEL_FLOAT ? TypeDesc::FLOAT
                                                            : TypeDesc::UNKNOWN;
    if (e.x_sampling != 1 || e.y_sampling != 1 || type == TypeDesc::UNKNOWN ||
        (c > 0 && type != channels.front().type))
      return why = "channel layout", false;
    channels.push_back(Named(e.name.str, type));
  }
  // Its B44 coder loses float channels.
  if ((compression == EXR_COMPRESSION_B44 || compression == EXR_COMPRESSION_B44A) &&
      channels.front().type != TypeDesc::HALF)
    return why = "compression", false;
  std::stable_sort(channels.begin(), channels.end(), [](const Channel& a, const Channel& b) {
    if (a.layer != b.layer) return a.layer < b.layer;
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.suffix < b.suffix;
  });
  for (const Channel& c : channels) {
    if (spec.alpha_channel < 0 && (c.rank == 9 || c.rank == 10))  // A, Alpha
      spec.alpha_channel = spec.channels();
    spec.channel_names.push_back(c.name);
    spec.channel_types.push_back(c.type);
  }
  return true;
}

bool Windows(exr_const_context_t in, FrameSpec& spec, std::string& why) {
  exr_attr_box2i_t data{}, display{};
  if (exr_get_data_window(in, 0, &data) != EXR_ERR_SUCCESS ||
      exr_get_display_window(in, 0, &display) != EXR_ERR_SUCCESS)
    return why = "windows", false;
  spec.x = data.min.x;
  spec.y = data.min.y;
  spec.width = int(int64_t(data.max.x) - data.min.x + 1);
  spec.height = int(int64_t(data.max.y) - data.min.y + 1);
  spec.full_x = display.min.x;
  spec.full_y = display.min.y;
  spec.full_width = int(int64_t(display.max.x) - display.min.x + 1);
  spec.full_height = int(int64_t(display.max.y) - display.min.y + 1);
  return true;
}

// String attributes, the comments by the image library's name.
void Texts(exr_const_context_t in, FrameSpec& spec) {
  int32_t n = 0;
  if (exr_get_attribute_count(in, 0, &n) != EXR_ERR_SUCCESS) return;
  for (int32_t i = 0; i < n; ++i) {
    const exr_attribute_t* a = nullptr;
    if (exr_get_attribute_by_index(in, 0, EXR_ATTR_LIST_FILE_ORDER, i, &a) != EXR_ERR_SUCCESS ||
        a->type != EXR_ATTR_STRING || !a->string)
      continue;
    const std::string name = std::strcmp(a->name, "comments") == 0 ? "ImageDescription" : a->name;
    spec.SetText(name, std::string(a->string->str ? a->string->str : "",
                                   std::size_t(std::max(a->string->length, 0))));
  }
}

// The header read through `init`'s callbacks (the file by name without).
bool Describe(const std::string& path, exr_context_initializer_t& init, FrameSpec& spec,
              std::string& why) {
  spec = FrameSpec{};
  init.error_handler_fn = Quiet;
  init.flags = EXR_CONTEXT_FLAG_DISABLE_CHUNK_RECONSTRUCTION;
  exr_context_t in = nullptr;
  const exr_result_t rv = exr_start_read(&in, path.c_str(), &init);
  if (rv != EXR_ERR_SUCCESS) {
    why = exr_get_default_error_message(rv);
    if (in) exr_finish(&in);
    return false;
  }
  const bool ok = Layout(in, spec, why) && Windows(in, spec, why);
  if (ok) Texts(in, spec);
  exr_finish(&in);
  return ok;
}

}  // namespace

bool DescribeExr(const std::string& path, const std::byte* data, std::size_t size,
                 FrameSpec& spec, std::string& why) {
  Memory memory{data, size};
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  if (data) {
    init.user_data = &memory;
    init.read_fn = ReadMemory;
    init.size_fn = MemorySize;
  }
  return Describe(path, init, spec, why);
}

bool DescribeExr(const std::string& path, const InputFile& file, FrameSpec& spec,
                 std::string& why) {
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.user_data = const_cast<InputFile*>(&file);
  init.read_fn = ReadInput;
  init.size_fn = InputSize;
  return Describe(path, init, spec, why);
}

}  // namespace lumatrice
