// Lumatrice.dlv as the host meets it: exports, entry, string lookup, class
// descriptor and the effect object, all through the loaded module file.
#include <cstring>

#include "bitmap_storage.h"
#include "chunk_stream.h"
#include "module_fixture.h"

namespace {

using GetStringProc = char* (*)(int);

TEST_F(ModuleTest, ExportsExactlyTheFourInOrdinalOrder) {
  EXPECT_EQ(module->exports,
            (std::vector<std::string>{"LibDescription", "LibNumberClasses", "LibClassDesc", "LibVersion"}));
  EXPECT_EQ(Export<void*>("DllMain"), nullptr);
  EXPECT_EQ(Export<void*>("GetString"), nullptr);
}

TEST_F(ModuleTest, ExportsAnswer) {
  auto lib_class_desc = Export<ClassDesc* (*)(int)>("LibClassDesc");
  ASSERT_NE(lib_class_desc, nullptr);
  struct Case {
    int index;
    bool descriptor;
  };
  for (Case c : {Case{0, true}, Case{1, false}, Case{-1, false}, Case{1000, false}}) {
    EXPECT_EQ(lib_class_desc(c.index), c.descriptor ? module->classes[0] : nullptr) << c.index;
  }
  EXPECT_EQ(Export<int (*)()>("LibNumberClasses")(), 1);
  EXPECT_STREQ(Export<const char* (*)()>("LibDescription")(), "Kestrin https://lumatrice.example.org");
  EXPECT_EQ(module->description, "Kestrin https://lumatrice.example.org");

  ULONG v = Export<ULONG (*)()>("LibVersion")();
  EXPECT_EQ(v, 0x10680800u);
  EXPECT_EQ(pluginloader::SdkRelease(v), 4200u);
  EXPECT_EQ(pluginloader::SdkApi(v), 8u);
  EXPECT_EQ(pluginloader::SdkRevision(v), 0u);
}

TEST_F(ModuleTest, ClassDescriptorAnswers) {
  EXPECT_EQ(cd->IsPublic(), 1);
  EXPECT_STREQ(cd->ClassName(), "Lumatrice");
  EXPECT_EQ(cd->SuperClassID(), 0x1090u);
  EXPECT_TRUE(cd->ClassID() == Class_ID(kClassA, kClassB));
  EXPECT_STREQ(cd->Category(), "");
  EXPECT_STREQ(cd->InternalName(), "Lumatrice");
  EXPECT_EQ(cd->HInstance(), module->instance);
  EXPECT_TRUE(cd->OkToCreate(nullptr));
  EXPECT_EQ(loader.FindClass(RENDER_EFFECT_CLASS_ID, Class_ID(kClassA, kClassB)), cd);
}

TEST_F(ModuleTest, OneBlockDescriptorWithBlockIdZero) {
  ASSERT_EQ(cd->NumParamBlockDescs(), 1);
  ParamBlockDesc2* pbd = cd->GetParamBlockDesc(0);
  ASSERT_NE(pbd, nullptr);
  EXPECT_EQ(pbd->ID(), 0);
  EXPECT_EQ(pbd->ClassDesc(), cd);
  EXPECT_TRUE(pbd->IsValid()) << pbd->Error();
  EXPECT_EQ(pbd->Count(), 15);
  EXPECT_EQ(cd->GetParamBlockDescByID(0), pbd);
  EXPECT_EQ(cd->GetParamBlockDescByID(1), nullptr);
}

// The loader called the entry once, with the load address; a second call (a
// thread attach) stores the handle again but leaves the controls alone.
TEST_F(ModuleTest, EntryInitialisesControlsOncePerLoad) {
  ASSERT_NE(module->entry, nullptr);
  EXPECT_EQ(hostsdk::InitCustomControlsCount(), 1);
  EXPECT_EQ(hostsdk::InitCustomControlsInstance(), module->instance);
  int common = textraster::InitCommonControlsCount();

  EXPECT_EQ(module->entry(module->instance, pluginloader::DLL_THREAD_ATTACH, nullptr), 1);
  EXPECT_EQ(hostsdk::InitCustomControlsCount(), 1);
  EXPECT_EQ(textraster::InitCommonControlsCount(), common);

  // A new load starts with the flag clear again.
  loader.Unload();
  ASSERT_TRUE(loader.LoadModule(kModulePath));
  EXPECT_EQ(hostsdk::InitCustomControlsCount(), 2);
  EXPECT_EQ(textraster::InitCommonControlsCount(), common + 1);
  module = &loader.Modules().at(0);
  cd = static_cast<ClassDesc2*>(module->classes[0]);
}

TEST_F(ModuleTest, GetStringLooksUpTheModulesTable) {
  auto get_string = reinterpret_cast<GetStringProc>(LocalFunction(kModulePath, module->instance, "_Z9GetStringi"));
  ASSERT_NE(get_string, nullptr);
  struct Case {
    int id;
    const char* text;  // null: missing
  };
  for (Case c : {Case{30501, "Lumatrice"}, Case{30504, "Parameters"}, Case{30519, "Display Slate Time & Date"},
                 Case{30503, nullptr}, Case{1, nullptr}, Case{-1, nullptr}}) {
    char* s = get_string(c.id);
    if (c.text) {
      EXPECT_STREQ(s, c.text) << c.id;
    } else {
      EXPECT_EQ(s, nullptr) << c.id;
    }
  }
}

// One buffer for the module: the class name's pointer shows the next text.
TEST_F(ModuleTest, GetStringSharesOneBuffer) {
  const char* name = cd->ClassName();
  ASSERT_STREQ(name, "Lumatrice");
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  EXPECT_STREQ(fx->SubAnimName(0).data(), "Parameters");
  EXPECT_STREQ(name, "Parameters");
  EXPECT_EQ(cd->ClassName(), name);
}

// Opened without its entry, the module has no instance handle yet.
TEST(ModuleFile, StringsAreMissingBeforeTheEntryRan) {
  ASSERT_FALSE(ModuleMapped()) << "an earlier test left the module loaded";
  void* h = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto lib_class_desc = reinterpret_cast<ClassDesc* (*)(int)>(dlsym(h, "LibClassDesc"));
  ASSERT_NE(lib_class_desc, nullptr);
  auto* cd = static_cast<ClassDesc2*>(lib_class_desc(0));
  EXPECT_EQ(cd->HInstance(), nullptr);
  EXPECT_EQ(cd->ClassName(), nullptr);
  EXPECT_EQ(cd->GetRsrcString(30502), nullptr);
  EXPECT_STREQ(cd->InternalName(), "Lumatrice");
  dlclose(h);
  EXPECT_FALSE(ModuleMapped());
}

TEST_F(ModuleTest, UnloadUnmapsTheModuleAndDetaches) {
  EXPECT_TRUE(ModuleMapped());
  loader.Unload();
  EXPECT_FALSE(ModuleMapped());
  EXPECT_TRUE(loader.Modules().empty());
  EXPECT_EQ(loader.FindClass(RENDER_EFFECT_CLASS_ID, Class_ID(kClassA, kClassB)), nullptr);
}

// The loading flag makes no difference.
TEST_F(ModuleTest, CreateBuildsTheSameEffectWhetherLoadingOrNot) {
  for (BOOL loading : {FALSE, TRUE}) {
    Effect* fx = NewEffect(loading);
    ASSERT_NE(fx, nullptr);
    EXPECT_TRUE(fx->ClassID() == Class_ID(kClassA, kClassB));
    EXPECT_EQ(fx->SuperClassID(), RENDER_EFFECT_CLASS_ID);
    ASSERT_NE(fx->GetParamBlock(0), nullptr);
    EXPECT_EQ(fx->GetParamBlock(0)->GetDesc(), cd->GetParamBlockDesc(0));
  }
  EXPECT_EQ(hostsdk::AssertCount(), 0);
}

TEST_F(ModuleTest, EffectAnswersAboutItsBlockAndNames) {
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  IParamBlock2* block = fx->GetParamBlock(0);
  ASSERT_NE(block, nullptr);

  struct Case {
    const char* what;
    const void* got;
    const void* want;
  };
  for (Case c : {
           Case{"SubAnim(0)", fx->SubAnim(0), block},
           Case{"SubAnim(1)", fx->SubAnim(1), nullptr},
           Case{"SubAnim(-1)", fx->SubAnim(-1), nullptr},
           Case{"GetReference(0)", fx->GetReference(0), block},
           Case{"GetReference(1)", fx->GetReference(1), nullptr},
           Case{"GetParamBlock(7)", fx->GetParamBlock(7), block},
           Case{"GetParamBlockByID(0)", fx->GetParamBlockByID(0), block},
           Case{"GetParamBlockByID(1)", fx->GetParamBlockByID(1), nullptr},
       }) {
    EXPECT_EQ(c.got, c.want) << c.what;
  }
  EXPECT_EQ(fx->NumSubs(), 1);
  EXPECT_EQ(fx->NumRefs(), 1);
  EXPECT_EQ(fx->NumParamBlocks(), 1);
  EXPECT_STREQ(fx->SubAnimName(0).data(), "Parameters");
  EXPECT_STREQ(fx->SubAnimName(1).data(), "");
  CStr name;
  fx->GetClassName(name);
  EXPECT_STREQ(name.data(), "Lumatrice");
  EXPECT_STREQ(fx->GetName().data(), "Lumatrice");
  for (TimeValue t : {0, 160, -4800, TIME_PosInfinity}) EXPECT_EQ(fx->GBufferChannelsRequired(t), 1u) << t;
  EXPECT_EQ(fx->RenderBegin(0, 0), 0);
  EXPECT_EQ(fx->RenderEnd(0), 0);
  Interval valid(10, 20);
  fx->Update(15, valid);
  EXPECT_TRUE(valid == Interval(10, 20));

  fx->SetReference(1, nullptr);
  EXPECT_EQ(fx->GetReference(0), block);
}

// Without a block there is nothing to ask for its ID: null, not a crash.
TEST_F(ModuleTest, GetParamBlockByIdWithoutABlockIsNull) {
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  IParamBlock2* block = fx->GetParamBlock(0);
  fx->SetReference(0, nullptr);
  EXPECT_EQ(fx->GetParamBlockByID(0), nullptr);
  EXPECT_EQ(fx->SubAnim(0), nullptr);
  fx->SetReference(0, block);
  EXPECT_EQ(fx->GetParamBlockByID(0), block);
}

TEST_F(ModuleTest, RollupRefreshOnlyForChangeMessages) {
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  ParamBlockDesc2* pbd = cd->GetParamBlockDesc(0);
  PartID part = PART_ALL;
  struct Case {
    RefMessage message;
    int refreshes;
  };
  int expected = hostsdk::InvalidateUICount(pbd);
  for (Case c : {Case{0x50, 1}, Case{0x50, 1}, Case{0x51, 0}, Case{0, 0}, Case{0xFFFFFFFF, 0}, Case{0x50, 1}}) {
    EXPECT_EQ(fx->NotifyRefChanged(FOREVER, fx->GetParamBlock(0), part, c.message), REF_SUCCEED) << c.message;
    expected += c.refreshes;
    EXPECT_EQ(hostsdk::InvalidateUICount(pbd), expected) << c.message;
  }
  // A change of the block reaches the effect as its dependent.
  fx->GetParamBlock(0)->SetValue(0, 0, 0);
  EXPECT_GT(hostsdk::InvalidateUICount(pbd), expected);
}

TEST_F(ModuleTest, RollupIsBuiltThroughTheClassDescriptor) {
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  int before = hostsdk::CreateParamDialogsCount();
  fx->CreateParamDialog(nullptr);
  EXPECT_EQ(hostsdk::CreateParamDialogsCount(), before + 1);
}

// The slate is the only drawing that reaches the middle rows of the frame.
class SlateTest : public ModuleTest {
 protected:
  static constexpr BMM_Color_64 kBackdrop{0x1111, 0x2222, 0x3333, 0x4444};
  bool AppliesSlate(Effect* fx) {
    RGBA16Storage storage(160, 120);
    storage.Fill(kBackdrop);
    Bitmap bm(&storage);
    struct NoAbort : CheckAbortCallback {
      BOOL Check() override { return FALSE; }
      BOOL Progress(int, int) override { return TRUE; }
      void SetTitle(const char*) override {}
    } abort;
    fx->Apply(0, &bm, nullptr, &abort);
    const BMM_Color_64 px = storage.Row(60)[1];
    return !(px.r == kBackdrop.r && px.g == kBackdrop.g && px.b == kBackdrop.b && px.a == kBackdrop.a);
  }
};

TEST_F(SlateTest, OnePreRenderNotificationMarksEveryEffect) {
  Effect* a = NewEffect();
  Effect* b = NewEffect();
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(AppliesSlate(a)) << "no slate before a render starts";

  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_TRUE(AppliesSlate(a));
  EXPECT_TRUE(AppliesSlate(b));
  EXPECT_FALSE(AppliesSlate(a)) << "the mark is cleared by the first frame";
  EXPECT_FALSE(AppliesSlate(b));

  hostsdk::BroadcastNotification(NOTIFY_POST_RENDER);
  EXPECT_FALSE(AppliesSlate(a)) << "only the pre-render notification marks";
}

TEST_F(SlateTest, DeletedEffectsLeaveTheNotification) {
  int before = hostsdk::NotificationRegistrationCount();
  Effect* fx = NewEffect();
  ASSERT_NE(fx, nullptr);
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), before + 1);
  effects.clear();
  Delete(fx);
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), before);
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);  // must not reach the deleted effect
}

TEST_F(ModuleTest, SaveThenLoadRestoresTheName) {
  Effect* saved = NewEffect();
  Effect* loaded = NewEffect(TRUE);
  ASSERT_TRUE(saved && loaded);
  saved->name = "Night pass";
  MemorySave out;
  EXPECT_EQ(saved->Save(&out), IO_OK);
  ASSERT_TRUE(out.Complete());
  MemoryLoad in(out.Bytes());
  EXPECT_EQ(loaded->Load(&in), IO_OK);
  EXPECT_STREQ(loaded->name.data(), "Night pass");
  EXPECT_EQ(in.Remaining(), 0u);
}

// A failed base-class load is reported, not hidden behind IO_OK.
TEST_F(ModuleTest, LoadReportsTheBaseClassResult) {
  Effect* fx = NewEffect(TRUE);
  ASSERT_NE(fx, nullptr);
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    IOResult result;
  };
  const std::vector<Case> cases = {
      {"empty stream", {}, IO_OK},
      {"name chunk", {0x00, 0x01, 3, 0, 0, 0, 'a', 'b', 0}, IO_OK},
      {"chunk longer than the stream", {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}, IO_ERROR},
      {"name without terminator", {0x00, 0x01, 2, 0, 0, 0, 'a', 'b'}, IO_ERROR},
      {"truncated chunk header", {0x00, 0x01, 3}, IO_ERROR},
  };
  for (const auto& c : cases) {
    MemoryLoad in(c.bytes);
    EXPECT_EQ(fx->Load(&in), c.result) << c.what;
  }
}

}  // namespace
