// ClassDesc defaults, and ClassDesc2's descriptor list, automatic blocks and
// rollup requests; the one attach/detach pair that keeps a class descriptor's
// list and its descriptors' back links in step.
#include <algorithm>
#include <new>

#include "param_block.h"
#include "sdk_internal.h"

namespace hostsdk::detail {

bool AttachParamBlockDesc(ClassDesc2::Impl* cd, ParamBlockDesc2* desc) {
  ParamBlockDesc2::Impl* d = desc->impl();
  if (d->attached == cd) return true;
  try {
    cd->descs.push_back(desc);
  } catch (...) {
    return false;
  }
  if (d->attached) std::erase(d->attached->descs, desc);
  d->attached = cd;
  return true;
}

void DetachParamBlockDesc(ParamBlockDesc2* desc) {
  ParamBlockDesc2::Impl* d = desc->impl();
  if (!d || !d->attached) return;
  std::erase(d->attached->descs, desc);
  d->attached = nullptr;
}

}  // namespace hostsdk::detail

ClassDesc::ClassDesc() = default;
ClassDesc::~ClassDesc() = default;
BOOL ClassDesc::OkToCreate(Interface*) { return TRUE; }
const char* ClassDesc::InternalName() { return nullptr; }
HINSTANCE ClassDesc::HInstance() { return nullptr; }
int ClassDesc::NumParamBlockDescs() { return 0; }
ParamBlockDesc2* ClassDesc::GetParamBlockDesc(int) { return nullptr; }
ParamBlockDesc2* ClassDesc::GetParamBlockDescByID(BlockID) { return nullptr; }
void ClassDesc::AddParamBlockDesc(ParamBlockDesc2*) {}

// Built during plug-in static initialisation: no exception may leave.
ClassDesc2::ClassDesc2() : impl_(new (std::nothrow) Impl) {}

ClassDesc2::~ClassDesc2() {
  if (!impl_) return;
  // Descriptors that outlive this class descriptor must not detach from it.
  while (!impl_->descs.empty()) hostsdk::detail::DetachParamBlockDesc(impl_->descs.back());
  delete impl_;
}

int ClassDesc2::NumParamBlockDescs() {
  return impl_ ? static_cast<int>(impl_->descs.size()) : 0;
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDesc(int i) {
  if (i < 0 || i >= NumParamBlockDescs()) return nullptr;
  return impl_->descs[i];
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDescByID(BlockID id) {
  if (!impl_) return nullptr;
  for (ParamBlockDesc2* desc : impl_->descs) {
    if (desc->ID() == id) return desc;
  }
  return nullptr;
}

void ClassDesc2::AddParamBlockDesc(ParamBlockDesc2* pbd) {
  if (!impl_ || !pbd || !pbd->impl() || !pbd->IsValid()) return;
  hostsdk::detail::AttachParamBlockDesc(impl_, pbd);
}

void ClassDesc2::MakeAutoParamBlocks(ReferenceMaker* owner) {
  if (!owner) return;
  for (int i = 0; i < NumParamBlockDescs(); ++i) {
    ParamBlockDesc2* desc = GetParamBlockDesc(i);
    if (!desc->IsValid() || !(desc->Flags() & P_AUTO_CONSTRUCT)) continue;
    ParamBlock2* block = nullptr;
    try {
      block = new ParamBlock2(desc);
    } catch (...) {
      continue;  // the owner notices the missing block
    }
    if (owner->ReplaceReference(desc->RefNo(), block) != REF_SUCCEED) block->DeleteThis();
  }
}

IAutoEParamDlg* ClassDesc2::CreateParamDialogs(IRendParams* ip, SpecialFX* obj) {
  return hostsdk::detail::CreateParamDialogs(this, ip, obj);
}

void ClassDesc2::InvalidateUI(ParamBlockDesc2* pbd) {
  hostsdk::detail::InvalidateUI(this, pbd);
}
