#pragma once
// The library's reporting hook: how a failure the library handles itself reaches the user.
// GUI hosts install a hook that shows a dialog; without one, reports go to standard error.

namespace Devices {

// Called with a title and a message; must not throw.
using ReportHook = void (*)(const char* title, const char* message);

// Installs a hook (null restores the standard-error default); gives the previous one.
ReportHook setReportHook(ReportHook hook);
void report(const char* title, const char* message);

}  // namespace Devices
