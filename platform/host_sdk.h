// The whole host SDK surface the effect and module use.
#pragma once

#include "sdk_bitmap.h"
#include "sdk_classdesc.h"
#include "sdk_core.h"
#include "sdk_effect.h"
#include "sdk_paramblock.h"
#include "sdk_reference.h"
#include "sdk_types.h"
