// Setup shared by the platform tests, which run on both targets: over the
// emulator on Linux, and against the real registry, COM runtime and file
// system under Windows (or Wine). Everything a test touches for real lives in
// a private place made for it and removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/registry_dump.h"
#include "support/registry_sandbox.h"

namespace platform_test {

/// Base fixture: a fresh emulator on Linux; COM initialised on Windows.
class PlatformTest : public test::PlatformSandbox {
 protected:
  void SetUp() override;
  void TearDown() override;
};

/// A fixture owning HKCU\Software\StubTests\<suite>.<test>, created empty with
/// full access before the test and deleted with everything beneath it after.
class PrivateKeyTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Path of the private key below HKEY_CURRENT_USER.
  const std::u16string& BasePath() const { return basePath_; }

  HKEY base_ = nullptr;

 private:
  std::u16string basePath_;
};

/// Deletes `name` below `parent` and all its subkeys with the seam's own calls.
LONG DeleteTree(HKEY parent, const std::u16string& name);

struct StoredValue {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
/// Reads a value back from the key at `path` below `root`, by a route
/// independent of the calls under test.
StoredValue ReadValue(HKEY root, const std::u16string& path, const std::u16string& name);

/// Names of the subkeys of `key`, in the order RegEnumKeyExW gives them.
std::vector<std::u16string> SubkeyNames(HKEY key);

/// Wide text for readable gtest failure messages.
inline std::string Narrow(const std::u16string& text) { return test::Utf8(text); }

}  // namespace platform_test
