// A package's assembly manifest checked against the package's own check: `check --manifest`.
#pragma once

#include <string>

#include "checks/check.h"

namespace check {

/// Checks the manifest `file` (its `bytes`) against the module file of `report`'s package and, when the
/// package registers, against its classes as the check's registration left them. Its findings join the
/// report's, errors first, and the file its sources, so that the report shows their lines.
void CheckPackageManifest(const std::string& file, const std::string& bytes, Report* report);

}  // namespace check
