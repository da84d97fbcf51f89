// The render effect object: owns one parameter block (reference 0), answers
// the host's questions about its class, builds its rollup through the class
// descriptor, and stamps captions or the opening slate in Apply.
//
// Threads: the host creates, notifies, saves and applies on its own thread;
// only a split slate merge also runs on the process's transfer worker.
#pragma once

#include "host_sdk.h"
#include "win_gdi.h"

class LumatriceEffect : public Effect {
 public:
  LumatriceEffect();
  ~LumatriceEffect() override;

  void GetClassName(CStr& s) override;
  Class_ID ClassID() override;
  SClass_ID SuperClassID() override;
  void DeleteThis() override;
  int NumSubs() override;
  Animatable* SubAnim(int i) override;
  CStr SubAnimName(int i) override;
  int RenderBegin(TimeValue t, ULONG flags) override;
  int RenderEnd(TimeValue t) override;
  int NumParamBlocks() override;
  IParamBlock2* GetParamBlock(int i) override;
  IParamBlock2* GetParamBlockByID(BlockID id) override;
  IOResult Save(ISave* isave) override;
  IOResult Load(ILoad* iload) override;
  int NumRefs() override;
  RefTargetHandle GetReference(int i) override;
  void SetReference(int i, RefTargetHandle target) override;
  RefResult NotifyRefChanged(Interval changeInt, RefTargetHandle hTarget, PartID& partID,
                             RefMessage message) override;
  CStr GetName() override;
  void Update(TimeValue t, Interval& valid) override;
  IAutoEParamDlg* CreateParamDialog(IRendParams* ip) override;
  DWORD GBufferChannelsRequired(TimeValue t) override;
  void Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* gc, CheckAbortCallback* cb) override;

  // Merges the raster into the frame on this thread and the transfer worker;
  // returns when every row is merged. Uses only its arguments and the
  // process-wide worker objects.
  void SplitTransfer(HDC raster_dc, Bitmap* bitmap);

  IParamBlock2* pblock;
  // 1 from the pre-render notification until the next apply call ends.
  int slate_mark;
};

// Pre-render notification: marks the registered effect's next frame as the
// render's first.
void OnPreRender(void* param, NotifyInfo* info);

// Modal notice captioned "Lumatrice"; returns when it is closed.
void ShowMessage(const char* text);
