// Small helpers shared by the registry-script tests.
#pragma once

#include <string>

#include "platform/platform.h"
#include "registrar/registrar.h"
#include "registrar/script_parser.h"

namespace test {

/// Runs `script` in `mode` with the replacement Module = `module`.
inline HRESULT RunRegistryScript(const std::u16string& script, ScriptMode mode,
                                 const std::u16string& module = u"C:\\Packages\\Stub.dll") {
  CRegistrar registrar;
  if (FAILED(registrar.DefineReplacement(u"Module", module.c_str()))) return E_OUTOFMEMORY;
  ScriptParser parser(&registrar);
  return parser.RunScript(script.c_str(), mode);
}

/// `n` copies of `unit`.
inline std::u16string Repeat(const std::u16string& unit, int n) {
  std::u16string text;
  for (int i = 0; i < n; ++i) text += unit;
  return text;
}

}  // namespace test
