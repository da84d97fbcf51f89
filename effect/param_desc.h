// The module-wide parameter-block descriptor from which the host builds every
// effect's block, its rollup and its scene data.
#pragma once

#include "host_sdk.h"
#include "param_ids.h"

extern ParamBlockDesc2 lumatrice_param_blk;
