#include "package/component_categories.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "package/class_identity.h"
#include "package/package_classes.h"
#include "platform/hresult.h"
#include "platform/unique_resource.h"

namespace {

// The standard component categories manager and its registration interface.
constexpr CLSID kCategoryManagerClassId = {0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kCatRegisterInterfaceId = {0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// English (United States): the locale of the category descriptions, and the
// name of the description's value (the locale in hexadecimal).
constexpr LCID kCategoryLocale = 1033;
constexpr char16_t kCategoryLocaleName[] = u"409";

// The longest key path written for a category entry, terminated.
constexpr std::size_t kCategoryPathCapacity = 128;

// Joins `parts` into `path`; the parts are fixed names and identifiers that
// always fit.
void JoinKeyPath(std::initializer_list<const char16_t*> parts, char16_t (&path)[kCategoryPathCapacity]) {
  std::size_t n = 0;
  for (const char16_t* part : parts) {
    for (; *part && n + 1 < kCategoryPathCapacity; ++part) path[n++] = *part;
  }
  path[n] = 0;
}

// Creates (or opens) `path` under HKEY_CLASSES_ROOT with `access` into `key`.
LONG CreateClassesKey(const char16_t* path, REGSAM access, CUniqueKey* key) {
  return sys::RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                              key->Put(), nullptr);
}

}  // namespace

HRESULT RegisterCategory(const char16_t* description, const CLSID& classId, const CATID& categoryId) {
  CInterfacePtr<ICatRegister> manager;
  HRESULT result = sys::CoCreateInstance(kCategoryManagerClassId, nullptr, CLSCTX_INPROC,
                                         kCatRegisterInterfaceId, reinterpret_cast<void**>(manager.Put()));
  if (FAILED(result)) return result;
  if (!manager) return E_UNEXPECTED;

  CATEGORYINFO info = {};
  info.catid = categoryId;
  info.lcid = kCategoryLocale;
  sys::SetCategoryDescription(info, description);
  // The category may already be known (another package registered it first);
  // what counts is the class entry below.
  manager->RegisterCategories(1, &info);
  CATID ids[1] = {categoryId};
  return manager->RegisterClassImplCategories(classId, 1, ids);
}

HRESULT RegisterCategoryForUser(const char16_t* description, const CLSID& classId, const CATID& categoryId) {
  char16_t category[kGuidTextCapacity];
  char16_t classText[kGuidTextCapacity];
  FormatGuid(categoryId, category);
  FormatGuid(classId, classText);
  char16_t path[kCategoryPathCapacity];

  CUniqueKey key;
  JoinKeyPath({u"Component Categories\\", category}, path);
  LONG status = CreateClassesKey(path, KEY_SET_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    const DWORD bytes = static_cast<DWORD>((sys::lstrlenW(description) + 1) * sizeof(char16_t));
    status = sys::RegSetValueExW(key.Get(), kCategoryLocaleName, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(description), bytes);
  }
  if (status == ERROR_SUCCESS) {
    JoinKeyPath({u"CLSID\\", classText, u"\\Implemented Categories\\", category}, path);
    status = CreateClassesKey(path, KEY_READ, &key);
  }
  return HResultFromWin32(status);
}

void EnterPackageCategories(CategoryWriter write) {
  for (const PackageClass& row : PackageClasses) {
    write(row.categoryDescription, *row.classId, *row.categoryId);
  }
}
