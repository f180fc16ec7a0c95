// A registry of its own for each test: the emulator is reset on Linux (its
// registry, files, module names, message boxes, faults and counters); on
// Windows HKEY_CLASSES_ROOT and HKEY_CURRENT_USER are redirected into a
// private key that is deleted afterwards, so tests never touch keys they did
// not make.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/registry_dump.h"

namespace test {

/// Fixture base for registry tests. Scripts and helpers may use HKCR and HKCU
/// freely; other roots are the real ones on Windows and must not be used.
class RegistrySandbox : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  /// Starts over within the test with the sandbox a new test gets (only the
  /// sandbox's own part: a derived fixture's set-up is not run again): for
  /// each case of a table whose cases each need a fresh registry.
  void Renew() {
    RegistrySandbox::TearDown();
    RegistrySandbox::SetUp();
  }

  /// Canonical dump (see DumpRegistry) of a sandboxed root or a key under it.
  static std::string Dump(HKEY root = HKEY_CLASSES_ROOT, const std::u16string& path = u"") {
    return DumpRegistry(root, path);
  }
  /// Creates `path` under `root` with every missing key on the way.
  static void PutKey(HKEY root, const std::u16string& path);
  /// Sets a value (empty name: the default value), creating the key if needed.
  static void PutValue(HKEY root, const std::u16string& path, const std::u16string& name, DWORD type,
                       const std::vector<BYTE>& data);
  /// Sets a REG_SZ value with its terminator.
  static void PutString(HKEY root, const std::u16string& path, const std::u16string& name,
                        const std::u16string& text) {
    PutValue(root, path, name, REG_SZ, TextBytes(text));
  }

 private:
#ifdef _WIN32
  HKEY classesRoot_ = nullptr;
  HKEY currentUser_ = nullptr;
  std::u16string privatePath_;
#endif
};

/// Fixture base for tests that run on both targets and need the emulator
/// fresh on Linux, but on Windows work on the real system as it is (COM
/// activation, files, modules), where a redirected HKEY_CLASSES_ROOT would
/// hide the classes they use.
#ifdef _WIN32
using PlatformSandbox = ::testing::Test;
#else
using PlatformSandbox = RegistrySandbox;
#endif

}  // namespace test
