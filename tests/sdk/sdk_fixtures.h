// Shared fixtures of the SDK runtime tests: a class descriptor, a reference
// maker that records its messages, and a descriptor shaped like the module's.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "host_sdk.h"

class TestClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return nullptr; }
  const char* ClassName() override { return "Test"; }
  SClass_ID SuperClassID() override { return RENDER_EFFECT_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(1, 2); }
  const char* Category() override { return ""; }
};

// Holds `slots` references and records every message it is sent.
class Recorder : public ReferenceTarget {
 public:
  explicit Recorder(int slots = 1) : refs(slots, nullptr) {}
  int NumRefs() override { return static_cast<int>(refs.size()); }
  RefTargetHandle GetReference(int i) override {
    return i >= 0 && i < NumRefs() ? refs[i] : nullptr;
  }
  void SetReference(int i, RefTargetHandle t) override {
    if (i >= 0 && i < NumRefs()) refs[i] = t;
  }
  RefResult NotifyRefChanged(Interval, RefTargetHandle from, PartID&, RefMessage m) override {
    messages.push_back(m);
    if (on_notify) on_notify(*this, from);
    return REF_SUCCEED;
  }
  std::vector<RefTargetHandle> refs;
  std::vector<RefMessage> messages;
  std::function<void(Recorder&, RefTargetHandle)> on_notify;
};

// The module's fifteen parameters, built through the variadic constructor.
std::unique_ptr<ParamBlockDesc2> MakeFifteenParamDesc(ClassDesc2* cd);
