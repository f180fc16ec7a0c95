// Entering the package's classes into their component categories.
#pragma once

#include "platform/platform.h"

/// Enters `categoryId` (with `description`, at most 127 characters kept, locale
/// 1033) into the component categories and `classId` into that category,
/// through the system's categories manager. Answers the manager's creation
/// failure, else the class entry's result.
HRESULT RegisterCategory(const char16_t* description, const CLSID& classId, const CATID& categoryId);

/// Writes under HKEY_CLASSES_ROOT, through the module's own registry calls,
/// the two entries the categories manager makes for `classId` in `categoryId`:
/// Component Categories\{category} with the value "409" = `description`, and
/// CLSID\{class}\Implemented Categories\{category}. Answers the first
/// registry failure.
HRESULT RegisterCategoryForUser(const char16_t* description, const CLSID& classId, const CATID& categoryId);

/// One of the two ways above.
using CategoryWriter = HRESULT (*)(const char16_t* description, const CLSID& classId,
                                   const CATID& categoryId);

/// Enters each class of the package into its category through `write`;
/// failures are ignored (a class outside its category still activates).
void EnterPackageCategories(CategoryWriter write);
