// The Lumatrice effect's provider: its class ID, its parameters read by
// name, its caption formats and the layout it draws (lumatrice_layout.h).
#pragma once

#include "effect_provider.h"

namespace lumatrice {

// The class ID of the Lumatrice effect, for the built-in scenes.
inline const Class_ID kLumatriceClassID(0x31b82d35, 0x47d45ce7);

const EffectProvider& LumatriceProvider();

}  // namespace lumatrice
