// The C API's calls on one effect of the list, for hosts that keep one effect
// per filter instance and apply instances on several threads (frei0r hosts):
// the pre-render notification to that effect alone, and applying it alone.
#include "host_api.h"
#include "session.h"

using namespace lumatrice;
using namespace lumatrice::embed;

extern "C" {

int32_t lumatrice_pre_render_effect(lumatrice_effect* handle) {
  return Guard("lumatrice_pre_render_effect", [&] {
    try {
      hostsdk::NotifyOwner(NOTIFY_PRE_RENDER, Live(handle)->effect);
    } catch (const hostsdk::PluginFault& fault) {
      Fail(LUMATRICE_E_PLUGIN, fault.what());
    }
  });
}

// The call lock is held shared: applies of other effects run beside this one,
// and nothing that changes the session or its effects runs until all are done.
int32_t lumatrice_apply_effect(lumatrice_effect* handle, int32_t time, lumatrice_frame* frame) {
  return Guard<std::shared_lock>("lumatrice_apply_effect", [&] {
    lumatrice_effect* effect = Live(handle);  // the table is only read under the shared lock
    std::lock_guard<std::mutex> own(effect->apply_mutex);
    ApplyInMemory(effect->frame.get(), frame, [&](FrameBuffer& buffer) {
      ApplyEffects(effect->session, time, buffer, effect);
    });
  });
}

}  // extern "C"
