// What the host knows of an effect class beyond its plug-in interface, so
// that a run can predict an apply without running it (the manifest, the
// marker's "drew nothing", preflight): one provider per class, found by
// class ID. Everything the host knows of a particular effect lives behind
// its provider; the Lumatrice effect is the one class known today.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame_layout.h"

namespace lumatrice {

class EffectProvider {
 public:
  virtual ~EffectProvider() = default;
  virtual Class_ID class_id() const = 0;
  // What one apply of `effect` at t draws on a frame of `context`; nullopt
  // when the effect's parameters cannot be read.
  virtual std::optional<EffectLayout> Predict(Effect* effect, TimeValue t,
                                              const FrameContext& context,
                                              bool slate_mark) const = 0;
  // A text parameter's value as the effect takes it (the stamp marker
  // records that); the whole text unless the class cuts it.
  virtual std::string CopiedText(const char* text) const { return text ? text : ""; }
  // Parameter texts ("NAME", "VALUE") of the built-in demo scene.
  virtual std::vector<std::pair<const char*, const char*>> DemoTexts() const { return {}; }
};

// The provider of class `id`, or null when the host knows nothing of it.
const EffectProvider* ProviderFor(const Class_ID& id);
// The provider of `effect`'s class (null for a null effect or an unknown
// class).
const EffectProvider* ProviderOf(Effect* effect);

}  // namespace lumatrice
