// stub-check: checks a style package before it ships by running the module's own code over the
// emulated platform, so the machine's registry is never touched. One folder per part: text/ and io/
// at the bottom, report/ (findings; text, JSON, SARIF), registry/ (emulator session, registry states,
// .reg text), scripts/ (a script read through the interpreter's trace), module/, checks/ (the package,
// its runs and checks, the pipeline Check), manifest/, export/ and new/ (the other verbs), cli/.
// This header gathers the checking parts for the verbs and the tests.
#pragma once

#include "checks/package.h"
#include "module/module_file.h"
#include "registry/registry_state.h"
#include "report/findings.h"
#include "report/report.h"
#include "scripts/script_reading.h"
