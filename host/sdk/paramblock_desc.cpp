// ParamBlockDesc2: a parameter-block descriptor built from its tagged list.
// A faulty list is reported on stderr and leaves an empty, invalid descriptor
// that no class descriptor knows.
#include <cstdio>
#include <new>

#include "sdk_internal.h"

namespace {

const ParamBlockDesc2::Impl& Of(const ParamBlockDesc2::Impl* impl) {
  static const ParamBlockDesc2::Impl* none = new ParamBlockDesc2::Impl;
  return impl ? *impl : *none;
}

void Reset(ParamBlockDesc2::Impl& impl) {
  impl.valid = false;
  impl.list = ParsedParamList{};
  impl.defs.clear();
}

}  // namespace

bool RebuildParamBlockDesc(ParamBlockDesc2& desc, BlockID id, const char* int_name,
                           int local_name, ClassDesc2* cd, USHORT flags,
                           ParamListReader& reader) {
  ParamBlockDesc2::Impl* impl = desc.impl();
  const char* shown = int_name && *int_name ? int_name : "(unnamed)";
  if (!impl) {
    std::fprintf(stderr, "ParamBlockDesc2 \"%s\" (block %d): out of memory\n", shown, id);
    return false;
  }
  hostsdk::detail::DetachParamBlockDesc(&desc);
  Reset(*impl);
  try {
    impl->id = id;
    impl->int_name = int_name ? int_name : "";
    impl->local_name = local_name;
    impl->cd = cd;
    impl->flags = flags;
    if (impl->int_name.empty()) {
      impl->error = "null or empty block name";
    } else if (ParseParamList(flags, reader, impl->list, impl->error)) {
      impl->defs.reserve(impl->list.params.size());
      for (ParsedParamList::Param& p : impl->list.params) {
        ParamDef def = p.def;
        def.int_name = p.name.c_str();
        def.def_str = p.def.type == TYPE_STRING ? p.def_str.c_str() : nullptr;
        impl->defs.push_back(def);
      }
      impl->valid = true;
    }
  } catch (...) {
    Reset(*impl);
    impl->error = "out of memory";
  }
  if (!impl->valid) {
    Reset(*impl);
    std::fprintf(stderr, "ParamBlockDesc2 \"%s\" (block %d): %s\n", shown, id,
                 impl->error.c_str());
    return false;
  }
  impl->error.clear();
  if (cd) cd->AddParamBlockDesc(&desc);
  return true;
}

ParamBlockDesc2::ParamBlockDesc2(BlockID id, const char* int_name, int local_name,
                                 ClassDesc2* cd, int flags, ...)
    : impl_(new (std::nothrow) Impl) {
  va_list args;
  va_start(args, flags);
  {
    VaListReader reader(args);
    RebuildParamBlockDesc(*this, id, int_name, local_name, cd, USHORT(flags), reader);
  }
  va_end(args);
}

ParamBlockDesc2::~ParamBlockDesc2() {
  hostsdk::detail::DetachParamBlockDesc(this);
  delete impl_;
}

BlockID ParamBlockDesc2::ID() const { return Of(impl_).id; }
const char* ParamBlockDesc2::InternalName() const { return Of(impl_).int_name.c_str(); }
int ParamBlockDesc2::LocalName() const { return Of(impl_).local_name; }
ClassDesc2* ParamBlockDesc2::ClassDesc() const { return Of(impl_).cd; }
USHORT ParamBlockDesc2::Flags() const { return Of(impl_).flags; }
int ParamBlockDesc2::RefNo() const { return Of(impl_).list.ref_no; }
int ParamBlockDesc2::DialogTemplate() const { return Of(impl_).list.dialog_template; }
int ParamBlockDesc2::Title() const { return Of(impl_).list.title; }
int ParamBlockDesc2::Count() const { return static_cast<int>(Of(impl_).defs.size()); }

const ParamDef* ParamBlockDesc2::GetParamDef(int index) const {
  const auto& defs = Of(impl_).defs;
  if (index < 0 || index >= static_cast<int>(defs.size())) return nullptr;
  return &defs[index];
}

const ParamDef* ParamBlockDesc2::GetParamDefByID(ParamID id) const {
  for (const ParamDef& def : Of(impl_).defs) {
    if (def.id == id) return &def;
  }
  return nullptr;
}

bool ParamBlockDesc2::IsValid() const { return Of(impl_).valid; }
const char* ParamBlockDesc2::Error() const {
  return impl_ ? impl_->error.c_str() : "out of memory";
}
ParamBlockDesc2::Impl* ParamBlockDesc2::impl() const { return impl_; }
