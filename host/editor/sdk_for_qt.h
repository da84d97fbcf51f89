// The host SDK's declarations for code that also includes Qt: include this
// before any other header that brings in the SDK.
//
// The SDK's descriptor-list tag `end` is a global enumerator (spelled as the
// platform spells it), and Qt's regular-expression header, which QtTest,
// item views and style options pull in, declares a hidden friend function
// `end` in the global namespace; the two cannot meet in one translation
// unit. Here the tag is declared under another name; its type and value are
// unchanged, and Qt code never passes descriptor lists.
#pragma once

#include <cstdint>

#define end lumatrice_sdk_list_end
#include "host_sdk.h"
#undef end
