// `check --manifest`: the manifest against what the check of its package found.
#include "manifest/package_manifest.h"

#include "checks/check.h"
#include "checks/package.h"
#include "manifest/manifest.h"

namespace check {

void CheckPackageManifest(const std::string& file, const std::string& bytes, Report* report) {
  const Package& package = *report->package;
  ManifestExpectation expected;
  expected.moduleName = package.moduleName;
  if (package.moduleFile.bits) expected.architecture = package.moduleFile.architecture;
  const Install& first = report->installs[0];
  expected.classesKnown = first.idsRead && RegisteredClasses(first, &expected.classes);
  CheckManifest(file, bytes, expected, &report->findings);
  ErrorsFirst(&report->findings);
  report->sources.push_back({file, bytes});
}

}  // namespace check
