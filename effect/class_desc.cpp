// The class descriptor through which the host lists the effect and creates
// effect objects, and the module's string lookup.
#include "class_desc.h"

#include <new>

#include "lumatrice_effect.h"
#include "resource_ids.h"

class LumatriceClassDesc LumatriceClassDesc __attribute__((init_priority(101)));
Class_ID lumatrice_class_id __attribute__((init_priority(102)))(0x31b82d35, 0x47d45ce7);

HINSTANCE module_instance = nullptr;

static char string_buffer[256];

char* GetString(int id) {
  if (!module_instance) return nullptr;
  int n = LoadStringA(module_instance, UINT(id), string_buffer, sizeof(string_buffer));
  return n > 0 ? string_buffer : nullptr;
}

LumatriceClassDesc::~LumatriceClassDesc() = default;

int LumatriceClassDesc::IsPublic() { return 1; }

// The loading flag makes no difference: a loaded object is built like a new one.
void* LumatriceClassDesc::Create(BOOL /*loading*/) {
  return new (std::nothrow) LumatriceEffect;
}

const char* LumatriceClassDesc::ClassName() { return GetString(IDS_CLASS_NAME); }

SClass_ID LumatriceClassDesc::SuperClassID() { return RENDER_EFFECT_CLASS_ID; }

Class_ID LumatriceClassDesc::ClassID() { return lumatrice_class_id; }

const char* LumatriceClassDesc::Category() { return ""; }

const char* LumatriceClassDesc::InternalName() { return "Lumatrice"; }

HINSTANCE LumatriceClassDesc::HInstance() { return module_instance; }
