// Private state shared by the runtime's sources; not for users of the library.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "host_sdk.h"
#include "param_list.h"

struct ClassDesc2::Impl {
  std::vector<ParamBlockDesc2*> descs;
};

struct ParamBlockDesc2::Impl {
  BlockID id = 0;
  std::string int_name;
  int local_name = 0;
  ClassDesc2* cd = nullptr;
  USHORT flags = 0;
  bool valid = false;
  std::string error;
  ParsedParamList list;
  std::vector<ParamDef> defs;  // text pointers into `list`
  // The list of the class descriptor this descriptor is attached to; changed
  // only by the attach/detach pair below.
  ClassDesc2::Impl* attached = nullptr;
  std::atomic<int> invalidate_ui_count{0};
};

namespace hostsdk::detail {
// Moves `desc` (valid, with its state) into `cd`'s list, out of any other;
// false, and nothing changed, when memory runs out.
bool AttachParamBlockDesc(ClassDesc2::Impl* cd, ParamBlockDesc2* desc);
// Takes `desc` out of the list it is in, if any.
void DetachParamBlockDesc(ParamBlockDesc2* desc);
// Calls the host's UI hooks and counts the calls.
IAutoEParamDlg* CreateParamDialogs(ClassDesc2* cd, IRendParams* ip, SpecialFX* obj);
void InvalidateUI(ClassDesc2* cd, ParamBlockDesc2* pbd);
}  // namespace hostsdk::detail
