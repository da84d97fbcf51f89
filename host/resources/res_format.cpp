// Bounds-checked readers of compiled resources: every read goes through a
// cursor that knows where its bytes end, so malformed input fails cleanly.
#include "res_format.h"

#include <algorithm>
#include <new>

namespace hostres {
namespace {

constexpr std::uint32_t kDsSetFont = 0x40;
constexpr std::uint32_t kExtendedDialogMark = 0xFFFF0001;  // dlgVer 1, signature 0xFFFF
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 13 * 4;

std::size_t AlignUp4(std::size_t n) { return (n + 3) & ~std::size_t(3); }

bool Fail(std::string* error, const char* why) {
  if (error) {
    try {
      *error = why;
    } catch (...) {
    }
  }
  return false;
}

// Little-endian cursor over [data + begin, data + end); offsets are relative
// to `data`, so alignment follows the start of the resource.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t begin, std::size_t end)
      : data_(data), pos_(begin), end_(end) {}

  std::size_t Pos() const { return pos_; }
  std::size_t Left() const { return end_ - pos_; }

  bool U16(std::uint16_t& v) {
    if (Left() < 2) return false;
    v = std::uint16_t(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool I16(std::int16_t& v) {
    std::uint16_t u;
    if (!U16(u)) return false;
    v = std::int16_t(u);
    return true;
  }
  bool U32(std::uint32_t& v) {
    if (Left() < 4) return false;
    v = std::uint32_t(data_[pos_]) | (std::uint32_t(data_[pos_ + 1]) << 8) |
        (std::uint32_t(data_[pos_ + 2]) << 16) | (std::uint32_t(data_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool Bytes(std::size_t n, std::vector<std::uint8_t>& out) {
    if (Left() < n) return false;
    out.assign(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return true;
  }
  // Padding missing at the very end is tolerated: the next read fails anyway.
  void Align4() { pos_ = std::min(AlignUp4(pos_), end_); }

  // Zero-terminated UTF-16 text.
  bool Text(std::u16string& out) {
    out.clear();
    for (;;) {
      std::uint16_t c;
      if (!U16(c)) return false;
      if (c == 0) return true;
      out.push_back(char16_t(c));
    }
  }
  // 0x0000: empty; 0xFFFF then an ordinal; else a zero-terminated text.
  bool NameOrOrdinal(NameOrId& out) {
    std::uint16_t first;
    if (!U16(first)) return false;
    if (first == 0xFFFF) {
      std::uint16_t id;
      if (!U16(id)) return false;
      out = NameOrId::Id(id);
      return true;
    }
    out = NameOrId{};
    if (first == 0) return true;
    std::u16string rest;
    if (!Text(rest)) return false;
    out.name.reserve(rest.size() + 1);
    out.name.push_back(char16_t(first));
    out.name += rest;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t pos_;
  std::size_t end_;
};

std::optional<std::vector<ResourceEntry>> ReadEntries(const std::uint8_t* data, std::size_t size,
                                                      std::string* error) {
  std::vector<ResourceEntry> entries;
  std::size_t pos = 0;
  while (pos < size) {
    Cursor head(data, pos, size);
    std::uint32_t data_size, header_size;
    if (!head.U32(data_size) || !head.U32(header_size)) {
      Fail(error, "truncated resource header");
      return std::nullopt;
    }
    std::size_t left = size - pos;
    if (header_size < 8 || header_size > left || data_size > left - header_size) {
      Fail(error, "resource header or data runs past the end");
      return std::nullopt;
    }
    std::size_t data_begin = pos + header_size;
    // The rest of the header may not leave the header's own span.
    Cursor c(data, head.Pos(), data_begin);
    ResourceEntry e;
    bool ok = c.NameOrOrdinal(e.type) && c.NameOrOrdinal(e.name);
    c.Align4();
    ok = ok && c.U32(e.data_version) && c.U16(e.memory_flags) && c.U16(e.language) &&
         c.U32(e.version) && c.U32(e.characteristics);
    if (!ok) {
      Fail(error, "malformed resource header");
      return std::nullopt;
    }
    e.offset = data_begin;
    e.size = data_size;
    // The leading empty entry only marks a 32-bit .res file.
    bool marker = e.type.is_id && e.type.id == 0 && data_size == 0;
    if (!marker) entries.push_back(std::move(e));
    pos = AlignUp4(data_begin + data_size);
  }
  return entries;
}

std::optional<DialogTemplate> ReadDialog(const std::uint8_t* data, std::size_t size,
                                         std::string* error) {
  Cursor c(data, 0, size);
  DialogTemplate d;
  std::uint16_t count;
  if (!c.U32(d.style) || !c.U32(d.ex_style)) {
    Fail(error, "truncated dialog header");
    return std::nullopt;
  }
  if (d.style == kExtendedDialogMark) {
    Fail(error, "extended dialog templates are not read");
    return std::nullopt;
  }
  bool ok = c.U16(count) && c.I16(d.x) && c.I16(d.y) && c.I16(d.cx) && c.I16(d.cy) &&
            c.NameOrOrdinal(d.menu) && c.NameOrOrdinal(d.window_class) && c.Text(d.title);
  if (ok && (d.style & kDsSetFont)) {
    d.has_font = true;
    ok = c.U16(d.point_size) && c.Text(d.font);
  }
  if (!ok) {
    Fail(error, "truncated dialog header");
    return std::nullopt;
  }
  for (unsigned i = 0; i < count; ++i) {
    c.Align4();
    DialogItem item;
    std::uint16_t extra;
    ok = c.U32(item.style) && c.U32(item.ex_style) && c.I16(item.x) && c.I16(item.y) &&
         c.I16(item.cx) && c.I16(item.cy) && c.U16(item.id) && c.NameOrOrdinal(item.window_class) &&
         c.NameOrOrdinal(item.text) && c.U16(extra) && c.Bytes(extra, item.creation_data);
    if (!ok) {
      Fail(error, "truncated dialog control");
      return std::nullopt;
    }
    d.items.push_back(std::move(item));
  }
  return d;
}

std::optional<StringBlock> ReadStringBlock(const std::uint8_t* data, std::size_t size,
                                           std::string* error) {
  Cursor c(data, 0, size);
  StringBlock block;
  for (auto& text : block) {
    std::uint16_t length;
    if (!c.U16(length) || c.Left() / 2 < length) {
      Fail(error, "truncated string-table block");
      return std::nullopt;
    }
    text.resize(length);
    for (auto& ch : text) {
      std::uint16_t u = 0;
      c.U16(u);
      ch = char16_t(u);
    }
  }
  return block;
}

// One node of a version record: wLength, wValueLength, wType, key, value,
// children. Offsets are relative to the record's start.
struct VersionNode {
  std::u16string key;
  std::uint16_t type = 0;
  std::uint16_t value_length = 0;
  std::size_t value_begin = 0, value_end = 0;
  std::size_t children_begin = 0, end = 0;
};

bool ReadVersionNode(const std::uint8_t* data, std::size_t begin, std::size_t limit,
                     VersionNode& node) {
  Cursor c(data, begin, limit);
  std::uint16_t length;
  if (!c.U16(length) || length < 6 || length > limit - begin) return false;
  node.end = begin + length;
  Cursor in(data, c.Pos(), node.end);
  if (!in.U16(node.value_length) || !in.U16(node.type) || !in.Text(node.key)) return false;
  in.Align4();
  node.value_begin = in.Pos();
  // Text values count characters, binary ones bytes; a length that overshoots
  // the node is cut at its end.
  std::size_t value_bytes = node.type == 1 ? std::size_t(node.value_length) * 2 : node.value_length;
  node.value_end = node.value_begin + std::min(value_bytes, node.end - node.value_begin);
  node.children_begin = std::min(AlignUp4(node.value_end), node.end);
  return true;
}

// Calls fn(child) for each child of `parent`; false on a malformed child.
template <typename Fn>
bool ForEachChild(const std::uint8_t* data, const VersionNode& parent, Fn fn) {
  std::size_t pos = parent.children_begin;
  while (pos + 6 <= parent.end) {
    std::uint16_t length = std::uint16_t(data[pos] | (data[pos + 1] << 8));
    if (length == 0) break;  // trailing padding
    VersionNode child;
    if (!ReadVersionNode(data, pos, parent.end, child)) return false;
    if (!fn(child)) return false;
    pos = AlignUp4(child.end);
  }
  return true;
}

std::u16string TextValue(const std::uint8_t* data, const VersionNode& node) {
  std::u16string text;
  for (std::size_t p = node.value_begin; p + 1 < node.value_end; p += 2) {
    char16_t ch = char16_t(data[p] | (data[p + 1] << 8));
    if (ch == 0) break;
    text.push_back(ch);
  }
  return text;
}

std::optional<VersionInfo> ReadVersionInfo(const std::uint8_t* data, std::size_t size,
                                           std::string* error) {
  VersionNode root;
  if (!ReadVersionNode(data, 0, size, root) || root.key != u"VS_VERSION_INFO") {
    Fail(error, "malformed version record");
    return std::nullopt;
  }
  VersionInfo info;
  if (root.value_end - root.value_begin < kFixedInfoSize) {
    Fail(error, "version record without its fixed part");
    return std::nullopt;
  }
  Cursor fixed(data, root.value_begin, root.value_end);
  FixedFileInfo& f = info.fixed;
  for (std::uint32_t* field : {&f.signature, &f.struct_version, &f.file_version_ms, &f.file_version_ls,
                               &f.product_version_ms, &f.product_version_ls, &f.flags_mask, &f.flags,
                               &f.os, &f.type, &f.subtype, &f.date_ms, &f.date_ls}) {
    fixed.U32(*field);
  }
  if (f.signature != kFixedInfoSignature) {
    Fail(error, "version record with a bad signature");
    return std::nullopt;
  }
  bool ok = ForEachChild(data, root, [&](const VersionNode& block) {
    if (block.key == u"StringFileInfo") {
      return ForEachChild(data, block, [&](const VersionNode& table_node) {
        VersionStringTable table;
        table.key = table_node.key;
        bool strings_ok = ForEachChild(data, table_node, [&](const VersionNode& s) {
          table.strings.push_back({s.key, TextValue(data, s)});
          return true;
        });
        info.string_tables.push_back(std::move(table));
        return strings_ok;
      });
    }
    if (block.key == u"VarFileInfo") {
      return ForEachChild(data, block, [&](const VersionNode& var) {
        if (var.key != u"Translation") return true;
        for (std::size_t p = var.value_begin; p + 4 <= var.value_end; p += 4) {
          info.translations.push_back({std::uint16_t(data[p] | (data[p + 1] << 8)),
                                       std::uint16_t(data[p + 2] | (data[p + 3] << 8))});
        }
        return true;
      });
    }
    return true;  // unknown blocks are skipped
  });
  if (!ok) {
    Fail(error, "malformed version record block");
    return std::nullopt;
  }
  return info;
}

// Runs a reader and turns running out of memory into a plain failure.
template <typename Fn>
auto Guarded(std::string* error, Fn fn) noexcept -> decltype(fn()) {
  try {
    return fn();
  } catch (...) {
    Fail(error, "out of memory");
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::u16string> VersionInfo::Find(std::u16string_view key) const noexcept {
  try {
    for (const auto& table : string_tables) {
      for (const auto& s : table.strings) {
        if (s.key == key) return s.value;
      }
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::optional<std::vector<ResourceEntry>> ParseResEntries(const std::uint8_t* data, std::size_t size,
                                                          std::string* error) noexcept {
  if (!data && size) return Fail(error, "no data"), std::nullopt;
  return Guarded(error, [&] { return ReadEntries(data, size, error); });
}

std::optional<DialogTemplate> ParseDialog(const std::uint8_t* data, std::size_t size,
                                          std::string* error) noexcept {
  if (!data && size) return Fail(error, "no data"), std::nullopt;
  return Guarded(error, [&] { return ReadDialog(data, size, error); });
}

std::optional<StringBlock> ParseStringBlock(const std::uint8_t* data, std::size_t size,
                                            std::string* error) noexcept {
  if (!data && size) return Fail(error, "no data"), std::nullopt;
  return Guarded(error, [&] { return ReadStringBlock(data, size, error); });
}

std::optional<VersionInfo> ParseVersionInfo(const std::uint8_t* data, std::size_t size,
                                            std::string* error) noexcept {
  if (!data && size) return Fail(error, "no data"), std::nullopt;
  return Guarded(error, [&] { return ReadVersionInfo(data, size, error); });
}

std::optional<ResourceSet> ResourceSet::Parse(const std::uint8_t* data, std::size_t size,
                                              std::string* error) noexcept {
  return Guarded(error, [&]() -> std::optional<ResourceSet> {
    auto entries = ParseResEntries(data, size, error);
    if (!entries) return std::nullopt;
    ResourceSet set;
    if (size) set.bytes_.assign(data, data + size);
    set.entries_ = std::move(*entries);
    return set;
  });
}

std::optional<std::span<const std::uint8_t>> ResourceSet::Find(std::uint16_t type, std::uint16_t id,
                                                               std::uint16_t language) const {
  const ResourceEntry* found = nullptr;
  for (const auto& e : entries_) {
    if (!(e.type.is_id && e.type.id == type && e.name.is_id && e.name.id == id)) continue;
    if (e.language == language) {
      found = &e;
      break;
    }
    if (!found) found = &e;
  }
  if (!found) return std::nullopt;
  return std::span<const std::uint8_t>(bytes_.data() + found->offset, found->size);
}

std::optional<DialogTemplate> ResourceSet::Dialog(std::uint16_t id, std::string* error) const noexcept {
  auto bytes = Find(kTypeDialog, id);
  if (!bytes) return Fail(error, "no such dialog"), std::nullopt;
  return ParseDialog(bytes->data(), bytes->size(), error);
}

std::optional<std::u16string> ResourceSet::String(std::uint32_t id) const noexcept {
  std::uint32_t block_id = id / 16 + 1;
  if (block_id > 0xFFFF) return std::nullopt;
  auto bytes = Find(kTypeString, std::uint16_t(block_id));
  if (!bytes) return std::nullopt;
  auto block = ParseStringBlock(bytes->data(), bytes->size());
  if (!block || (*block)[id % 16].empty()) return std::nullopt;
  try {
    return (*block)[id % 16];
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<VersionInfo> ResourceSet::Version(std::string* error) const noexcept {
  auto bytes = Find(kTypeVersion, 1);
  if (!bytes) return Fail(error, "no version record"), std::nullopt;
  return ParseVersionInfo(bytes->data(), bytes->size(), error);
}

bool ParseResourceBytes(const std::uint8_t* data, std::size_t size) noexcept {
  auto entries = ParseResEntries(data, size);
  if (!entries) return false;
  bool ok = true;
  for (const auto& e : *entries) {
    if (!e.type.is_id) continue;
    const std::uint8_t* p = data + e.offset;
    switch (e.type.id) {
      case kTypeDialog: ok = ParseDialog(p, e.size).has_value() && ok; break;
      case kTypeString: ok = ParseStringBlock(p, e.size).has_value() && ok; break;
      case kTypeVersion: ok = ParseVersionInfo(p, e.size).has_value() && ok; break;
      default: break;
    }
  }
  return ok;
}

}  // namespace hostres
