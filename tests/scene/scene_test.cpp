// Scene files: save/load/save identity, animated keys, unknown classes kept
// verbatim, and located messages for malformed files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "plugin_loader.h"
#include "scene.h"

using namespace lumatrice;
namespace fs = std::filesystem;

namespace {

const Class_ID kLumatrice(0x31b82d35, 0x47d45ce7);

class SceneTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loader_ = new pluginloader::PluginLoader;
    ASSERT_TRUE(loader_->LoadModule(LUMATRICE_MODULE));
  }
  static void TearDownTestSuite() {
    delete loader_;
    loader_ = nullptr;
  }
  ClassLookup Lookup() {
    return [](SClass_ID s, Class_ID id) { return loader_->FindClass(s, id); };
  }
  ClassDesc* Lumatrice() { return loader_->FindClass(RENDER_EFFECT_CLASS_ID, kLumatrice); }

  std::string Temp(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() /
                         ("lumatrice_scene_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return (dir / name).string();
  }

  static pluginloader::PluginLoader* loader_;
};
pluginloader::PluginLoader* SceneTest::loader_ = nullptr;

std::string Serialized(const Scene& s) {
  std::string text, error;
  EXPECT_TRUE(s.Serialize(text, error)) << error;
  return text;
}

const char* kUnknownEntry = R"({
      "superclass_id": 4240,
      "class_id": [1, "0x2"],
      "class_name": "Blur",
      "data_hex": "00010203",
      "reference_0": {"parameters": {"Radius": 3.5, "Mode": ["a", {"b": null}]}}
    })";

std::string SceneWith(const std::string& entries, const std::string& settings = "{}") {
  return R"({"format_version": 1, "settings": )" + settings + R"(, "render_effects": [)" +
         entries + "]}";
}

}  // namespace

TEST_F(SceneTest, SaveLoadSaveGivesIdenticalBytes) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(Lumatrice(), error)) << error;
  ASSERT_TRUE(scene.AddEffect(Lumatrice(), error)) << error;
  scene.settings.frame_rate = 25;
  scene.settings.time_display = hostsdk::TimeDisplay::SMPTE;
  scene.settings.clock = "2002-03-07T09:05:03";
  scene.settings.scene_path = "C:\\shows\\ep1\\sh010.max";
  ParamBlock2* block = BlockOf(scene.items[0].effect);
  ASSERT_NE(block, nullptr);
  // UTF-8 on the way in, Windows-1252 in the block.
  ASSERT_TRUE(ParamFromText(*block, *FindParam(block, "Comments"), "take \"3\" \xc3\xa9 \xe2\x82\xac",
                            {}, error));
  EXPECT_STREQ(block->GetStr(FindParam(block, "Comments")->id), "take \"3\" \xe9 \x80");
  ASSERT_TRUE(ParamFromText(*block, *FindParam(block, "Display Date"), "on", 960, error));
  ASSERT_TRUE(ParamFromText(*block, *FindParam(block, "Display Date"), "off", 1920, error));
  scene.items[0].effect->name = "Caption pass";

  const std::string path = Temp("roundtrip.json");
  ASSERT_TRUE(scene.Save(path, error)) << error;
  Scene loaded;
  std::vector<std::string> warnings;
  ASSERT_TRUE(Scene::Load(path, Lookup(), loaded, warnings, error)) << error;
  EXPECT_TRUE(warnings.empty());
  const std::string again = Temp("roundtrip2.json");
  ASSERT_TRUE(loaded.Save(again, error)) << error;

  std::ifstream a(path, std::ios::binary), b(again, std::ios::binary);
  const std::string first((std::istreambuf_iterator<char>(a)), {});
  const std::string second((std::istreambuf_iterator<char>(b)), {});
  EXPECT_EQ(first, second);
  EXPECT_EQ(loaded.settings, scene.settings);
  EXPECT_EQ(std::string(loaded.items[0].effect->name.data()), "Caption pass");
  ParamBlock2* back = BlockOf(loaded.items[0].effect);
  EXPECT_STREQ(back->GetStr(FindParam(back, "Comments")->id), "take \"3\" \xe9 \x80");
}

TEST_F(SceneTest, AnimatedKeysSurviveTheFile) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(Lumatrice(), error));
  ParamBlock2* block = BlockOf(scene.items[0].effect);
  const ParamDef* header = FindParam(block, "Display Header");
  ASSERT_TRUE(block->SetKeys(header->id, {{0, 1}, {480, 0}, {4800, 1}}));

  std::string text;
  ASSERT_TRUE(scene.Serialize(text, error));
  SceneDocument doc;
  ASSERT_TRUE(ParseScene(text, "mem", doc, error)) << error;
  Scene loaded;
  std::vector<std::string> warnings;
  ASSERT_TRUE(Scene::Build(doc, "mem", Lookup(), loaded, warnings, error)) << error;
  ParamBlock2* back = BlockOf(loaded.items[0].effect);
  std::vector<ParamKey> keys;
  ASSERT_TRUE(back->GetKeys(header->id, keys));
  EXPECT_EQ(keys, (std::vector<ParamKey>{{0, 1}, {480, 0}, {4800, 1}}));
  // The keyed value is what the effect reads at each time.
  for (auto [t, want] : {std::pair{0, 1}, {479, 1}, {480, 0}, {4799, 0}, {4800, 1}}) {
    int v = -1;
    Interval iv;
    back->GetValue(header->id, t, v, iv);
    EXPECT_EQ(v, want) << "t=" << t;
  }
}

TEST_F(SceneTest, UnknownClassIsKeptVerbatimAndSkipped) {
  const std::string text = SceneWith(std::string(kUnknownEntry) +
                                     R"(, {"class_id": ["0x31b82d35", "0x47d45ce7"],
                                           "superclass_id": "0x1090",
                                           "reference_0": {"parameters": {"Comments": "x"}}})");
  SceneDocument doc;
  std::string error;
  ASSERT_TRUE(ParseScene(text, "s.json", doc, error)) << error;
  Scene scene;
  std::vector<std::string> warnings;
  ASSERT_TRUE(Scene::Build(doc, "s.json", Lookup(), scene, warnings, error)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("s.json"), std::string::npos);
  EXPECT_NE(warnings[0].find("0x00000001:0x00000002"), std::string::npos);
  EXPECT_EQ(scene.LiveEffects().size(), 1u);
  EXPECT_EQ(scene.items[0].effect, nullptr);

  const Json saved = Json::parse(Serialized(scene));
  EXPECT_EQ(saved["render_effects"][0], Json::parse(kUnknownEntry));
  EXPECT_EQ(saved["render_effects"][0].dump(), Json::parse(kUnknownEntry).dump());
}

TEST_F(SceneTest, BadParametersLoadNothing) {
  struct Case {
    const char* params;
    const char* message;
  };
  const Case cases[] = {
      {R"({"Bogus": true})", "unknown parameter"},
      {R"({"Display Header": "yes"})", "expected true or false"},
      {R"({"Display Header": 2})", "expected true or false"},
      {R"({"Comments": 5})", "expected a text"},
      {R"({"Use Multithreading": {"keys": [{"time": 0, "value": true}]}})", "not animatable"},
      {R"({"Display Date": {"keys": [{"time": "0", "value": true}]}})", "keys[0]"},
      {R"({"Display Date": {"keys": [{"time": 0, "value": true, "x": 1}]}})", "keys[0]"},
      {R"({"Comments": "\u65e5"})", "not in Windows-1252"},
  };
  for (const Case& c : cases) {
    const std::string text =
        SceneWith(R"({"class_id": ["0x31b82d35", "0x47d45ce7"], "superclass_id": 4240,
                      "reference_0": {"parameters": )" + std::string(c.params) + "}}");
    SceneDocument doc;
    std::string error;
    ASSERT_TRUE(ParseScene(text, "bad.json", doc, error)) << error;
    Scene scene;
    ASSERT_TRUE(scene.AddEffect(Lumatrice(), error));
    std::vector<std::string> warnings;
    EXPECT_FALSE(Scene::Build(doc, "bad.json", Lookup(), scene, warnings, error)) << c.params;
    EXPECT_NE(error.find("bad.json"), std::string::npos) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.params << " -> " << error;
    // The scene handed in is untouched.
    EXPECT_EQ(scene.items.size(), 1u);
  }
}

TEST_F(SceneTest, DamagedEffectDataIsRefused) {
  struct Case {
    const char* hex;
    const char* message;  // null: loads
  };
  const Case cases[] = {
      {"00010100000000", nullptr},                  // name chunk holding ""
      {"000105000000414243", "damaged"},            // length runs past the data
      {"0001", "damaged"},                          // half a chunk header
      {"000100000000", "could not be read"},        // name without its terminator
  };
  for (const Case& c : cases) {
    const std::string text =
        SceneWith(R"({"class_id": ["0x31b82d35", "0x47d45ce7"], "superclass_id": 4240,
                      "data_hex": ")" + std::string(c.hex) + "\"}");
    SceneDocument doc;
    std::string error;
    ASSERT_TRUE(ParseScene(text, "d.json", doc, error)) << error;
    Scene scene;
    std::vector<std::string> warnings;
    const bool built = Scene::Build(doc, "d.json", Lookup(), scene, warnings, error);
    EXPECT_EQ(built, c.message == nullptr) << c.hex << ": " << error;
    if (c.message) {
      EXPECT_NE(error.find(c.message), std::string::npos) << error;
      EXPECT_TRUE(scene.items.empty());
    }
  }
}

TEST_F(SceneTest, MalformedFilesAreLocated) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"{\n  \"format_version\": 1,\n  \"settings\": {,}\n}", "line 3, column"},
      {"", "line 1, column 1"},
      {R"({"format_version": 2})", "version 2"},
      {R"({"settings": {}})", "missing \"format_version\""},
      {R"({"format_version": "1"})", "expected a whole number"},
      {R"({"format_version": 1, "extra": 1})", "unknown field \"extra\""},
      {R"({"format_version": 1, "settings": {"frame_rate": 7}})", "must divide 4800"},
      {R"({"format_version": 1, "settings": {"time_display": "hours"}})", "hours"},
      {R"({"format_version": 1, "settings": {"clock": "2002-02-30T00:00:00"}})", "settings.clock"},
      {R"({"format_version": 1, "settings": {"size": "12x"}})", "settings.size"},
      {R"({"format_version": 1, "render_effects": {}})", "expected a list"},
      {R"({"format_version": 1, "render_effects": [{"superclass_id": 4240}]})", "class_id"},
      {R"({"format_version": 1, "render_effects": [{"class_id": [1, 2], "superclass_id": -1}]})",
       "superclass_id"},
      {R"({"format_version": 1, "render_effects": [{"class_id": [1, 2], "superclass_id": 1,
           "data_base64": "abc"}]})", "not valid base64"},
      {R"({"format_version": 1, "render_effects": [{"class_id": [1, 2], "superclass_id": 1,
           "data_hex": "0g"}]})", "not valid hex"},
  };
  for (const Case& c : cases) {
    SceneDocument doc;
    doc.settings.frame_rate = 24;
    std::string error;
    EXPECT_FALSE(ParseScene(c.text, "shot.json", doc, error)) << c.text;
    EXPECT_EQ(error.rfind("shot.json: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " -> " << error;
    EXPECT_EQ(doc.settings.frame_rate, 24);  // nothing loaded
  }
}

TEST_F(SceneTest, SaveIsAtomicAndLeavesNoTemporaryFile) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(Lumatrice(), error));
  const std::string path = Temp("atomic/scene.json");
  fs::create_directories(fs::path(path).parent_path());
  { std::ofstream(path) << "old contents"; }
  ASSERT_TRUE(scene.Save(path, error)) << error;
  int files = 0;
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path())) {
    ++files;
    EXPECT_EQ(e.path().filename(), "scene.json");
  }
  EXPECT_EQ(files, 1);
  // Saving into a folder that does not exist fails and says where.
  EXPECT_FALSE(scene.Save(Temp("missing/dir/scene.json"), error));
  EXPECT_NE(error.find("missing/dir/scene.json"), std::string::npos);
}

TEST(SceneCodecs, BinaryTextRoundTrips) {
  const std::vector<std::vector<std::uint8_t>> cases = {
      {}, {0}, {0xFF, 0}, {1, 2, 3}, {0xFB, 0xFF, 0xBF, 0x00, 0x10}};
  for (const auto& bytes : cases) {
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(Base64Decode(Base64Encode(bytes), back));
    EXPECT_EQ(back, bytes);
    ASSERT_TRUE(HexDecode(HexEncode(bytes), back));
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(Base64Encode({'M', 'a', 'n'}), "TWFu");
  EXPECT_EQ(Base64Encode({'M'}), "TQ==");
  std::vector<std::uint8_t> out;
  for (const char* bad : {"T", "TQ=", "T=Q=", "TQ==TQ==", "@@@@"})
    EXPECT_FALSE(Base64Decode(bad, out)) << bad;
}
