// What the module does when the loader attaches it to a process and detaches it.
#pragma once

#include "platform/platform.h"

/// Binds the package beside `instance`'s file (reads both class identifiers) and
/// starts the module object. A failure (shown to the person loading the package
/// in a message box) is answered and the module is not started: the load must fail.
HRESULT AttachProcess(HINSTANCE instance);

/// Stops the module object, releasing its cached class objects.
void DetachProcess();
