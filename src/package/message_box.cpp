#include "package/message_box.h"

namespace {

// False only when the process's window station says it is not visible. The
// station handle belongs to the system and is not closed.
bool SomeoneCanSeeTheProcess() {
  const HWINSTA station = sys::GetProcessWindowStation();
  USEROBJECTFLAGS flags = {};
  DWORD length = 0;
  if (!station || !sys::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &length)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void ShowMessageBox(const char16_t* text, const char16_t* caption) {
  if (SomeoneCanSeeTheProcess()) sys::MessageBoxW(nullptr, text, caption, MB_OK);
}
