// The Lumatrice effect's provider: reads its parameter block and lays its
// captions out.
#include "lumatrice_provider.h"

#include "lumatrice_layout.h"

namespace lumatrice {
namespace {

class Provider : public EffectProvider {
 public:
  Class_ID class_id() const override { return kLumatriceClassID; }
  std::optional<EffectLayout> Predict(Effect* effect, TimeValue t, const FrameContext& context,
                                      bool slate_mark) const override {
    CaptionValues values;
    if (!effect || effect->ClassID() != kLumatriceClassID ||
        !ReadCaptionValues(effect, t, values))
      return std::nullopt;
    return LayOut(values, context, slate_mark);
  }
  // A text longer than the effect draws stays out of every frame's header.
  std::string CopiedText(const char* text) const override { return SnapshotText(text); }
  std::vector<std::pair<const char*, const char*>> DemoTexts() const override {
    return {{"Comments", "Lumatrice demo - procedural test render"},
            {"Slate Author", "Lumatrice"},
            {"Slate Comments", "Built-in demo scene: three spheres, one light"},
            {"Display Date", "on"}};
  }
};

}  // namespace

const EffectProvider& LumatriceProvider() {
  static const Provider provider;
  return provider;
}

}  // namespace lumatrice
