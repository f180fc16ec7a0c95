// The two classes a package serves, each with the script that registers it.
#pragma once

#include "platform/platform.h"

/// "Tarvo Styles", the category of the `Stub` class.
extern const CATID CATID_TarvoStyles;
/// "Tarvo Texts", the category of the `StubText` class.
extern const CATID CATID_TarvoTexts;

/// One class of the package: the script in the package folder that holds its
/// identifier and registers it, the class's name, its identifier global (filled
/// from that script when the module loads and again at registration), and the
/// component category the class is entered into, with the category's
/// description (locale 1033).
struct PackageClass {
  const char16_t* scriptName;
  const char16_t* className;
  GUID* classId;
  const CATID* categoryId;
  const char16_t* categoryDescription;
};

/// `Stub` from Style.rgs, then `StubText` from StyleText.rgs: the order in
/// which the module reads, registers and removes them.
extern const PackageClass PackageClasses[2];
