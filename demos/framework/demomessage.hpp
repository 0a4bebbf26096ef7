#pragma once
// The demos' message box: a small dialog with an OK button where an X display can be
// opened, standard error otherwise or when MANUVIA_MESSAGES=stderr (tests under a virtual
// display set it). Blocks until the user dismisses the dialog. Any thread; one box at a
// time.

void demoMessageBox(const char* title, const char* text);

// Installs demoMessageBox as the device library's report hook, so its own failures
// ("Error creating device!") reach the user the same way.
void demoRouteDeviceReports();
