// A registry of its own for each test: the emulator is reset on Linux; on
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

  /// Canonical dump (see DumpRegistry) of a sandboxed root or a key under it.
  static std::string Dump(HKEY root = HKEY_CLASSES_ROOT, const std::u16string& path = u"") {
    return DumpRegistry(root, path);
  }
  /// Creates `path` under `root` with every missing key on the way.
  static void PutKey(HKEY root, const std::u16string& path);
  /// Sets a value (empty name: the default value), creating the key if needed.
  static void PutValue(HKEY root, const std::u16string& path, const std::u16string& name,
                       DWORD type, const std::vector<BYTE>& data);
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

}  // namespace test
