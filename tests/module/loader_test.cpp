// The plug-in loader: which modules of a folder load and which are refused,
// and why; the entry calls of a module's life; the plug-in folders.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "entry_probe.h"
#include "module_fixture.h"
#include "module_resources.h"

namespace {

namespace fs = std::filesystem;
using pluginloader::DLL_PROCESS_ATTACH;
using pluginloader::DLL_PROCESS_DETACH;

const std::string kProbeDir = PROBE_DIR;

std::string Name(const std::string& path) { return fs::path(path).filename().string(); }

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    ClearProbeEvents();
  }
  const pluginloader::RefusedModule* Refusal(const std::string& file) {
    for (const auto& r : loader.Refused())
      if (Name(r.path) == file) return &r;
    return nullptr;
  }
  const pluginloader::LoadedModule* Loaded(const std::string& file) {
    for (const auto& m : loader.Modules())
      if (Name(m.path) == file) return &m;
    return nullptr;
  }
  std::vector<std::string> EntryReasons(const std::string& probe) {
    std::vector<std::string> out;
    for (const auto& e : ProbeEvents()) {
      if (e.module != probe) continue;
      if (e.what == "entry")
        out.push_back(e.reason == DLL_PROCESS_ATTACH   ? "attach"
                      : e.reason == DLL_PROCESS_DETACH ? "detach"
                                                       : "other");
      else
        out.push_back(e.what);
    }
    return out;
  }
  pluginloader::PluginLoader loader;
};

// Lumatrice first, so that the probe claiming its class ID meets it.
TEST_F(LoaderTest, EachBadModuleIsRefusedByNameAndTheRestLoad) {
  ASSERT_TRUE(loader.LoadModule(kModulePath));
  loader.LoadFolders({kProbeDir});

  struct Case {
    std::string file;
    std::string refusal;  // empty: loads
  };
  const Case cases[] = {
      {"probe_ok.dlv", ""},
      {"probe_no_entry.dlv", ""},
      {"probe_newer_api.dlv", ""},
      {"not_a_module.dlv", "not a plug-in module"},
      {"missing_export.dlv", "missing export LibClassDesc"},
      {"wrong_version.dlv", "built for host SDK release 4000 (version 0x0FA00800), this host is release 4200"},
      {"failing_entry.dlv", "entry failed at process attach"},
      {"throwing.dlv", "threw an exception in LibVersion"},
      {"duplicate_class.dlv", "(0x31B82D35, 0x47D45CE7) of superclass 0x00001090 is already registered by " +
                                  kModulePath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    if (!c.refusal.empty()) {
      const auto* r = Refusal(c.file);
      ASSERT_NE(r, nullptr);
      EXPECT_NE(r->reason.find(c.refusal), std::string::npos) << r->reason;
      EXPECT_EQ(Loaded(c.file), nullptr);
    } else {
      EXPECT_NE(Loaded(c.file), nullptr);
      EXPECT_EQ(Refusal(c.file), nullptr);
    }
  }
  EXPECT_EQ(loader.Refused().size(), 6u);
  ASSERT_NE(Loaded("Lumatrice.dlv"), nullptr);
  EXPECT_EQ(Loaded("Lumatrice.dlv")->classes.size(), 1u);
  EXPECT_EQ(loader.ClassesOf(RENDER_EFFECT_CLASS_ID).size(), 1u);
  EXPECT_EQ(loader.FindClass(RENDER_EFFECT_CLASS_ID, Class_ID(kClassA, kClassB)),
            Loaded("Lumatrice.dlv")->classes[0]);
  EXPECT_EQ(loader.FindClass(0x1234, Class_ID(kClassA, kClassB)), nullptr);
}

// The entry sees the module after its static initialisations, with the load
// address; detach comes before the statics are destroyed.
TEST_F(LoaderTest, EntryLifeOfAGoodModule) {
  ASSERT_TRUE(loader.LoadModule(kProbeDir + "/probe_ok.dlv"));
  const auto* m = Loaded("probe_ok.dlv");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->description, "probe probe_ok");
  EXPECT_EQ(m->version, 0x10680800u);
  // The four in ordinal order first; whatever else the probe leaks (it has
  // no version script) follows by name.
  ASSERT_GE(m->exports.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(m->exports.begin(), m->exports.begin() + 4),
            (std::vector<std::string>{"LibDescription", "LibNumberClasses", "LibClassDesc", "LibVersion"}));
  EXPECT_TRUE(std::is_sorted(m->exports.begin() + 4, m->exports.end()));
  EXPECT_FALSE(m->version_info) << "the probe carries no resources";
  HINSTANCE instance = m->instance;
  EXPECT_EQ(instance, hostres::InstanceOf(reinterpret_cast<void*>(m->entry)));

  loader.Unload();
  EXPECT_EQ(EntryReasons("probe_ok"), (std::vector<std::string>{"static built", "attach", "detach", "static destroyed"}));
  for (const auto& e : ProbeEvents()) {
    if (e.what != "entry") continue;
    EXPECT_EQ(e.instance, instance);
    EXPECT_TRUE(e.statics_ready);
  }
}

TEST_F(LoaderTest, AFailedEntryIsAnsweredWithDetachAndUnload) {
  EXPECT_FALSE(loader.LoadModule(kProbeDir + "/failing_entry.dlv"));
  EXPECT_EQ(EntryReasons("failing_entry"),
            (std::vector<std::string>{"static built", "attach", "detach", "static destroyed"}));
  EXPECT_TRUE(loader.Modules().empty());
}

TEST_F(LoaderTest, RefusedBeforeTheEntryMeansNoEntryCall) {
  for (const char* file : {"wrong_version.dlv", "missing_export.dlv"}) {
    EXPECT_FALSE(loader.LoadModule(kProbeDir + "/" + file)) << file;
  }
  EXPECT_EQ(EntryReasons("wrong_version"), (std::vector<std::string>{"static built", "static destroyed"}));
  EXPECT_EQ(EntryReasons("missing_export"), (std::vector<std::string>{"static built", "static destroyed"}));
}

TEST_F(LoaderTest, AModuleWithoutEntryLoadsWithoutEntryCalls) {
  ASSERT_TRUE(loader.LoadModule(kProbeDir + "/probe_no_entry.dlv"));
  EXPECT_EQ(loader.Modules()[0].entry, nullptr);
  loader.Unload();
  EXPECT_EQ(EntryReasons("probe_no_entry"), (std::vector<std::string>{"static built", "static destroyed"}));
}

TEST_F(LoaderTest, ModulesUnloadNewestFirst) {
  ASSERT_TRUE(loader.LoadModule(kProbeDir + "/probe_ok.dlv"));
  ASSERT_TRUE(loader.LoadModule(kProbeDir + "/probe_no_entry.dlv"));
  ClearProbeEvents();
  loader.Unload();
  std::vector<std::string> order;
  for (const auto& e : ProbeEvents()) order.push_back(e.module + " " + e.what);
  EXPECT_EQ(order, (std::vector<std::string>{"probe_no_entry static destroyed", "probe_ok entry",
                                             "probe_ok static destroyed"}));
}

TEST_F(LoaderTest, TheSameFileLoadsOnce) {
  ASSERT_TRUE(loader.LoadModule(kProbeDir + "/probe_ok.dlv"));
  EXPECT_TRUE(loader.LoadModule(kProbeDir + "/../plugins/probe_ok.dlv"));
  loader.LoadFolders({kProbeDir + "/", kProbeDir});
  int count = 0;
  for (const auto& m : loader.Modules()) count += Name(m.path) == "probe_ok.dlv";
  EXPECT_EQ(count, 1);
}

TEST_F(LoaderTest, MissingFilesAndFoldersAreReported) {
  EXPECT_FALSE(loader.LoadModule(kProbeDir + "/no_such.dlv"));
  loader.LoadFolders({kProbeDir + "/no_such_folder"});
  ASSERT_EQ(loader.Refused().size(), 2u);
  EXPECT_EQ(Name(loader.Refused()[0].path), "no_such.dlv");
  EXPECT_NE(loader.Refused()[1].reason.find("plug-in folder cannot be read"), std::string::npos);
}

TEST(PluginFolders, SplitPathList) {
  struct Case {
    std::string list;
    std::vector<std::string> parts;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"/a", {"/a"}},
      {"/a:/b", {"/a", "/b"}},
      {"::/a::/b:", {"/a", "/b"}},
      {"rel/x:/abs y", {"rel/x", "/abs y"}},
  };
  for (const auto& c : cases) EXPECT_EQ(pluginloader::SplitPathList(c.list), c.parts) << c.list;
}

TEST(PluginFolders, ExecutableFolderThenOptionThenEnvironmentEachOnce) {
  std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  setenv("LUMATRICE_PLUGIN_PATH", ("/env/one::" + exe_dir + ":/opt/two").c_str(), 1);
  struct Case {
    pluginloader::FolderOptions options;
    std::vector<std::string> folders;
  };
  const std::vector<Case> cases = {
      {{}, {exe_dir, "/env/one", "/opt/two"}},
      {{true, {"/opt/two", "/cli"}, true}, {exe_dir, "/opt/two", "/cli", "/env/one"}},
      {{false, {"/cli"}, false}, {"/cli"}},
      {{false, {}, true}, {"/env/one", exe_dir, "/opt/two"}},
  };
  for (const auto& c : cases) EXPECT_EQ(pluginloader::PluginFolders(c.options), c.folders);
  unsetenv("LUMATRICE_PLUGIN_PATH");
  EXPECT_EQ(pluginloader::PluginFolders({}), (std::vector<std::string>{exe_dir}));
}

}  // namespace
