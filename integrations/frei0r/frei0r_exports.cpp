// The frei0r 1.2 entry points of build/frei0r/lumatrice.so: a filter in
// RGBA8888 over liblumatrice. Nothing here throws into the host.
#include <dlfcn.h>

#include <cstring>

#include "catalogue.h"
#include "frei0r_api.h"
#include "instance.h"

using namespace lumatrice::frei0r;

namespace {

// The library the call to f0r_update came from tells the host.
Caller CallerAt(const void* return_address) {
  Dl_info info{};
  if (!dladdr(return_address, &info) || !info.dli_fname) return Caller::kOther;
  const char* base = std::strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  if (std::strncmp(base, "libavfilter.so", 14) == 0 || std::strcmp(base, "ffmpeg") == 0 ||
      std::strcmp(base, "ffplay") == 0)
    return Caller::kFfmpeg;
  if (std::strncmp(base, "libmltfrei0r.so", 15) == 0) return Caller::kMlt;
  return Caller::kOther;
}

const Param* ParamAt(int index) {
  const Catalogue* c = Get();
  if (!c || index < 0 || std::size_t(index) >= c->params.size()) return nullptr;
  return &c->params[std::size_t(index)];
}

void Update(f0r_instance_t instance, double time, const uint32_t* in, uint32_t* out,
            const void* caller) {
  if (!instance) return;
  try {
    static_cast<Instance*>(instance)->Update(time, CallerAt(caller), in, out);
  } catch (...) {
  }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int f0r_init(void) {
  Hold();
  return Get() ? 1 : 0;
}

__attribute__((visibility("default"))) void f0r_deinit(void) { Release(); }

__attribute__((visibility("default"))) void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  if (!info) return;
  const Catalogue* c = Get();
  info->name = c ? c->class_name.c_str() : kClassName;
  info->author = c ? c->author.c_str() : "";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = c ? c->major : 0;
  info->minor_version = c ? c->minor : 0;
  info->num_params = c ? int(c->params.size()) : 0;
  info->explanation = c ? c->explanation.c_str() : "the Lumatrice library could not be loaded";
}

__attribute__((visibility("default"))) void f0r_get_param_info(f0r_param_info_t* info,
                                                               int param_index) {
  const Param* p = ParamAt(param_index);
  if (!info || !p) return;
  info->name = p->name.c_str();
  info->type = p->type;
  info->explanation = p->explanation.c_str();
}

__attribute__((visibility("default"))) f0r_instance_t f0r_construct(unsigned int width,
                                                                   unsigned int height) {
  try {
    return Instance::Create(width, height);
  } catch (...) {
    return nullptr;
  }
}

__attribute__((visibility("default"))) void f0r_destruct(f0r_instance_t instance) {
  delete static_cast<Instance*>(instance);
}

__attribute__((visibility("default"))) void f0r_set_param_value(f0r_instance_t instance,
                                                                f0r_param_t param,
                                                                int param_index) {
  if (!instance) return;
  try {
    static_cast<Instance*>(instance)->Set(param_index, param);
  } catch (...) {
  }
}

__attribute__((visibility("default"))) void f0r_get_param_value(f0r_instance_t instance,
                                                                f0r_param_t param,
                                                                int param_index) {
  if (instance) static_cast<Instance*>(instance)->Get(param_index, param);
}

__attribute__((visibility("default"))) void f0r_update(f0r_instance_t instance, double time,
                                                       const uint32_t* inframe,
                                                       uint32_t* outframe) {
  Update(instance, time, inframe, outframe, __builtin_return_address(0));
}

// A filter's update2 is its update with the first input.
__attribute__((visibility("default"))) void f0r_update2(f0r_instance_t instance, double time,
                                                        const uint32_t* inframe1,
                                                        const uint32_t*, const uint32_t*,
                                                        uint32_t* outframe) {
  Update(instance, time, inframe1, outframe, __builtin_return_address(0));
}

}  // extern "C"
