// Render effects: SpecialFX (named, saved with the scene) and Effect, which the
// host calls after every rendered frame.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_bitmap.h"
#include "sdk_classdesc.h"

class SpecialFX : public ReferenceTarget {
 public:
  SpecialFX();
  ~SpecialFX() override;
  virtual CStr GetName();
  virtual void Update(TimeValue t, Interval& valid);
  // Base-class data: the name text.
  IOResult Save(ISave* isave) override;
  IOResult Load(ILoad* iload) override;

  CStr name;
};

class Effect : public SpecialFX {
 public:
  Effect();
  ~Effect() override;
  SClass_ID SuperClassID() override;  // RENDER_EFFECT_CLASS_ID
  virtual IAutoEParamDlg* CreateParamDialog(IRendParams* ip);  // default null
  virtual DWORD GBufferChannelsRequired(TimeValue t);          // default 0
  virtual void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc,
                     CheckAbortCallback* cb) = 0;
};
