// Finds a loaded module's resource note from its instance handle, and the
// platform's string lookups built on it.
#include "module_resources.h"

#include <link.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "host_sdk.h"
#include "text_codec.h"
#include "win_gdi.h"

namespace hostres {
namespace {

// Where the object's ELF header is mapped: its load address.
std::uintptr_t LoadAddress(const dl_phdr_info* info) {
  const ElfW(Phdr)* lowest = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (!lowest || ph.p_vaddr < lowest->p_vaddr)) lowest = &ph;
  }
  if (!lowest) return info->dlpi_addr;
  return info->dlpi_addr + lowest->p_vaddr - lowest->p_offset;
}

// True when [vaddr, vaddr + size) is readable file content of one segment, so
// reading it cannot fault even for a hand-made object.
bool Mapped(const dl_phdr_info* info, ElfW(Addr) vaddr, std::uint64_t size) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_R)) continue;
    if (vaddr >= ph.p_vaddr && vaddr - ph.p_vaddr <= ph.p_filesz &&
        size <= ph.p_filesz - (vaddr - ph.p_vaddr)) {
      return true;
    }
  }
  return false;
}

struct NoteSearch {
  std::uintptr_t base = 0;
  bool object_found = false;
  bool note_found = false;
  std::vector<std::uint8_t> bytes;
  bool out_of_memory = false;
};

// Looks for the resource note in one note segment; copies it while the
// loader's lock keeps the object mapped.
bool ScanNotes(const std::uint8_t* p, std::uint64_t size, std::uint64_t align, NoteSearch& search) {
  auto up = [align](std::uint64_t n) { return (n + align - 1) & ~(align - 1); };
  std::uint64_t pos = 0;
  while (size - pos >= 12) {
    std::uint32_t namesz, descsz, type;
    std::memcpy(&namesz, p + pos, 4);
    std::memcpy(&descsz, p + pos + 4, 4);
    std::memcpy(&type, p + pos + 8, 4);
    std::uint64_t name_at = pos + 12;
    std::uint64_t desc_at = name_at + up(namesz);
    std::uint64_t next = desc_at + up(descsz);
    if (desc_at > size || next > size || desc_at + descsz > size) return false;
    if (type == kResourceNoteType && namesz == sizeof(kResourceNoteOwner) &&
        std::memcmp(p + name_at, kResourceNoteOwner, sizeof(kResourceNoteOwner)) == 0) {
      try {
        search.bytes.assign(p + desc_at, p + desc_at + descsz);
      } catch (...) {
        search.out_of_memory = true;
      }
      return true;
    }
    pos = next;
  }
  return false;
}

int FindNote(dl_phdr_info* info, std::size_t, void* data) {
  auto& search = *static_cast<NoteSearch*>(data);
  if (LoadAddress(info) != search.base) return 0;
  search.object_found = true;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE || !Mapped(info, ph.p_vaddr, ph.p_memsz)) continue;
    const auto* p = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + ph.p_vaddr);
    if (ScanNotes(p, ph.p_memsz, ph.p_align >= 8 ? 8 : 4, search)) {
      search.note_found = true;
      break;
    }
  }
  return 1;
}

struct AddressSearch {
  std::uintptr_t address;
  std::uintptr_t base = 0;
};

int FindObject(dl_phdr_info* info, std::size_t, void* data) {
  auto& search = *static_cast<AddressSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && search.address >= start && search.address - start < ph.p_memsz) {
      search.base = LoadAddress(info);
      return 1;
    }
  }
  return 0;
}

void SetError(std::string* error, const char* why) {
  if (!error) return;
  try {
    *error = why;
  } catch (...) {
  }
}

}  // namespace

HINSTANCE InstanceOf(const void* address) noexcept {
  AddressSearch search{reinterpret_cast<std::uintptr_t>(address)};
  dl_iterate_phdr(FindObject, &search);
  return reinterpret_cast<HINSTANCE>(search.base);
}

std::optional<ResourceSet> ModuleResources(HINSTANCE instance, std::string* error) noexcept {
  if (!instance) {
    SetError(error, "no module instance");
    return std::nullopt;
  }
  NoteSearch search;
  search.base = reinterpret_cast<std::uintptr_t>(instance);
  dl_iterate_phdr(FindNote, &search);
  if (!search.object_found) {
    SetError(error, "no module is loaded at that instance");
    return std::nullopt;
  }
  if (search.out_of_memory) {
    SetError(error, "out of memory");
    return std::nullopt;
  }
  if (!search.note_found) {
    SetError(error, "the module carries no resources");
    return std::nullopt;
  }
  return ResourceSet::Parse(search.bytes.data(), search.bytes.size(), error);
}

std::optional<std::string> LoadModuleString(HINSTANCE instance, std::uint32_t id) noexcept {
  auto resources = ModuleResources(instance);
  if (!resources) return std::nullopt;
  auto text = resources->String(id);
  if (!text) return std::nullopt;
  try {
    std::string ansi = lumatrice::Utf16ToCp1252(*text);
    if (ansi.empty()) return std::nullopt;
    return ansi;
  } catch (...) {  // out of memory: the caller is a C function
    return std::nullopt;
  }
}

}  // namespace hostres

extern "C" int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int max) {
  if (!buffer || max <= 0) return 0;
  buffer[0] = '\0';
  auto text = hostres::LoadModuleString(instance, id);
  if (!text) return 0;
  std::size_t n = std::min(text->size(), std::size_t(max - 1));
  std::memcpy(buffer, text->data(), n);
  buffer[n] = '\0';
  return int(n);
}

// The texts live as long as the process, so callers may keep the pointer;
// each distinct text is stored once.
const char* ClassDesc2::GetRsrcString(int id) {
  if (id < 0) return nullptr;
  auto text = hostres::LoadModuleString(HInstance(), std::uint32_t(id));
  if (!text) return nullptr;
  static std::mutex mutex;
  try {
    static auto* texts = new std::unordered_set<std::string>;  // never freed: outlives every module
    std::lock_guard lock(mutex);
    return texts->insert(std::move(*text)).first->c_str();
  } catch (...) {
    return nullptr;
  }
}
