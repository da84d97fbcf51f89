// Loads the real Lumatrice.dlv through the plug-in loader for each test and
// unloads it afterwards, so every test meets a freshly loaded module.
#pragma once

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_api.h"
#include "plugin_loader.h"
#include "raster_host.h"

inline const std::string kModulePath = LUMATRICE_MODULE_PATH;
inline constexpr std::uint32_t kClassA = 0x31b82d35;
inline constexpr std::uint32_t kClassB = 0x47d45ce7;

// Address of a function the module defines but does not export, from the
// file's full symbol table: lets a test call the module's own GetString.
inline void* LocalFunction(const std::string& path, HINSTANCE instance, const char* name) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (f.size() < sizeof(ElfW(Ehdr))) return nullptr;
  ElfW(Ehdr) eh;
  std::memcpy(&eh, f.data(), sizeof eh);
  if (eh.e_shoff + std::uint64_t(eh.e_shnum) * sizeof(ElfW(Shdr)) > f.size()) return nullptr;
  auto section = [&](unsigned i) {
    ElfW(Shdr) sh;
    std::memcpy(&sh, f.data() + eh.e_shoff + i * sizeof(ElfW(Shdr)), sizeof sh);
    return sh;
  };
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    ElfW(Shdr) symtab = section(i);
    if (symtab.sh_type != SHT_SYMTAB || symtab.sh_link >= eh.e_shnum) continue;
    ElfW(Shdr) strtab = section(symtab.sh_link);
    if (symtab.sh_offset + symtab.sh_size > f.size() || strtab.sh_offset + strtab.sh_size > f.size())
      return nullptr;
    for (std::uint64_t off = 0; off + sizeof(ElfW(Sym)) <= symtab.sh_size; off += sizeof(ElfW(Sym))) {
      ElfW(Sym) sym;
      std::memcpy(&sym, f.data() + symtab.sh_offset + off, sizeof sym);
      if (sym.st_name >= strtab.sh_size || ELF64_ST_TYPE(sym.st_info) != STT_FUNC) continue;
      if (std::strcmp(f.data() + strtab.sh_offset + sym.st_name, name) == 0)
        return reinterpret_cast<char*>(instance) + sym.st_value;
    }
  }
  return nullptr;
}

// True while the module file is mapped in this process.
inline bool ModuleMapped() {
  void* h = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    ASSERT_TRUE(loader.LoadModule(kModulePath)) << (loader.Refused().empty() ? "" : loader.Refused()[0].reason);
    module = &loader.Modules().at(0);
    ASSERT_EQ(module->classes.size(), 1u);
    cd = static_cast<ClassDesc2*>(module->classes[0]);
  }
  void TearDown() override {
    for (Effect* fx : effects) Delete(fx);
    loader.Unload();
  }

  // An effect made as the host makes it; deleted with its block at TearDown.
  Effect* NewEffect(BOOL loading = FALSE) {
    auto* fx = static_cast<Effect*>(cd->Create(loading));
    if (fx) effects.push_back(fx);
    return fx;
  }
  // As the host deletes an effect: drop its references, delete it, then its block.
  static void Delete(Effect* fx) {
    IParamBlock2* block = fx->GetParamBlock(0);
    fx->DeleteAllRefs();
    fx->DeleteThis();
    if (block) block->DeleteThis();
  }
  template <typename Fn>
  Fn Export(const char* name) {
    void* h = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    void* sym = h ? dlsym(h, name) : nullptr;
    if (h) dlclose(h);  // the loader still holds the module
    return reinterpret_cast<Fn>(sym);
  }

  pluginloader::PluginLoader loader;
  const pluginloader::LoadedModule* module = nullptr;
  ClassDesc2* cd = nullptr;
  std::vector<Effect*> effects;
};
