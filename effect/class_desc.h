// The module's one class descriptor, its class ID and the string lookup: the
// module-wide objects the effect itself names, so they live on its side; the
// module (module/) only hands them to the host. All live from load to unload;
// built at load in the order class descriptor, class ID, parameter-block
// descriptor (init priorities 101, 102, 103).
#pragma once

#include "host_sdk.h"
#include "win_gdi.h"

class LumatriceClassDesc : public ClassDesc2 {
 public:
  ~LumatriceClassDesc() override;
  int IsPublic() override;
  void* Create(BOOL loading = FALSE) override;
  const char* ClassName() override;
  SClass_ID SuperClassID() override;
  Class_ID ClassID() override;
  const char* Category() override;
  const char* InternalName() override;
  HINSTANCE HInstance() override;
};

// The object carries the class's name, as the host's lists know it; the type
// is spelled `class LumatriceClassDesc` where it is needed.
extern class LumatriceClassDesc LumatriceClassDesc;
extern Class_ID lumatrice_class_id;

// Set by the module entry (module/module_main.cpp) on every call.
extern HINSTANCE module_instance;

// Text of string `id` in the module's string table, in one shared buffer that
// the next call overwrites; null before the entry ran or when the string is
// missing or empty.
char* GetString(int id);
