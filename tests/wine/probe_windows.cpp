// The probe's Windows backend: LoadLibraryA and GetProcAddress (by name and
// by ordinal), FindResourceA/LoadResource, and the module's import table,
// patched so that its clock and drawing calls pass through the probe.
#include <cstring>

#include "probe.h"

namespace {

SYSTEMTIME pinned_time{};

void WINAPI PinnedLocalTime(SYSTEMTIME* st) { *st = pinned_time; }

UINT WINAPI LoggedSetTextAlign(HDC dc, UINT align) {
  probe::LogAlign(align);
  return SetTextAlign(dc, align);
}
BOOL WINAPI LoggedTextOutA(HDC dc, int x, int y, LPCSTR text, int length) {
  probe::LogText(x, y, text, length);
  return TextOutA(dc, x, y, text, length);
}
int WINAPI LoggedFillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  probe::LogFill(rect);
  return FillRect(dc, rect, brush);
}

// Points the module's import of `name` (from any DLL) at `proc`.
bool PatchImport(HINSTANCE instance, const char* name, void* proc) {
  auto* base = reinterpret_cast<BYTE*>(instance);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return false;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &old);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(proc);
      VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), old, &old);
      return true;
    }
  }
  return false;
}

template <typename Proc>
bool Find(HMODULE module, const char* name, int ordinal, Proc& proc, std::string& error) {
  FARPROC by_name = GetProcAddress(module, name);
  FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (!by_name || by_name != by_ordinal) {
    error = std::string("export ") + name + " is not ordinal " + std::to_string(ordinal);
    return false;
  }
  proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(by_name));
  return true;
}

}  // namespace

namespace probe {

bool LoadModule(const std::string& path, Module& m, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) {
    error = "LoadLibraryA failed, error " + std::to_string(GetLastError());
    return false;
  }
  m.instance = module;
  return Find(module, "LibDescription", 1, m.lib_description, error) &&
         Find(module, "LibNumberClasses", 2, m.lib_number_classes, error) &&
         Find(module, "LibClassDesc", 3, m.lib_class_desc, error) &&
         Find(module, "LibVersion", 4, m.lib_version, error);
}

std::vector<std::uint8_t> ResourceBytes(HINSTANCE instance, int type, int id) {
  HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
  HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
  auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  if (!data) return {};
  return std::vector<std::uint8_t>(data, data + SizeofResource(instance, found));
}

void PinClock(HINSTANCE instance, const SYSTEMTIME& time) {
  pinned_time = time;
  PatchImport(instance, "GetLocalTime", reinterpret_cast<void*>(&PinnedLocalTime));
}

void HookDrawing(HINSTANCE instance) {
  PatchImport(instance, "SetTextAlign", reinterpret_cast<void*>(&LoggedSetTextAlign));
  PatchImport(instance, "TextOutA", reinterpret_cast<void*>(&LoggedTextOutA));
  PatchImport(instance, "FillRect", reinterpret_cast<void*>(&LoggedFillRect));
}

}  // namespace probe
