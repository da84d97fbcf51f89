// The resources a loaded module carries, found from its instance handle the
// way the platform finds a module's resource section: without running any
// of the module's code.
//
// How a module carries them: the compiled .res bytes sit in an allocated ELF
// note (owner kResourceNoteOwner, type kResourceNoteType; the section is
// named .rsrc), which the linker maps with the module's PT_NOTE segment. The
// lookup walks the loaded objects (dl_iterate_phdr), takes the one whose load
// address equals the instance handle, and reads that note in memory.
//
// This library also defines the platform's LoadStringA (platform/win_gdi.h)
// and ClassDesc2::GetRsrcString (platform/sdk_classdesc.h) on top of it.
// Every function is safe to call from any thread and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "res_format.h"
#include "win_types.h"

namespace hostres {

inline constexpr char kResourceNoteOwner[] = "RSRC";
inline constexpr std::uint32_t kResourceNoteType = 1;

// The instance handle (load address) of the loaded object holding `address`;
// null when no loaded object holds it.
HINSTANCE InstanceOf(const void* address) noexcept;

// A copy of the resources of the module loaded at `instance`; nullopt when
// no loaded object starts there, it carries no resources, or they are
// malformed (then `error` says why).
std::optional<ResourceSet> ModuleResources(HINSTANCE instance, std::string* error = nullptr) noexcept;

// Text of string `id` of the module at `instance` in the 8-bit code page;
// nullopt when missing or empty.
std::optional<std::string> LoadModuleString(HINSTANCE instance, std::uint32_t id) noexcept;

}  // namespace hostres
