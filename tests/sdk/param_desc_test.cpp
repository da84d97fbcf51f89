// The tagged-list parser: the module's fifteen-parameter list builds exactly
// its definitions; every malformed list is rejected loudly and whole.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "param_list.h"
#include "sdk_fixtures.h"

namespace {
constexpr int kBool = TYPE_BOOL, kStr = TYPE_STRING, kBox = TYPE_SINGLECHEKBOX,
              kEdit = TYPE_EDITBOX, kAnim = P_ANIMATABLE;
}  // namespace

std::unique_ptr<ParamBlockDesc2> MakeFifteenParamDesc(ClassDesc2* cd) {
  // clang-format off
  return std::make_unique<ParamBlockDesc2>(
      0, "Lumatrice Parameters", 0, cd, P_AUTO_CONSTRUCT + P_AUTO_UI,
      0, 101, 30502, 0, 0, nullptr,
      0, "Display Header", TYPE_BOOL, kAnim, 30506, p_default, 1, p_ui, kBox, 1004, end,
      1, "Display Footer", TYPE_BOOL, kAnim, 30507, p_default, 1, p_ui, kBox, 1005, end,
      2, "Display Comments", TYPE_BOOL, kAnim, 30508, p_default, 1, p_ui, kBox, 1009, end,
      3, "Comments", TYPE_STRING, 0, 30512, p_default, "", p_ui, kEdit, 1011, end,
      4, "Display Frames", TYPE_BOOL, kAnim, 30509, p_default, 1, p_ui, kBox, 1006, end,
      5, "Display Filename", TYPE_BOOL, kAnim, 30510, p_default, 0, p_ui, kBox, 1007, end,
      6, "Display Date", TYPE_BOOL, kAnim, 30511, p_default, 0, p_ui, kBox, 1008, end,
      7, "Display Slate", TYPE_BOOL, kAnim, 30513, p_default, 1, p_ui, kBox, 1012, end,
      8, "Display Slate Author", TYPE_BOOL, kAnim, 30514, p_default, 1, p_ui, kBox, 1016, end,
      9, "Slate Author", TYPE_STRING, 0, 30515, p_default, "", p_ui, kEdit, 1017, end,
      10, "Display Slate Comments", TYPE_BOOL, kAnim, 30516, p_default, 1, p_ui, kBox, 1010, end,
      11, "Slate Comments", TYPE_STRING, 0, 30517, p_default, "", p_ui, kEdit, 1013, end,
      12, "Display Slate Filename", TYPE_BOOL, kAnim, 30518, p_default, 1, p_ui, kBox, 1014, end,
      13, "Display Slate Time & Date", TYPE_BOOL, kAnim, 30519, p_default, 1, p_ui, kBox, 1015, end,
      14, "Use Multithreading", TYPE_BOOL, 0, 30520, p_default, 1, p_ui, kBox, 1018, end,
      end);
  // clang-format on
}

TEST(ParamDesc, ModuleListBuildsExactlyItsDefinitions) {
  // name, type, flags, default, name string, control type, control ID
  using Row = std::tuple<std::string, int, int, int, int, int, int>;
  const Row rows[15] = {
      {"Display Header", kBool, kAnim, 1, 30506, kBox, 1004},
      {"Display Footer", kBool, kAnim, 1, 30507, kBox, 1005},
      {"Display Comments", kBool, kAnim, 1, 30508, kBox, 1009},
      {"Comments", kStr, 0, 0, 30512, kEdit, 1011},
      {"Display Frames", kBool, kAnim, 1, 30509, kBox, 1006},
      {"Display Filename", kBool, kAnim, 0, 30510, kBox, 1007},
      {"Display Date", kBool, kAnim, 0, 30511, kBox, 1008},
      {"Display Slate", kBool, kAnim, 1, 30513, kBox, 1012},
      {"Display Slate Author", kBool, kAnim, 1, 30514, kBox, 1016},
      {"Slate Author", kStr, 0, 0, 30515, kEdit, 1017},
      {"Display Slate Comments", kBool, kAnim, 1, 30516, kBox, 1010},
      {"Slate Comments", kStr, 0, 0, 30517, kEdit, 1013},
      {"Display Slate Filename", kBool, kAnim, 1, 30518, kBox, 1014},
      {"Display Slate Time & Date", kBool, kAnim, 1, 30519, kBox, 1015},
      {"Use Multithreading", kBool, 0, 1, 30520, kBox, 1018},
  };
  TestClassDesc cd;
  auto desc = MakeFifteenParamDesc(&cd);
  ASSERT_TRUE(desc->IsValid()) << desc->Error();
  EXPECT_STREQ(desc->InternalName(), "Lumatrice Parameters");
  EXPECT_EQ(desc->Flags(), P_AUTO_CONSTRUCT | P_AUTO_UI);
  EXPECT_EQ(desc->RefNo(), 0);
  EXPECT_EQ(desc->DialogTemplate(), 101);
  EXPECT_EQ(desc->Title(), 30502);
  ASSERT_EQ(desc->Count(), 15);
  for (int i = 0; i < 15; ++i) {
    const ParamDef* d = desc->GetParamDef(i);
    // Text defaults are "" and count as 0 here.
    int def = d->type == TYPE_BOOL ? d->def_int : (d->def_str && *d->def_str) ? -1 : 0;
    EXPECT_EQ(Row(d->int_name, d->type, d->flags, def, d->local_name, d->ctrl_type, d->ctrl_id),
              rows[i]);
    EXPECT_EQ(d->id, i);
    EXPECT_EQ(desc->GetParamDefByID(ParamID(i)), d);
  }
  EXPECT_EQ(desc->GetParamDef(15), nullptr);
  EXPECT_EQ(desc->GetParamDefByID(15), nullptr);
  // Attached to its class descriptor until it dies.
  EXPECT_EQ(cd.NumParamBlockDescs(), 1);
  EXPECT_EQ(cd.GetParamBlockDescByID(0), desc.get());
  desc.reset();
  EXPECT_EQ(cd.NumParamBlockDescs(), 0);
}

TEST(ParamDesc, TextsAreCopiedAndOutliveTheClassDesc) {
  char name[] = "Mutable", def[] = "start";
  auto cd = std::make_unique<TestClassDesc>();
  ParamBlockDesc2 desc(3, "Copy", 0, cd.get(), 0, 0, name, TYPE_STRING, 0, 0, p_default, def,
                       end, end);
  name[0] = def[0] = 'X';
  EXPECT_STREQ(desc.GetParamDef(0)->int_name, "Mutable");
  EXPECT_STREQ(desc.GetParamDef(0)->def_str, "start");
  cd.reset();  // the descriptor's destructor must not reach the dead list
}

TEST(ParamDesc, MalformedListsAreRejectedLoudlyAndWhole) {
  using L = std::vector<ParamItem>;
  const char* null_text = nullptr;
  L too_many;
  for (int i = 0; i <= kMaxParamsPerBlock; ++i) {
    for (ParamItem item : L{i, "P", TYPE_BOOL, 0, 0, end}) too_many.push_back(item);
  }
  too_many.push_back(end);
  struct Case {
    const char* what;
    USHORT flags;
    L list;
    const char* fault;
  };
  const Case cases[] = {
      {"unknown tag", 0, {0, "A", TYPE_BOOL, 0, 0, int(0xC0000099u), 1, end, end}, "unknown tag"},
      {"unknown type", 0, {0, "A", 7, 0, 0, end, end}, "unknown type 7"},
      {"null name", 0, {0, null_text, TYPE_BOOL, 0, 0, end, end}, "null or empty"},
      {"empty name", 0, {0, "", TYPE_BOOL, 0, 0, end, end}, "null or empty"},
      {"duplicate ID", 0, {4, "A", TYPE_BOOL, 0, 0, end, 4, "B", TYPE_BOOL, 0, 0, end, end},
       "duplicate parameter ID 4"},
      {"edit box on a switch", 0, {0, "A", TYPE_BOOL, 0, 0, p_ui, kEdit, 1, end, end},
       "does not fit TYPE_BOOL"},
      {"check box on a text", 0, {0, "A", TYPE_STRING, 0, 0, p_ui, kBox, 1, end, end},
       "does not fit TYPE_STRING"},
      {"no closing end", 0, {0, "A", TYPE_BOOL, 0, 0, end}, "closing end"},
      {"ends in p_ui", 0, {0, "A", TYPE_BOOL, 0, 0, p_ui, kBox}, "p_ui"},
      {"ends in the header", P_AUTO_CONSTRUCT | P_AUTO_UI, {0, 101, 1}, "rollup fields"},
      {"text where an int belongs", 0, {0, "A", "B", 0, 0, end, end}, "list ends"},
      {"ID out of range", 0, {70000, "A", TYPE_BOOL, 0, 0, end, end}, "parameter ID or end"},
      {"too many parameters", 0, too_many, "more than 1024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestClassDesc cd;
    ParamBlockDesc2 desc(9, "Fuzzed Block", 0, nullptr, 0, end);
    ItemListReader reader(c.list);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(RebuildParamBlockDesc(desc, 9, "Fuzzed Block", 0, &cd, c.flags, reader));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(desc.IsValid());
    EXPECT_EQ(desc.Count(), 0);
    EXPECT_EQ(cd.NumParamBlockDescs(), 0);
    EXPECT_NE(err.find("\"Fuzzed Block\""), std::string::npos) << err;
    EXPECT_NE(err.find(c.fault), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_NE(std::string(desc.Error()).find(c.fault), std::string::npos);
  }
}

TEST(ParamDesc, VariadicListFaultLeavesNoHalfBlock) {
  TestClassDesc cd;
  testing::internal::CaptureStderr();
  ParamBlockDesc2 desc(0, "Bad", 0, &cd, 0, 0, "Good", TYPE_BOOL, 0, 0, end, 1, "Bad",
                       TYPE_BOOL, 0, 0, p_ui, kEdit, 2, end, end);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(desc.IsValid());
  EXPECT_EQ(desc.Count(), 0);
  EXPECT_EQ(cd.NumParamBlockDescs(), 0);
  EXPECT_NE(err.find("parameter 1 \"Bad\""), std::string::npos) << err;
}
