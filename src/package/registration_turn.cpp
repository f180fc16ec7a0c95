#include "package/registration_turn.h"

#include <cstdint>

namespace {

constexpr char16_t kPrefix[] = u"Global\\StubRegistration-";

// The same path as the file system sees it: ASCII letters in one case and one
// kind of slash. Other case differences make two names, which only costs the
// turn, never a file.
char16_t Folded(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c - u'A' + u'a');
  return c == u'/' ? u'\\' : c;
}

}  // namespace

void RegistrationTurnName(const char16_t* moduleLongPath, char16_t (&name)[kTurnNameCapacity]) {
  // FNV-1a over the folded UTF-16 units: a name of fixed length for any path.
  std::uint64_t hash = 14695981039346656037ull;
  for (const char16_t* c = moduleLongPath; *c; ++c) {
    hash = (hash ^ Folded(*c)) * 1099511628211ull;
  }
  int at = 0;
  for (const char16_t* c = kPrefix; *c; ++c) name[at++] = *c;
  for (int shift = 60; shift >= 0; shift -= 4) {
    name[at++] = u"0123456789ABCDEF"[(hash >> shift) & 0xF];
  }
  name[at] = 0;
}

CRegistrationTurn::CRegistrationTurn(const char16_t* moduleLongPath) {
  char16_t name[kTurnNameCapacity];
  RegistrationTurnName(moduleLongPath, name);
  mutex_.Reset(sys::CreateMutexW(nullptr, FALSE, name));
  if (!mutex_) return;
  const DWORD waited = sys::WaitForSingleObject(mutex_.Get(), INFINITE);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) held_.Reset(mutex_.Get());
}
