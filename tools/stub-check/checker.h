// stub-check: checks a style package before it ships, by running the module's
// own code (folder derivation, identifier scan, script loading, interpreter)
// over the emulated platform, so the machine's registry is never touched.
//
// Its parts, one folder each: text/ and io/ at the bottom (text, identifiers
// as text, checked writes, bounded reads, Windows path rules; they include
// nothing above them), report/ (findings as data, and the report made of them
// as text, JSON or SARIF), registry/ (the emulator session, the emulated
// registry's states and .reg text), scripts/ (a script read through the
// interpreter's trace), module/ (the module file), checks/ (the package, its
// runs, the checks over them, and the one pipeline Check that goes load, run,
// analyse, render), manifest/ (assembly manifests), export/ and new/ (the
// author's other verbs), cli/ (the command line). This header gathers the
// checking parts for the verbs and the tests.
#pragma once

#include "checks/package.h"
#include "checks/pipeline.h"
#include "module/module_file.h"
#include "registry/registry_state.h"
#include "report/findings.h"
#include "report/report.h"
#include "scripts/script_reading.h"
