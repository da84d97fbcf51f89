// The object model: Animatable defaults and the two-way links between
// reference makers and their targets. Each target lists the makers that
// depend on it; each maker lists the targets it holds. Either side dying
// unlinks the other, so no list ever keeps a dead object.
#include <algorithm>
#include <new>
#include <vector>

#include "sdk_reference.h"

// One list type serves both directions: a target's dependents and a maker's
// targets (stored through their ReferenceMaker base).
class RefDependents {
 public:
  struct Link {
    ReferenceMaker* obj;
    int count;  // a maker may hold one target in several references
  };

  std::vector<Link> links;
  // Flags of NotifyDependents calls running on this target; cleared when the
  // target dies so that a notification loop stops touching it.
  std::vector<bool*> watchers;

  Link* Find(const ReferenceMaker* obj) {
    auto it = std::find_if(links.begin(), links.end(),
                           [obj](const Link& l) { return l.obj == obj; });
    return it == links.end() ? nullptr : &*it;
  }
  // May throw; call Reserve first where failure must leave no change.
  void Add(ReferenceMaker* obj) {
    if (Link* l = Find(obj)) {
      ++l->count;
    } else {
      links.push_back({obj, 1});
    }
  }
  void Reserve() { links.reserve(links.size() + 1); }
  void RemoveOne(const ReferenceMaker* obj) {
    Link* l = Find(obj);
    if (l && --l->count == 0) links.erase(links.begin() + (l - links.data()));
  }
  void RemoveAll(const ReferenceMaker* obj) {
    std::erase_if(links, [obj](const Link& l) { return l.obj == obj; });
  }
};

namespace {
RefDependents* Ensure(RefDependents*& list) {
  if (!list) list = new RefDependents;
  return list;
}
}  // namespace

Animatable::Animatable() = default;
Animatable::~Animatable() = default;
void Animatable::GetClassName(CStr& s) { s = ""; }
Class_ID Animatable::ClassID() { return Class_ID(0, 0); }
SClass_ID Animatable::SuperClassID() { return 0; }
void Animatable::DeleteThis() { delete this; }
int Animatable::NumSubs() { return 0; }
Animatable* Animatable::SubAnim(int) { return nullptr; }
CStr Animatable::SubAnimName(int) { return CStr(); }
int Animatable::NumParamBlocks() { return 0; }
IParamBlock2* Animatable::GetParamBlock(int) { return nullptr; }
IParamBlock2* Animatable::GetParamBlockByID(BlockID) { return nullptr; }

ReferenceMaker::ReferenceMaker() : targets_(nullptr) {}

ReferenceMaker::~ReferenceMaker() {
  if (!targets_) return;
  for (const RefDependents::Link& l : targets_->links) {
    auto* target = static_cast<ReferenceTarget*>(l.obj);
    if (target->dependents_) target->dependents_->RemoveAll(this);
  }
  delete targets_;
}

IOResult ReferenceMaker::Save(ISave*) { return IO_OK; }
IOResult ReferenceMaker::Load(ILoad*) { return IO_OK; }
int ReferenceMaker::NumRefs() { return 0; }
RefTargetHandle ReferenceMaker::GetReference(int) { return nullptr; }
void ReferenceMaker::SetReference(int, RefTargetHandle) {}
int ReferenceMaker::RenderBegin(TimeValue, ULONG) { return 0; }
int ReferenceMaker::RenderEnd(TimeValue) { return 0; }

RefResult ReferenceMaker::ReplaceReference(int which, RefTargetHandle target) {
  if (which < 0 || which >= NumRefs()) return REF_FAIL;
  ReferenceTarget* old = GetReference(which);
  if (old == target) return REF_SUCCEED;
  // Room for the new links first: past this point nothing can fail.
  if (target) {
    try {
      Ensure(targets_)->Reserve();
      Ensure(target->dependents_)->Reserve();
    } catch (...) {
      return REF_FAIL;
    }
  }
  SetReference(which, target);
  if (old) {
    if (targets_) targets_->RemoveOne(old);
    if (old->dependents_) old->dependents_->RemoveOne(this);
  }
  if (target) {
    targets_->Add(target);
    target->dependents_->Add(this);
  }
  return REF_SUCCEED;
}

void ReferenceMaker::DeleteAllRefs() {
  for (int i = 0; i < NumRefs(); ++i) ReplaceReference(i, nullptr);
  // Links the maker no longer reports through GetReference.
  if (targets_) {
    for (const RefDependents::Link& l : targets_->links) {
      auto* target = static_cast<ReferenceTarget*>(l.obj);
      if (target->dependents_) target->dependents_->RemoveAll(this);
    }
    targets_->links.clear();
  }
}

ReferenceTarget::ReferenceTarget() : dependents_(nullptr) {}

ReferenceTarget::~ReferenceTarget() {
  if (!dependents_) return;
  for (bool* alive : dependents_->watchers) *alive = false;
  // Makers still holding this target forget it on both sides.
  while (!dependents_->links.empty()) {
    ReferenceMaker* maker = dependents_->links.back().obj;
    dependents_->links.pop_back();
    if (maker->targets_) maker->targets_->RemoveAll(this);
    for (int i = 0; i < maker->NumRefs(); ++i) {
      if (maker->GetReference(i) == this) maker->SetReference(i, nullptr);
    }
  }
  delete dependents_;
}

RefResult ReferenceTarget::NotifyDependents(Interval changeInt, PartID partID,
                                            RefMessage message) {
  if (!dependents_ || dependents_->links.empty()) return REF_SUCCEED;
  std::vector<ReferenceMaker*> makers;
  bool alive = true;
  try {
    makers.reserve(dependents_->links.size());
    for (const RefDependents::Link& l : dependents_->links) makers.push_back(l.obj);
    dependents_->watchers.push_back(&alive);
  } catch (...) {
    return REF_FAIL;
  }
  RefResult result = REF_SUCCEED;
  for (ReferenceMaker* maker : makers) {
    // A maker that left the list during an earlier call is not called.
    if (!dependents_->Find(maker)) continue;
    PartID part = partID;
    RefResult answer = REF_FAIL;
    try {
      answer = maker->NotifyRefChanged(changeInt, this, part, message);
    } catch (...) {
      // A plug-in's exception ends here, at the runtime's boundary.
    }
    if (answer == REF_STOP) result = REF_STOP;
    if (!alive) return result;  // a dependent deleted this target
    if (result == REF_STOP) break;
  }
  std::erase(dependents_->watchers, &alive);
  return result;
}

int ReferenceTarget::NumDependents() const {
  return dependents_ ? static_cast<int>(dependents_->links.size()) : 0;
}
