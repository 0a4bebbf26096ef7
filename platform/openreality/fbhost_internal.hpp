#pragma once
// What the SDK layer's own files share with the host side.

#include "fbsdk/fbhost.h"

namespace FBHost::detail {

void addRegistration(Registration registration);
void recordMessageBox(MessageBoxRecord record);
void recordProgress(ProgressRecord record);
FBPropertyEvent& uiIdleEvent();

}  // namespace FBHost::detail
