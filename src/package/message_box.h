// The one way the module shows a person a message box.
#pragma once

#include "platform/platform.h"

/// Shows `text` under `caption` in a box with no owner window and an OK button,
/// and returns once it is answered. In a process whose window station no
/// person can see (a service, an installer running without a desktop) nobody
/// could ever answer it, so it is not shown there, and the caller carries on
/// as if it had been answered. When the station cannot be asked, the box is shown.
void ShowMessageBox(const char16_t* text, const char16_t* caption);
