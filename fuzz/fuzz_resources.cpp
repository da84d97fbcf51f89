// Fuzz target: the module resource reader. The input is read as a whole .res
// file, and also straight as one dialog template, one string-table block and
// one version record. Each resource's data is parsed from a heap copy of
// exactly its size, so a read past its end (though still inside the file) is
// caught by the address checker.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "res_format.h"
#include "text_codec.h"

namespace {

void Texts(const std::u16string& text) {
  // Both conversions must cope with any UTF-16, lone surrogates included.
  std::string utf8 = lumatrice::Utf16ToUtf8(text);
  std::string ansi = lumatrice::Utf16ToCp1252(text);
  FUZZ_CHECK(text.empty() || !utf8.empty());
  FUZZ_CHECK(ansi.size() <= text.size());
}

void Name(const hostres::NameOrId& n) {
  if (!n.is_id) Texts(n.name);
}

void ParseAs(std::uint16_t type, const std::vector<std::uint8_t>& bytes) {
  std::string error;
  switch (type) {
    case hostres::kTypeDialog:
      if (auto d = hostres::ParseDialog(bytes.data(), bytes.size(), &error)) {
        Name(d->menu);
        Name(d->window_class);
        Texts(d->title);
        Texts(d->font);
        for (const auto& item : d->items) {
          Name(item.window_class);
          Name(item.text);
          FUZZ_CHECK(item.creation_data.size() <= bytes.size());
        }
      } else {
        FUZZ_CHECK(!error.empty());
      }
      break;
    case hostres::kTypeString:
      if (auto block = hostres::ParseStringBlock(bytes.data(), bytes.size(), &error)) {
        std::size_t chars = 0;
        for (const auto& s : *block) {
          chars += s.size();
          Texts(s);
        }
        FUZZ_CHECK(2 * (chars + 16) <= bytes.size());
      } else {
        FUZZ_CHECK(!error.empty());
      }
      break;
    case hostres::kTypeVersion:
      if (auto info = hostres::ParseVersionInfo(bytes.data(), bytes.size(), &error)) {
        FUZZ_CHECK(info->fixed.signature == 0xFEEF04BD);
        for (const auto& table : info->string_tables)
          for (const auto& s : table.strings) {
            Texts(s.key);
            Texts(s.value);
          }
        (void)info->Find(u"FileVersion");
      } else {
        FUZZ_CHECK(!error.empty());
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> whole(data, data + size);
  for (std::uint16_t type : {hostres::kTypeDialog, hostres::kTypeString, hostres::kTypeVersion})
    ParseAs(type, whole);

  std::string error;
  auto entries = hostres::ParseResEntries(whole.data(), whole.size(), &error);
  const bool all_ok = hostres::ParseResourceBytes(whole.data(), whole.size());
  if (!entries) {
    FUZZ_CHECK(!error.empty() && !all_ok);
    FUZZ_CHECK(!hostres::ResourceSet::Parse(whole.data(), whole.size()));
    return 0;
  }
  for (const auto& e : *entries) {
    FUZZ_CHECK(e.offset <= size && e.size <= size - e.offset);
    Name(e.type);
    Name(e.name);
    if (!e.type.is_id) continue;
    ParseAs(e.type.id, std::vector<std::uint8_t>(data + e.offset, data + e.offset + e.size));
  }

  auto set = hostres::ResourceSet::Parse(whole.data(), whole.size());
  FUZZ_CHECK(set && set->Entries().size() == entries->size());
  (void)set->Dialog(101);
  (void)set->Version();
  for (std::uint32_t id : {30501u, 30502u, 30504u, 30520u, 0u, 0xFFFFFu})
    if (auto s = set->String(id)) Texts(*s);
  return 0;
}
