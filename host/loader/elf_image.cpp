// Reads a module file's ELF header and dynamic symbol table, checking every
// offset against the file so that any file, module or not, is safe to read.
#include "elf_image.h"

#include <link.h>

#include <cstring>
#include <fstream>

namespace pluginloader {
namespace {

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#else
#error "unknown machine"
#endif

#if __SIZEOF_POINTER__ == 8
constexpr int kClass = ELFCLASS64;
#else
constexpr int kClass = ELFCLASS32;
#endif

// Larger files are not modules this host would load.
constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 30;

bool Fits(std::uint64_t offset, std::uint64_t size, std::uint64_t total) {
  return offset <= total && size <= total - offset;
}

template <typename T>
T ReadAt(const std::vector<char>& bytes, std::uint64_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

}  // namespace

bool ReadElfImage(const std::string& path, ElfImage& image, std::string& error) {
  image = ElfImage{};
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    error = "cannot be read";
    return false;
  }
  std::streamoff length = in.tellg();
  if (length < 0 || std::uint64_t(length) > kMaxFileSize) {
    error = "cannot be read (too large)";
    return false;
  }
  std::vector<char> bytes(static_cast<std::size_t>(length));
  in.seekg(0);
  if (!in.read(bytes.data(), length)) {
    error = "cannot be read";
    return false;
  }
  const std::uint64_t total = bytes.size();

  if (total < sizeof(ElfW(Ehdr)) || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
    error = "not a plug-in module (not an ELF file)";
    return false;
  }
  auto eh = ReadAt<ElfW(Ehdr)>(bytes, 0);
  if (eh.e_ident[EI_CLASS] != kClass || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
      eh.e_machine != kMachine) {
    error = "not a plug-in module for this machine";
    return false;
  }
  if (eh.e_type != ET_DYN) {
    error = "not a plug-in module (not a shared object)";
    return false;
  }
  image.shared_object = true;
  image.entry = eh.e_entry;

  if (eh.e_shentsize != sizeof(ElfW(Shdr)) ||
      !Fits(eh.e_shoff, std::uint64_t(eh.e_shnum) * sizeof(ElfW(Shdr)), total)) {
    error = "not a plug-in module (unreadable section table)";
    return false;
  }
  auto section = [&](unsigned i) {
    return ReadAt<ElfW(Shdr)>(bytes, eh.e_shoff + std::uint64_t(i) * sizeof(ElfW(Shdr)));
  };
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    ElfW(Shdr) symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    if (symtab.sh_link >= eh.e_shnum || symtab.sh_entsize != sizeof(ElfW(Sym)) ||
        !Fits(symtab.sh_offset, symtab.sh_size, total)) {
      error = "not a plug-in module (unreadable dynamic symbol table)";
      return false;
    }
    ElfW(Shdr) strtab = section(symtab.sh_link);
    if (strtab.sh_type != SHT_STRTAB || !Fits(strtab.sh_offset, strtab.sh_size, total)) {
      error = "not a plug-in module (unreadable dynamic symbol names)";
      return false;
    }
    const char* names = bytes.data() + strtab.sh_offset;
    std::uint64_t count = symtab.sh_size / sizeof(ElfW(Sym));
    for (std::uint64_t s = 1; s < count; ++s) {
      auto sym = ReadAt<ElfW(Sym)>(bytes, symtab.sh_offset + s * sizeof(ElfW(Sym)));
      int bind = ELF64_ST_BIND(sym.st_info);
      int type = ELF64_ST_TYPE(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || type == STT_SECTION || type == STT_FILE) continue;
      if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
      if (sym.st_name >= strtab.sh_size) continue;
      const char* name = names + sym.st_name;
      std::size_t max = strtab.sh_size - sym.st_name;
      std::size_t len = strnlen(name, max);
      if (len == max || len == 0) continue;  // unterminated or nameless
      image.exports.emplace_back(name, len);
    }
    return true;
  }
  // A shared object without dynamic symbols exports nothing.
  return true;
}

}  // namespace pluginloader
