// The effect object's life and its answers to the host: names, IDs, its one
// reference and sub-animatable (the parameter block), save/load through the
// base class, the rollup through the class descriptor, the slate mark.
#include <cstdlib>

#include "class_desc.h"
#include "lumatrice_effect.h"
#include "param_desc.h"
#include "resource_ids.h"
#include "transfer_worker.h"

void OnPreRender(void* param, NotifyInfo* /*info*/) {
  static_cast<LumatriceEffect*>(param)->slate_mark = 1;
}

LumatriceEffect::LumatriceEffect() : pblock(nullptr), slate_mark(0) {
  RegisterNotification(OnPreRender, this, NOTIFY_PRE_RENDER);
  LumatriceClassDesc.MakeAutoParamBlocks(this);
  if (!pblock) assert1(__LINE__, __FILE__);
  AttachTransferWorker();
}

// The block is the host's to release, not the effect's.
LumatriceEffect::~LumatriceEffect() {
  UnRegisterNotification(OnPreRender, this);
  DetachTransferWorker();
}

void LumatriceEffect::GetClassName(CStr& s) { s = GetString(IDS_CLASS_NAME); }

Class_ID LumatriceEffect::ClassID() { return lumatrice_class_id; }

SClass_ID LumatriceEffect::SuperClassID() { return RENDER_EFFECT_CLASS_ID; }

void LumatriceEffect::DeleteThis() { delete this; }

int LumatriceEffect::NumSubs() { return 1; }

Animatable* LumatriceEffect::SubAnim(int i) { return i == 0 ? pblock : nullptr; }

CStr LumatriceEffect::SubAnimName(int i) {
  return i == 0 ? CStr(GetString(IDS_PARAMETERS)) : CStr();
}

int LumatriceEffect::RenderBegin(TimeValue, ULONG) { return 0; }

int LumatriceEffect::RenderEnd(TimeValue) { return 0; }

int LumatriceEffect::NumParamBlocks() { return 1; }

IParamBlock2* LumatriceEffect::GetParamBlock(int) { return pblock; }

IParamBlock2* LumatriceEffect::GetParamBlockByID(BlockID id) {
  // Without a block there is nothing to ask for its ID.
  if (!pblock) return nullptr;
  return pblock->ID() == id ? pblock : nullptr;
}

IOResult LumatriceEffect::Save(ISave* isave) { return SpecialFX::Save(isave); }

// A failed base-class load is reported, not hidden behind IO_OK: the host must
// know that the scene's data did not arrive.
IOResult LumatriceEffect::Load(ILoad* iload) {
  IOResult result = SpecialFX::Load(iload);
  return result == IO_ERROR ? IO_ERROR : IO_OK;
}

int LumatriceEffect::NumRefs() { return 1; }

RefTargetHandle LumatriceEffect::GetReference(int i) { return i == 0 ? pblock : nullptr; }

void LumatriceEffect::SetReference(int i, RefTargetHandle target) {
  if (i == 0) pblock = static_cast<IParamBlock2*>(target);
}

RefResult LumatriceEffect::NotifyRefChanged(Interval, RefTargetHandle, PartID&,
                                            RefMessage message) {
  if (message == REFMSG_CHANGE) lumatrice_param_blk.ClassDesc()->InvalidateUI(&lumatrice_param_blk);
  return REF_SUCCEED;
}

CStr LumatriceEffect::GetName() { return CStr(GetString(IDS_CLASS_NAME)); }

void LumatriceEffect::Update(TimeValue, Interval&) {}

IAutoEParamDlg* LumatriceEffect::CreateParamDialog(IRendParams* ip) {
  return LumatriceClassDesc.CreateParamDialogs(ip, this);
}

DWORD LumatriceEffect::GBufferChannelsRequired(TimeValue) { return BMM_CHAN_Z; }
