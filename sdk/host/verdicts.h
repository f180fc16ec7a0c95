// Inside the host library: the memory of verdicts, what each probe found of a
// module file, kept per user across runs so that a package is probed once per
// change of its module, not at every start.
//
// It lives in the registry, HKEY_CURRENT_USER\Software\Stub\Probe Verdicts:
// per user, because the verdict is about what this user's hosts may load; and
// the registry because each verdict is one value, written whole or not at
// all, named by the module's path. Two hosts writing at once write two values
// (or the same module's value twice, with verdicts of the same file), so the
// memory merges; a value that is not a verdict of this form is no verdict,
// and the module is probed again.
#ifndef STUB_SDK_HOST_VERDICTS_H
#define STUB_SDK_HOST_VERDICTS_H

#include <windows.h>

#include <string>

#include "probe_client.h"

namespace stub {
namespace host {
namespace detail {

// What a verdict is of: the module file as it is now, the classes tried,
// and the engine they create (its two servers' registration and files, as a
// probe of the module's architecture finds them), so that an engine
// installed, removed or replaced since makes the verdict stale too.
struct ModuleIdentity {
  std::wstring path;
  ULONGLONG size = 0;
  FILETIME lastWrite = {};
  int count = 0;
  CLSID clsids[2] = {};
  ULONGLONG engines = 0;
};

// The identity of a module file of `machine` now; false where it cannot be
// read (then nothing is recalled or remembered for it).
bool IdentifyModule(const std::wstring& path, const CLSID* clsids, int count, WORD machine,
                    ModuleIdentity& identity);

struct Verdict {
  DWORD timeLimit = 0;  // the limit the probe ran under (0: none)
  ClassVerdict classes[2];
};

// Whether a verdict may be kept: one made by a probe that ran and reported
// on every class (none ProbeFailed).
bool Memorable(const Verdict& verdict, int count);

// The verdict remembered for exactly this identity; false where there is none.
bool RecallVerdict(const ModuleIdentity& identity, Verdict& verdict);
// Keeps the verdict for this identity, in place of any other of its module.
void RememberVerdict(const ModuleIdentity& identity, const Verdict& verdict);
// Forgets the verdict of one module path (S_OK also when there was none), or every verdict.
HRESULT ForgetModuleVerdict(const std::wstring& path);
HRESULT ForgetEveryVerdict();

// The stored form of a verdict, and its reading back: kept apart from the
// registry so that every malformed value is read as none alike.
std::string EncodeVerdict(const ModuleIdentity& identity, const Verdict& verdict);
bool DecodeVerdict(const std::string& bytes, const ModuleIdentity& identity, Verdict& verdict);

}  // namespace detail
}  // namespace host
}  // namespace stub

#endif  // STUB_SDK_HOST_VERDICTS_H
