// The providers, keyed by class ID.
#include "effect_provider.h"

#include "lumatrice_provider.h"

namespace lumatrice {

const EffectProvider* ProviderFor(const Class_ID& id) {
  static const EffectProvider* const kProviders[] = {&LumatriceProvider()};
  for (const EffectProvider* p : kProviders)
    if (p->class_id() == id) return p;
  return nullptr;
}

const EffectProvider* ProviderOf(Effect* effect) {
  return effect ? ProviderFor(effect->ClassID()) : nullptr;
}

}  // namespace lumatrice
