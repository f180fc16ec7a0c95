// The checker's report of a package, as text or JSON.
#pragma once

#include <vector>

#include "checks/package.h"
#include "report/findings.h"

namespace check {

// ---- Report -----------------------------------------------------------------------------

struct Report {
  const Package* package;
  std::vector<Install> installs;
  std::vector<Finding> findings;
  int Errors() const;
  int Warnings() const;
  int ExitCode() const { return Errors() ? 2 : Warnings() ? 1 : 0; }
};

std::string TextReport(const Report& report);
std::string JsonReport(const Report& report);

}  // namespace check
