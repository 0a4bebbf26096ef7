#pragma once
// The animation host's SDK layer as plug-ins include it.

#include "fbsdk/fbcomponent.h"
#include "fbsdk/fbcore.h"
#include "fbsdk/fbtypes.h"
#include "fbsdk/fbui.h"
