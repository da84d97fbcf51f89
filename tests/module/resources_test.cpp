// The module's compiled resources as the host reads them from the loaded
// module: dialog 101, the string table and the version record, checked on
// the bytes; then the reader's behaviour on malformed bytes.
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "module_fixture.h"
#include "module_resources.h"
#include "text_codec.h"
#include "win_gdi.h"

namespace {

using lumatrice::Utf16ToUtf8;

std::vector<std::uint8_t> ResFileBytes() {
  std::ifstream in(LUMATRICE_RES_FILE, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ResourcesTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    std::string error;
    auto set = hostres::ModuleResources(module->instance, &error);
    ASSERT_TRUE(set) << error;
    resources = std::move(*set);
  }
  hostres::ResourceSet resources;
};

TEST_F(ResourcesTest, ModuleCarriesTheCompiledResourcesByteForByte) {
  auto file = ResFileBytes();
  ASSERT_FALSE(file.empty());
  auto parsed = hostres::ParseResEntries(file.data(), file.size());
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->size(), resources.Entries().size());
  for (std::size_t i = 0; i < parsed->size(); ++i) {
    const auto& e = resources.Entries()[i];
    auto embedded = resources.Find(e.type.id, e.name.id, e.language);
    ASSERT_TRUE(embedded);
    EXPECT_TRUE(std::equal(embedded->begin(), embedded->end(), file.begin() + (*parsed)[i].offset,
                           file.begin() + (*parsed)[i].offset + (*parsed)[i].size));
  }
}

// Dialog 101, two string blocks, one version record; all US English.
TEST_F(ResourcesTest, OnlyTheThreeKindsInUsEnglish) {
  std::set<std::pair<int, int>> kinds;
  for (const auto& e : resources.Entries()) {
    ASSERT_TRUE(e.type.is_id && e.name.is_id);
    kinds.emplace(e.type.id, e.name.id);
    EXPECT_EQ(e.language, 1033) << e.type.id << "/" << e.name.id;
  }
  EXPECT_EQ(resources.Entries().size(), 4u);
  EXPECT_EQ(kinds, (std::set<std::pair<int, int>>{{5, 101}, {6, 1907}, {6, 1908}, {16, 1}}));
}

TEST_F(ResourcesTest, DialogTemplate) {
  std::string error;
  auto d = resources.Dialog(101, &error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->style, 0x50000040u);
  EXPECT_EQ(d->ex_style, 0u);
  EXPECT_EQ(d->x, 0);
  EXPECT_EQ(d->y, 0);
  EXPECT_EQ(d->cx, 211);
  EXPECT_EQ(d->cy, 256);
  EXPECT_TRUE(d->menu.IsEmpty());
  EXPECT_TRUE(d->window_class.IsEmpty());
  EXPECT_TRUE(d->title.empty());
  EXPECT_TRUE(d->has_font);
  EXPECT_EQ(d->point_size, 8);
  EXPECT_EQ(Utf16ToUtf8(d->font), "MS Sans Serif");
}

constexpr std::uint32_t kGroup = 0x50000007, kCheck = 0x50010003, kEdit = 0x50010000, kCentre = 0x50020001,
                        kLeft = 0x50020000;
constexpr std::uint16_t kButton = 0x80, kStatic = 0x82, kCustEdit = 0;  // 0: by name
constexpr std::uint16_t kNone = 0xFFFF;

struct Control {
  std::uint16_t atom;
  std::uint16_t id;
  const char* text;
  std::int16_t x, y, cx, cy;
  std::uint32_t style;
};

const Control kControls[] = {
    {kButton, kNone, "", 8, 154, 195, 33, kGroup},
    {kButton, 1004, "Header", 14, 154, 39, 10, kCheck},
    {kButton, kNone, "", 8, 194, 195, 33, kGroup},
    {kButton, 1005, "Footer", 14, 194, 36, 10, kCheck},
    {kButton, 1006, "Frames", 30, 210, 39, 10, kCheck},
    {kButton, 1007, "Scene Filename", 75, 210, 67, 10, kCheck},
    {kButton, 1008, "Date", 150, 210, 31, 10, kCheck},
    {kButton, 1009, "Comments:", 14, 170, 48, 9, kCheck},
    {kCustEdit, 1011, "", 62, 170, 136, 11, kEdit},
    {kStatic, kNone, "Lumatrice 1.0\nCopyright (C) 2026 Lumatrice Project\nhttps://lumatrice.example.org", 37, 4,
     133, 25, kCentre},
    {kButton, kNone, "", 7, 55, 196, 68, kGroup},
    {kButton, 1012, "Opening Slate", 15, 55, 61, 10, kCheck},
    {kButton, 1010, "Comments:", 12, 89, 48, 9, kCheck},
    {kCustEdit, 1013, "", 61, 88, 136, 10, kEdit},
    {kButton, 1014, "Complete Scene Filename", 24, 106, 98, 10, kCheck},
    {kButton, 1015, "Time && Date", 128, 106, 55, 10, kCheck},
    {kButton, 1016, "Author:", 12, 71, 39, 10, kCheck},
    {kCustEdit, 1017, "", 61, 71, 136, 11, kEdit},
    {kButton, kNone, "", 3, 138, 204, 95, kGroup},
    {kStatic, kNone, " Every Frame... ", 10, 138, 49, 8, kLeft},
    {kButton, kNone, "", 4, 39, 203, 90, kGroup},
    {kStatic, kNone, " First Frame... ", 10, 39, 45, 8, kLeft},
    {kButton, 1018, "Multithreading", 6, 239, 60, 10, kCheck},
};

TEST_F(ResourcesTest, DialogControlsInCreationOrder) {
  auto d = resources.Dialog(101);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->items.size(), std::size(kControls));
  for (std::size_t i = 0; i < std::size(kControls); ++i) {
    const Control& want = kControls[i];
    const hostres::DialogItem& got = d->items[i];
    SCOPED_TRACE("control " + std::to_string(i + 1) + " \"" + want.text + "\"");
    if (want.atom == kCustEdit) {
      EXPECT_TRUE(got.window_class == hostres::NameOrId::Name(u"CustEdit"));
    } else {
      EXPECT_TRUE(got.window_class == hostres::NameOrId::Id(want.atom));
    }
    EXPECT_EQ(got.id, want.id);
    EXPECT_FALSE(got.text.is_id);
    EXPECT_EQ(Utf16ToUtf8(got.text.name), want.text);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.style, want.style) << std::hex;
    EXPECT_EQ(got.ex_style, 0u);
    EXPECT_TRUE(got.creation_data.empty());
  }
}

struct StringCase {
  UINT id;
  const char* text;  // null: missing
};

const StringCase kStrings[] = {
    {30501, "Lumatrice"},
    {30502, "Lumatrice Parameters"},
    {30503, nullptr},
    {30504, "Parameters"},
    {30505, nullptr},
    {30506, "Display Header"},
    {30507, "Display Footer"},
    {30508, "Display Comments"},
    {30509, "Display Frames"},
    {30510, "Display Filename"},
    {30511, "Display Date"},
    {30512, "Comments"},
    {30513, "Display Slate"},
    {30514, "Display Slate Author"},
    {30515, "Slate Author"},
    {30516, "Display Slate Comments"},
    {30517, "Slate Comments"},
    {30518, "Display Slate Filename"},
    {30519, "Display Slate Time & Date"},
    {30520, "Use Multithreading"},
    {30521, nullptr},
    {30500, nullptr},
    {0, nullptr},
    {0xFFFFFFFF, nullptr},
};

TEST_F(ResourcesTest, StringTableThroughLoadStringA) {
  for (const auto& c : kStrings) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    int n = LoadStringA(module->instance, c.id, buffer, sizeof buffer);
    if (c.text) {
      EXPECT_EQ(n, int(std::strlen(c.text))) << c.id;
      EXPECT_STREQ(buffer, c.text) << c.id;
    } else {
      EXPECT_EQ(n, 0) << c.id;
      EXPECT_STREQ(buffer, "") << c.id;
    }
  }
}

TEST_F(ResourcesTest, LoadStringACutsToTheBuffer) {
  struct Case {
    int max;
    int count;
    const char* text;
  };
  for (Case c : {Case{256, 9, "Lumatrice"}, Case{10, 9, "Lumatrice"}, Case{9, 8, "Lumatric"}, Case{5, 4, "Luma"},
                 Case{1, 0, ""}}) {
    char buffer[300];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(module->instance, 30501, buffer, c.max), c.count) << c.max;
    EXPECT_STREQ(buffer, c.text) << c.max;
    EXPECT_EQ(buffer[c.max], 'x') << "wrote past max " << c.max;
  }
  char untouched = 'x';
  EXPECT_EQ(LoadStringA(module->instance, 30501, &untouched, 0), 0);
  EXPECT_EQ(untouched, 'x');
  EXPECT_EQ(LoadStringA(module->instance, 30501, nullptr, 256), 0);
}

TEST_F(ResourcesTest, StringsOfNoModuleAreMissing) {
  int local = 0;
  struct Case {
    const char* what;
    HINSTANCE instance;
  };
  for (Case c : {Case{"null", nullptr}, Case{"not a load address", reinterpret_cast<HINSTANCE>(&local)},
                 Case{"module without resources", hostres::InstanceOf(reinterpret_cast<void*>(&LoadStringA))},
                 Case{"inside the module", reinterpret_cast<HINSTANCE>(reinterpret_cast<char*>(module->instance) + 16)}}) {
    char buffer[32] = "x";
    EXPECT_EQ(LoadStringA(c.instance, 30501, buffer, sizeof buffer), 0) << c.what;
    EXPECT_STREQ(buffer, "") << c.what;
  }
}

TEST_F(ResourcesTest, ClassDescriptorReadsStringsOfItsModule) {
  const char* title = cd->GetRsrcString(30502);
  const char* name = cd->GetRsrcString(30519);
  EXPECT_STREQ(title, "Lumatrice Parameters");
  EXPECT_STREQ(name, "Display Slate Time & Date");
  EXPECT_STREQ(title, "Lumatrice Parameters") << "an earlier text stays valid";
  EXPECT_EQ(cd->GetRsrcString(30503), nullptr);
  EXPECT_EQ(cd->GetRsrcString(-1), nullptr);
}

TEST_F(ResourcesTest, VersionRecord) {
  std::string error;
  auto v = resources.Version(&error);
  ASSERT_TRUE(v) << error;
  const auto& f = v->fixed;
  struct Field {
    const char* name;
    std::uint32_t got, want;
  };
  for (Field c : {Field{"signature", f.signature, 0xFEEF04BD}, Field{"file version ms", f.file_version_ms, 0x00010001},
                  Field{"file version ls", f.file_version_ls, 0}, Field{"product version ms", f.product_version_ms, 0x00010001},
                  Field{"product version ls", f.product_version_ls, 0}, Field{"flags mask", f.flags_mask, 0x3F},
                  Field{"flags", f.flags, 0}, Field{"os", f.os, 0x40004}, Field{"type", f.type, 2},
                  Field{"subtype", f.subtype, 0}, Field{"date ms", f.date_ms, 0}, Field{"date ls", f.date_ls, 0}}) {
    EXPECT_EQ(c.got, c.want) << c.name;
  }

  ASSERT_EQ(v->string_tables.size(), 1u);
  EXPECT_EQ(Utf16ToUtf8(v->string_tables[0].key), "040904b0");
  const std::vector<std::pair<std::string, std::string>> want = {
      {"Comments", ""},
      {"CompanyName", "Lumatrice Project"},
      {"FileDescription", "Lumatrice Render Effect"},
      {"FileVersion", "1.1.0.0"},
      {"InternalName", "Lumatrice"},
      {"LegalCopyright", "Copyright (C) 2026 Lumatrice Project"},
      {"LegalTrademarks", ""},
      {"OriginalFilename", "Lumatrice.dlv"},
      {"PrivateBuild", ""},
      {"ProductName", "Lumatrice"},
      {"ProductVersion", "1.1.0.0"},
      {"SpecialBuild", ""},
  };
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& s : v->string_tables[0].strings) got.emplace_back(Utf16ToUtf8(s.key), Utf16ToUtf8(s.value));
  EXPECT_EQ(got, want);

  ASSERT_EQ(v->translations.size(), 1u);
  EXPECT_EQ(v->translations[0].language, 0x0409);
  EXPECT_EQ(v->translations[0].code_page, 0x04B0);

  // The loader hands the same record out.
  ASSERT_TRUE(module->version_info);
  EXPECT_EQ(module->version_info->Find(u"OriginalFilename"), u"Lumatrice.dlv");
}

// ---- malformed bytes ---------------------------------------------------------

// Each prefix is copied into a buffer of exactly its size, so any read past
// the end lands outside the allocation (and the sanitizer builds catch it).
TEST(ResourceReader, EveryPrefixOfTheCompiledResourcesIsReadSafely) {
  auto file = ResFileBytes();
  ASSERT_FALSE(file.empty());
  EXPECT_TRUE(hostres::ParseResourceBytes(file.data(), file.size()));
  auto entries = hostres::ParseResEntries(file.data(), file.size());
  ASSERT_TRUE(entries);
  // Only a prefix that ends between entries (within the padding or not) holds
  // whole entries.
  std::set<std::size_t> boundaries = {0, 32};  // 32: after the leading empty entry
  for (const auto& e : *entries) {
    for (std::size_t end = e.offset + e.size; end <= ((e.offset + e.size + 3) & ~std::size_t(3)); ++end)
      boundaries.insert(end);
  }
  for (std::size_t n = 0; n < file.size(); ++n) {
    std::vector<std::uint8_t> prefix(file.begin(), file.begin() + n);
    auto parsed = hostres::ParseResEntries(prefix.data(), prefix.size());
    EXPECT_EQ(parsed.has_value(), boundaries.count(n) == 1) << n;
    hostres::ParseResourceBytes(prefix.data(), prefix.size());
  }

  for (const auto& e : *entries) {
    for (std::size_t n = 0; n < e.size; ++n) {
      std::vector<std::uint8_t> part(file.begin() + e.offset, file.begin() + e.offset + n);
      switch (e.type.id) {
        case hostres::kTypeDialog:
          EXPECT_FALSE(hostres::ParseDialog(part.data(), part.size())) << n;
          break;
        case hostres::kTypeString:
          EXPECT_FALSE(hostres::ParseStringBlock(part.data(), part.size())) << n;
          break;
        case hostres::kTypeVersion:
          EXPECT_FALSE(hostres::ParseVersionInfo(part.data(), part.size())) << n;
          break;
      }
    }
  }
}

TEST(ResourceReader, RandomDamageIsReadSafely) {
  auto file = ResFileBytes();
  ASSERT_FALSE(file.empty());
  std::mt19937 rng(20260);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> damaged = file;
    int flips = 1 + round % 8;
    for (int i = 0; i < flips; ++i) damaged[rng() % damaged.size()] = std::uint8_t(rng());
    damaged.resize(damaged.size() - rng() % 64);
    hostres::ParseResourceBytes(damaged.data(), damaged.size());
    if (auto set = hostres::ResourceSet::Parse(damaged.data(), damaged.size())) {
      set->Dialog(101);
      set->String(30501);
      set->Version();
    }
  }
}

std::vector<std::uint8_t> Le(std::initializer_list<std::uint32_t> words, int width) {
  std::vector<std::uint8_t> out;
  for (auto w : words)
    for (int i = 0; i < width; ++i) out.push_back(std::uint8_t(w >> (8 * i)));
  return out;
}

TEST(ResourceReader, MalformedInputsAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool (*parse)(const std::vector<std::uint8_t>&);
  };
  auto entries = [](const std::vector<std::uint8_t>& b) { return hostres::ParseResEntries(b.data(), b.size()).has_value(); };
  auto dialog = [](const std::vector<std::uint8_t>& b) { return hostres::ParseDialog(b.data(), b.size()).has_value(); };
  auto strings = [](const std::vector<std::uint8_t>& b) { return hostres::ParseStringBlock(b.data(), b.size()).has_value(); };
  auto version = [](const std::vector<std::uint8_t>& b) { return hostres::ParseVersionInfo(b.data(), b.size()).has_value(); };
  const std::vector<Case> cases = {
      {"data size past the end", Le({0x7FFFFFFF, 32}, 4), entries},
      {"header size past the end", Le({0, 0xFFFFFFF0}, 4), entries},
      {"header too small for its names", Le({0, 8}, 4), entries},
      {"unterminated type name", Le({0, 16, 0x00410041, 0x00410041}, 4), entries},
      {"extended dialog", Le({0xFFFF0001, 0, 0, 0, 0, 0, 0}, 4), dialog},
      // style (two words), ex-style (two), count, x, y, cx, cy, menu, class, title
      {"control count beyond the data", Le({0, 0x5000, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}, 2), dialog},
      {"font name unterminated", Le({0x0040, 0x5000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 'M'}, 2), dialog},
      {"string longer than its block", Le({40, 'a'}, 2), strings},
      {"fifteen strings only", std::vector<std::uint8_t>(30, 0), strings},
      {"node length past the end", Le({0x0100, 0, 0}, 2), version},
      {"node length below its header", Le({4, 0, 0, 0}, 2), version},
      {"wrong root key", Le({16, 0, 0, 'X', 0, 0, 0, 0}, 2), version},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.parse(c.bytes)) << c.what;
  EXPECT_TRUE(strings(std::vector<std::uint8_t>(32, 0))) << "sixteen empty strings";
  EXPECT_TRUE(entries({})) << "no entries at all";
}

}  // namespace
