// Reader of compiled Windows resources (.res bytes, as the resource compiler
// writes them and as a module carries them): the resource entries, plain
// dialog templates, string-table blocks and version records.
//
// Principles:
//  - Every reader takes (pointer, size) and never reads outside those bytes,
//    whatever they hold: malformed input gives nullopt (and a reason when
//    `error` is given), never a crash or an over-read.
//  - Nothing throws out of this library; running out of memory is reported
//    like malformed input.
//  - Texts stay as stored (UTF-16); text_codec.h converts them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hostres {

// Resource types by number.
inline constexpr std::uint16_t kTypeDialog = 5;
inline constexpr std::uint16_t kTypeString = 6;
inline constexpr std::uint16_t kTypeVersion = 16;

// Predefined window classes of dialog controls, by atom.
inline constexpr std::uint16_t kClassButton = 0x0080;
inline constexpr std::uint16_t kClassEdit = 0x0081;
inline constexpr std::uint16_t kClassStatic = 0x0082;

// A control ID that nothing addresses.
inline constexpr std::uint16_t kNoControlId = 0xFFFF;

// English (United States).
inline constexpr std::uint16_t kLanguageEnUs = 1033;

// A resource type or name, a menu, a window class or a control text: either a
// number (ordinal) or a text.
struct NameOrId {
  bool is_id = false;
  std::uint16_t id = 0;
  std::u16string name;

  static NameOrId Id(std::uint16_t id) { return {true, id, {}}; }
  static NameOrId Name(std::u16string name) { return {false, 0, std::move(name)}; }
  bool IsEmpty() const { return !is_id && name.empty(); }
  bool operator==(const NameOrId&) const = default;
};

// One resource of a .res file; offset and size locate its data in the bytes
// that were parsed.
struct ResourceEntry {
  NameOrId type;
  NameOrId name;
  std::uint16_t language = 0;
  std::uint16_t memory_flags = 0;
  std::uint32_t data_version = 0;
  std::uint32_t version = 0;
  std::uint32_t characteristics = 0;
  std::size_t offset = 0;
  std::size_t size = 0;
};

struct DialogItem {
  std::uint32_t style = 0;
  std::uint32_t ex_style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::uint16_t id = 0;
  NameOrId window_class;
  NameOrId text;
  std::vector<std::uint8_t> creation_data;
};

// A plain (not extended) dialog template and its controls in creation order.
struct DialogTemplate {
  std::uint32_t style = 0;
  std::uint32_t ex_style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  NameOrId menu;
  NameOrId window_class;
  std::u16string title;
  bool has_font = false;  // DS_SETFONT
  std::uint16_t point_size = 0;
  std::u16string font;
  std::vector<DialogItem> items;
};

// The sixteen strings of one string-table block (IDs 16*(block-1) .. +15);
// an empty text is a missing string.
using StringBlock = std::array<std::u16string, 16>;

struct FixedFileInfo {
  std::uint32_t signature = 0;  // 0xFEEF04BD
  std::uint32_t struct_version = 0;
  std::uint32_t file_version_ms = 0;
  std::uint32_t file_version_ls = 0;
  std::uint32_t product_version_ms = 0;
  std::uint32_t product_version_ls = 0;
  std::uint32_t flags_mask = 0;
  std::uint32_t flags = 0;
  std::uint32_t os = 0;
  std::uint32_t type = 0;
  std::uint32_t subtype = 0;
  std::uint32_t date_ms = 0;
  std::uint32_t date_ls = 0;
};

struct VersionString {
  std::u16string key;
  std::u16string value;
};

// One language's strings, keyed like "040904b0", in stored order.
struct VersionStringTable {
  std::u16string key;
  std::vector<VersionString> strings;
};

struct Translation {
  std::uint16_t language = 0;
  std::uint16_t code_page = 0;
};

struct VersionInfo {
  FixedFileInfo fixed;
  std::vector<VersionStringTable> string_tables;
  std::vector<Translation> translations;

  // Value of `key` in the first string table that has it.
  std::optional<std::u16string> Find(std::u16string_view key) const noexcept;
};

// Readers of the raw forms.
std::optional<std::vector<ResourceEntry>> ParseResEntries(const std::uint8_t* data, std::size_t size,
                                                          std::string* error = nullptr) noexcept;
std::optional<DialogTemplate> ParseDialog(const std::uint8_t* data, std::size_t size,
                                          std::string* error = nullptr) noexcept;
std::optional<StringBlock> ParseStringBlock(const std::uint8_t* data, std::size_t size,
                                            std::string* error = nullptr) noexcept;
std::optional<VersionInfo> ParseVersionInfo(const std::uint8_t* data, std::size_t size,
                                            std::string* error = nullptr) noexcept;

// The resources of one module or .res file, owning a copy of the bytes.
class ResourceSet {
 public:
  static std::optional<ResourceSet> Parse(const std::uint8_t* data, std::size_t size,
                                          std::string* error = nullptr) noexcept;

  const std::vector<ResourceEntry>& Entries() const { return entries_; }
  // Data of resource (type, id): the entry in `language` if there is one,
  // else the first entry of that type and id; nullopt when missing.
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t type, std::uint16_t id,
                                                    std::uint16_t language = kLanguageEnUs) const;
  std::optional<DialogTemplate> Dialog(std::uint16_t id, std::string* error = nullptr) const noexcept;
  // nullopt when the string is missing, empty, or its block is malformed.
  std::optional<std::u16string> String(std::uint32_t id) const noexcept;
  // The version record (type version, ID 1).
  std::optional<VersionInfo> Version(std::string* error = nullptr) const noexcept;

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<ResourceEntry> entries_;
};

// Parses the entries and every dialog, string block and version record among
// them; true when all of them are well formed. The entry for fuzzing.
bool ParseResourceBytes(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace hostres
