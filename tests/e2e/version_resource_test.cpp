// The version resource of the shipped Windows files, read back as Windows
// Installer and Explorer read it (version.dll), from a module copy renamed as a
// package names it: the copy's name changes, what the resource says does not.
#include "e2e_fixture.h"

#include <vector>

namespace e2e {
namespace {

using E2EVersionResource = E2ETest;

// One string of the U.S. English, Unicode table (040904B0); empty if absent.
std::wstring VersionString(std::vector<unsigned char>& block, const wchar_t* name) {
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), &text, &length) || length == 0) return {};
  return static_cast<const wchar_t*>(text);
}

TEST_F(E2EVersionResource, ModuleCopyAndToolCarryTheBuildsVersion) {
  auto package = AddPackage(L"Aurora", L"Apartment");
  ASSERT_TRUE(package->files->ok);
  struct Case {
    std::wstring path;
    const wchar_t* originalName;
    DWORD fileType;
  };
  const Case cases[] = {
      {package->files->modulePath, L"Stub.dll", VFT_DLL},
      {WindowsPath(E2E_STUB_CHECK_EXE), L"stub-check.exe", VFT_APP},
  };
  const std::wstring version = E2E_VERSION_TEXT;
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(c.path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(c.path.c_str(), 0, size, block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(E2E_VERSION_MS));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(E2E_VERSION_LS));
    EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(E2E_VERSION_MS));
    EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(E2E_VERSION_LS));
    EXPECT_EQ(fixed->dwFileType, c.fileType);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    // Exactly one translation: U.S. English (0x0409) in Unicode (code page 1200).
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, sizeof(DWORD));
    const DWORD translation = *static_cast<const DWORD*>(value);
    EXPECT_EQ(LOWORD(translation), 0x0409);
    EXPECT_EQ(HIWORD(translation), 1200);

    EXPECT_EQ(VersionString(block, L"OriginalFilename"), c.originalName);
    EXPECT_EQ(VersionString(block, L"FileVersion"), version);
    EXPECT_EQ(VersionString(block, L"ProductVersion"), version);
    EXPECT_EQ(VersionString(block, L"ProductName"), E2E_PRODUCT_NAME);
    EXPECT_FALSE(VersionString(block, L"FileDescription").empty());
  }
}

}  // namespace
}  // namespace e2e
