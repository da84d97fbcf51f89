// The stamp marker in image headers: its hash, the record in attributes and
// on the description line (replacing an older one, keeping other lines), the
// formats that keep it, and what a scene's effects put into it.
#include <gtest/gtest.h>

#include "host_session.h"
#include "marker.h"

using namespace lumatrice;

TEST(Marker, HashIsFnv1a64) {
  EXPECT_EQ(StableHash(""), "cbf29ce484222325");
  EXPECT_EQ(StableHash("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(StableHash("foobar"), "85944171f73967e8");
}

TEST(Marker, DescriptionLineReplacesAnOlderOneAndReadsBackAlone) {
  const StampMarker m{"Lumatrice 0x31b82d35:0x47d45ce7", "1.1.0", "0123456789abcdef", "[]"};
  const std::string old_line = std::string(kMarkerDescriptionTag) + R"({"Stamped": "yes"})";
  struct Row {
    std::string description;
    bool line;
    std::string kept;  // the description without its marker line afterwards
  } rows[] = {
      {"", false, ""},          {"", true, ""},
      {"Shot 12", true, "Shot 12"}, {"Shot 12\n" + old_line, true, "Shot 12"},
      {old_line + "\nShot 12", false, "Shot 12"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description + (row.line ? " +line" : ""));
    OIIO::ImageSpec spec(4, 4, 3);
    if (!row.description.empty()) spec.attribute("ImageDescription", row.description);
    WriteMarker(spec, m, row.line);
    const std::string description = spec.get_string_attribute("ImageDescription");
    const std::size_t tag = description.find(kMarkerDescriptionTag);
    EXPECT_EQ(tag != std::string::npos, row.line);
    EXPECT_EQ(description.find(kMarkerDescriptionTag, tag + 1), std::string::npos) << "one line";
    EXPECT_EQ(description.substr(0, row.line && tag > 0 ? tag - 1 : tag), row.kept);
    if (row.description.empty() && !row.line) {
      EXPECT_FALSE(spec.find_attribute("ImageDescription"));
    }
    // A format that keeps only the description: the record comes from it.
    OIIO::ImageSpec plain(4, 4, 3);
    if (!description.empty()) plain.attribute("ImageDescription", description);
    const std::optional<StampMarker> read = ReadMarker(row.line ? plain : spec);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tie(read->effect, read->version, read->settings_hash, read->settings),
              std::tie(m.effect, m.version, m.settings_hash, m.settings));
  }
  EXPECT_FALSE(ReadMarker(OIIO::ImageSpec(4, 4, 3)));
}

TEST(Marker, FormatsThatKeepIt) {
  struct Row {
    const char* file;
    bool attributes, marker;
  } rows[] = {{"f.exr", true, true},  {"f.png", true, true},   {"f.tif", false, true},
              {"f.jpg", false, true}, {"f.dpx", false, false}, {"f.bmp", false, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(FormatKeepsAttributes(row.file), row.attributes) << row.file;
    EXPECT_EQ(FormatKeepsMarker(row.file), row.marker) << row.file;
  }
}

TEST(Marker, SourceRecordsTextsAsTheEffectCopiesThem) {
  HostSession host;
  host.LoadPlugins({});
  ClassDesc* cd = host.LumatriceClass();
  ASSERT_NE(cd, nullptr) << "Lumatrice.dlv beside the test";
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(cd, error)) << error;
  ASSERT_TRUE(scene.AddEffect(cd, error)) << error;
  ASSERT_TRUE(ApplyParameterSets(scene, {"Comments=" + std::string(300, 'x')}, 1, std::nullopt,
                                 error))
      << error;
  const StampMarker m = MarkerSource(scene, {"1.1.0"}).At(0);
  const std::string name = scene.items[0].entry.class_name + " 0x31b82d35:0x47d45ce7";
  EXPECT_EQ(m.effect, name + "; " + name);
  EXPECT_EQ(m.version, "1.1.0; unknown");
  EXPECT_EQ(m.settings_hash, StableHash(m.settings));
  const Json settings = Json::parse(m.settings);
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0]["parameters"]["Comments"], std::string(255, 'x'));
  EXPECT_NE(settings[1]["parameters"]["Comments"], settings[0]["parameters"]["Comments"]);
}
