// The providers, keyed by class ID; the Lumatrice effect's reads its
// parameter block and lays its captions out.
#include "effect_provider.h"

#include "host_session.h"

namespace lumatrice {
namespace {

class LumatriceProvider : public EffectProvider {
 public:
  Class_ID class_id() const override { return kLumatriceClassID; }
  std::optional<EffectLayout> Predict(Effect* effect, TimeValue t, const FrameContext& context,
                                      bool slate_mark) const override {
    CaptionValues values;
    if (!IsLumatrice(effect) || !ReadCaptionValues(effect, t, values)) return std::nullopt;
    return LayOut(values, context, slate_mark);
  }
};

}  // namespace

const EffectProvider* ProviderFor(const Class_ID& id) {
  static const LumatriceProvider lumatrice;
  static const EffectProvider* const kProviders[] = {&lumatrice};
  for (const EffectProvider* p : kProviders)
    if (p->class_id() == id) return p;
  return nullptr;
}

const EffectProvider* ProviderOf(Effect* effect) {
  return effect ? ProviderFor(effect->ClassID()) : nullptr;
}

}  // namespace lumatrice
