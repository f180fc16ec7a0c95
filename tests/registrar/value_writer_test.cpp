#include <gtest/gtest.h>

#include <string>

#include "registrar/key_handle.h"
#include "registrar/script_parser.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::RunRegistryScript;

// Value types, encodings, large values and the rollback of rejected assignments
// are pinned on both targets by the differential test (differential/values_*.rgs,
// large_values.rgs, value_types and dword_forms); these are the cases it does not reach.
class RegistrarValues : public test::RegistrySandbox {};

TEST(RegistrarValueTypes, AssignValueLeavesNextTokenAndPassesFailuresOn) {
  // Under a key that is not there the write fails and no further token is read.
  const std::u16string text = u"s 'x' } rest";
  ScriptParser parser(nullptr);
  parser.SetPosition(text.c_str());
  CKeyHandle none;
  TokenBuffer buffer = u"=";
  EXPECT_EQ(parser.AssignValue(none, u"v", buffer), static_cast<HRESULT>(0x80070006));
  EXPECT_EQ(test::Utf8(parser.Position()), " } rest");
  EXPECT_EQ(test::Utf8(buffer), "=");
}

}  // namespace
