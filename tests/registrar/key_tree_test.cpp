#include <gtest/gtest.h>

#include <string>

#include "platform/unique_resource.h"
#include "registrar/key_tree.h"
#include "registrar/registrar.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::Repeat;
using test::RunRegistryScript;

// Script runs whose registry results the differential test (differential/) pins on
// both targets are not repeated here; these are the cases it does not reach.
class RegistrarKeyTree : public test::RegistrySandbox {};

TEST_F(RegistrarKeyTree, RootKeyTable) {
  EXPECT_EQ(FindRootKey(u"hkcr"), HKEY_CLASSES_ROOT);
  EXPECT_EQ(FindRootKey(u"HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(FindRootKey(u"HKU"), HKEY_USERS);
  EXPECT_EQ(FindRootKey(u"HKPD"), HKEY_PERFORMANCE_DATA);
  EXPECT_EQ(FindRootKey(u"HKDD"), HKEY_DYN_DATA);
  EXPECT_EQ(FindRootKey(u"HKCC"), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(FindRootKey(u"HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(FindRootKey(u"HKCR{"), nullptr);
  std::string protectedNames;
  for (const char16_t* name :
       {u"appid", u"CLSID", u"component categories", u"FILETYPE", u"Interface", u"hardware", u"MIME", u"sam",
        u"Security", u"system", u"SOFTWARE", u"typelib", u"Components", u"CLSID2"}) {
    protectedNames += MayDeleteKey(name) ? "+" : "-";
  }
  EXPECT_EQ(protectedNames, "------------++");
}

TEST_F(RegistrarKeyTree, MalformedScriptsAreRefusedAndLeaveNothing) {
  // A block the text ends inside; a backslash in a key name, also after ForceRemove.
  for (const char16_t* script :
       {u"HKCR { A", u"HKCR { A = s 'a' { X } B\\C }", u"HKCR { ForceRemove D\\E }"}) {
    EXPECT_EQ(RunRegistryScript(script, ScriptMode::kRegister), DISP_E_EXCEPTION) << test::Utf8(script);
  }
  EXPECT_EQ(Dump(), "");
  // Quoted braces open and close the root block as the bare ones do.
  EXPECT_EQ(RunRegistryScript(u"HKCR '{' F '{' 'Val' v = s 'x' '}' '}'", ScriptMode::kRegister), S_OK);
  EXPECT_EQ(Dump(), "\\F\n  \"v\" = sz \"x\"\n");
}

TEST_F(RegistrarKeyTree, RollbackStoppedByTheSameErrorStillTakesDownWhatTheWalkMade) {
  // Each way the text can stop the rollback where it stopped the walk, inside
  // the blocks of keys the walk made: those keys go, deepest first, and the key
  // that was there before stays as it was.
  PutString(HKEY_CLASSES_ROOT, u"Keep", u"old", u"o");
  const std::string before = Dump();
  for (const char16_t* script : {
           u"HKCR { V { val a + s 'x' } }",                     // a Val without "="
           u"HKCR { T = s 'x' { U",                             // the text ends in a block
           u"HKCR { Q { val a = s 'x } }",                      // an unclosed quote
           u"HKCR { N { NoRemove M { K\\L } } }",               // a backslash; NoRemove made here
           u"HKCR { Keep { New = s 'n' { val a + s 'x' } } }",  // under a key that was there
           u"HKCR { Keep { {1} = s 'S' { InprocServer32 = s C:\\My Packages\\A.dll } } }",
       }) {
    EXPECT_EQ(RunRegistryScript(script, ScriptMode::kRegister), DISP_E_EXCEPTION) << test::Utf8(script);
    EXPECT_EQ(Dump(), before) << test::Utf8(script);
  }
}

TEST_F(RegistrarKeyTree, KeywordOrderWithinAnEntry) {
  PutKey(HKEY_CLASSES_ROOT, u"NoRemove\\Sub");
  // ForceRemove takes "NoRemove" as its subject; X is then a NoRemove entry.
  // After NoRemove, "ForceRemove" is just a key name.
  const std::u16string script =
      u"HKCR { ForceRemove NoRemove X { val v = s 'x' } NoRemove ForceRemove { Y } }";
  ASSERT_EQ(RunRegistryScript(script, ScriptMode::kRegister), S_OK);
  EXPECT_EQ(Dump(),
            "\\ForceRemove\n"
            "\\ForceRemove\\Y\n"
            "\\X\n"
            "  \"v\" = sz \"x\"\n");
  ASSERT_EQ(RunRegistryScript(script, ScriptMode::kRemove), S_OK);
  EXPECT_EQ(Dump(), "\\ForceRemove\n\\X\n");
}

TEST_F(RegistrarKeyTree, RemovingAnAbsentValueIsNoError) {
  PutString(HKEY_CLASSES_ROOT, u"N", u"keep", u"k");
  EXPECT_EQ(RunRegistryScript(u"HKCR { NoRemove N { val absent = s 'x' } }", ScriptMode::kRemove), S_OK);
  EXPECT_EQ(Dump(), "\\N\n  \"keep\" = sz \"k\"\n");
}

// Nesting one level beyond the bound is refused and rolled back; a hostile depth
// neither crashes nor leaves anything behind.
std::u16string Nested(int blocks) { return u"HKCR { " + Repeat(u"K { ", blocks - 1) + Repeat(u"} ", blocks); }

TEST_F(RegistrarKeyTree, NestingBeyondTheBound) {
  EXPECT_EQ(RunRegistryScript(Nested(kMaxNesting + 1), ScriptMode::kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  EXPECT_EQ(RunRegistryScript(Nested(100000), ScriptMode::kRegister), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "");
  // Removal reads the deep part through, takes down what lies above it and
  // still reports the refusal.
  ASSERT_EQ(RunRegistryScript(Nested(kMaxNesting), ScriptMode::kRegister), S_OK);
  PutString(HKEY_CLASSES_ROOT, u"Other", u"", u"o");
  EXPECT_EQ(RunRegistryScript(Nested(100000) + u" HKCR { Other }", ScriptMode::kRemove), DISP_E_EXCEPTION);
  EXPECT_EQ(Dump(), "\\Other\n  @ = sz \"o\"\n");
}

// The trace a caller may ask of a run: each token in its slot, each entry, and
// why the run stopped. The module asks for none; the walk is the same.
const char* const kSlotNames[] = {"root",   "open", "entry", "subject",  "afterDelete", "valueName",
                                  "equals", "type", "value", "afterKey", "afterValue"};

class CTraceRecord : public ScriptTrace {
 public:
  std::string tokens, entries;
  void Begin(const char16_t* prepared) override { base_ = prepared; }
  void Token(Slot slot, const char16_t* start, const char16_t* end, bool failed) override {
    tokens += std::string(kSlotNames[static_cast<int>(slot)]) + (failed ? "!" : ":") +
              test::Utf8(std::u16string(start, end)) + " ";
  }
  void Entry(unsigned flags, const char16_t* name, int depth) override {
    entries += (flags & kEntryValue) ? "val" : (flags & kEntryDelete) ? "delete" : "key";
    if (flags & kEntryNoRemove) entries += "/noremove";
    if (flags & kEntryForceRemove) entries += "/force";
    entries += "@" + std::to_string(depth) + ":" + std::to_string(name - base_) + " ";
  }
  void Block(int depth, bool opens) override { entries += (opens ? "{" : "}") + std::to_string(depth) + " "; }

 private:
  const char16_t* base_ = nullptr;
};

ScriptOutcome TracedRun(const std::u16string& script, ScriptMode mode, CTraceRecord* trace) {
  CRegistrar registrar;
  registrar.DefineReplacement(u"Module", u"C:\\Program Files\\A.dll");
  ScriptParser parser(&registrar);
  ScriptOutcome outcome;
  outcome.trace = trace;
  parser.RunScript(script.c_str(), mode, &outcome);
  return outcome;
}

TEST_F(RegistrarKeyTree, TraceGivesEachTokenItsSlotAndEachEntry) {
  const std::u16string script = u"HKCR { NoRemove N = s 'n' { val v = d 1 } Delete Old ForceRemove F }";
  CTraceRecord registration;
  ASSERT_EQ(TracedRun(script, ScriptMode::kRegister, &registration).result, S_OK);
  EXPECT_EQ(registration.tokens,
            "root:HKCR open:{ entry:NoRemove entry:N afterKey:= type:s value:'n' afterKey:{ "
            "entry:val valueName:v equals:= type:d value:1 afterValue:} afterKey:Delete subject:Old "
            "afterDelete:ForceRemove subject:F afterKey:} ");
  EXPECT_EQ(registration.entries, "{1 key/noremove@1:16 {2 val@2:32 }2 delete@1:49 key/force@1:65 }1 ");
  // Removal reads the same entries by its own grammar: after Delete's subject
  // comes no assignment or block of its own, the subject is a key entry.
  CTraceRecord removal;
  ASSERT_EQ(TracedRun(script, ScriptMode::kRemove, &removal).result, S_OK);
  EXPECT_EQ(removal.tokens,
            "root:HKCR open:{ entry:NoRemove entry:N afterKey:= type:s value:'n' afterKey:{ "
            "entry:val valueName:v equals:= type:d value:1 afterValue:} afterKey:Delete subject:Old "
            "afterKey:ForceRemove subject:F afterKey:} ");
  EXPECT_EQ(removal.entries, registration.entries);
}

TEST_F(RegistrarKeyTree, TraceNamesWhyTheRunStopped) {
  struct Case {
    const char16_t* script;
    ScriptMode mode;
    ScriptStop reason;
    Slot expected;
    const char* token;        // the text from the stop's token to the stop
    ScriptStop firstDropped;  // removal: the first failure read past
  };
  const ScriptMode reg = ScriptMode::kRegister, rem = ScriptMode::kRemove;
  const Case cases[] = {
      {u"HKCR { A", reg, ScriptStop::kEndOfText, Slot::kAfterKey, "", ScriptStop::kNone},
      {u"HKCR { Q { val a = s 'x } }", reg, ScriptStop::kOpenQuote, Slot::kValue, "'x } }",
       ScriptStop::kNone},
      {u"HKRC { }", reg, ScriptStop::kNoRoot, Slot::kRootName, "HKRC", ScriptStop::kNone},
      {u"HKCR A", rem, ScriptStop::kNoRootBlock, Slot::kRootOpen, "A", ScriptStop::kNone},
      {u"HKCR { A\\B }", reg, ScriptStop::kNotOneLevel, Slot::kEntry, "A\\B", ScriptStop::kNone},
      {u"HKCR { ForceRemove '' }", reg, ScriptStop::kNotOneLevel, Slot::kSubject, "''", ScriptStop::kNone},
      {u"HKCR { val a + s 'x' }", reg, ScriptStop::kNoEquals, Slot::kEquals, "+", ScriptStop::kNone},
      {u"HKCR { A = q 'x' }", reg, ScriptStop::kUnknownType, Slot::kType, "q", ScriptStop::kNone},
      {u"HKCR { A = d 'x1' }", reg, ScriptStop::kBadNumber, Slot::kValue, "'x1'", ScriptStop::kNone},
      {u"HKCR { A = b 123 }", reg, ScriptStop::kOddDigits, Slot::kValue, "123", ScriptStop::kNone},
      {u"HKCR { %Other% }", reg, ScriptStop::kUnknownName, Slot::kRootName, "", ScriptStop::kNone},
      {u"HKCR { %Module }", rem, ScriptStop::kUnknownName, Slot::kRootName, "", ScriptStop::kNone},
      {u"HKCR { %A23456789012345678901234567890123% }", reg, ScriptStop::kLongName, Slot::kRootName, "",
       ScriptStop::kNone},
      // The module's path unquoted: registration stops inside it; removal reads
      // past the failure in the absent key's block and stops at a brace later.
      {u"HKCR { S { InprocServer32 = s %Module% } }", reg, ScriptStop::kNotOneLevel, Slot::kAfterKey,
       "Files\\A.dll", ScriptStop::kNone},
      {u"HKCR { S { X = s %Module% { } } }", rem, ScriptStop::kNoRoot, Slot::kRootName, "}",
       ScriptStop::kNotOneLevel},
  };
  for (const Case& c : cases) {
    const ScriptOutcome outcome = TracedRun(c.script, c.mode, nullptr);
    const std::string script = test::Utf8(c.script);
    EXPECT_TRUE(FAILED(outcome.result)) << script;
    EXPECT_EQ(outcome.reason, c.reason) << script;
    EXPECT_EQ(outcome.expected, c.expected) << script;
    EXPECT_EQ(outcome.firstDropped, c.firstDropped) << script;
    if (!outcome.inPreparation) {
      CRegistrar registrar;
      registrar.DefineReplacement(u"Module", u"C:\\Program Files\\A.dll");
      ScriptParser parser(&registrar);
      CTaskMemory<char16_t> prepared;
      ASSERT_EQ(parser.ExpandReplacements(c.script, prepared.Put()), S_OK) << script;
      EXPECT_EQ(
          test::Utf8(std::u16string(prepared.Get() + outcome.tokenStart, prepared.Get() + outcome.stop)),
          c.token)
          << script;
    }
  }
  EXPECT_EQ(Dump(), "");
  // Where removal read past a failure, the trace keeps its place.
  const ScriptOutcome dropped = TracedRun(u"HKCR { S { X = s %Module% { } } }", rem, nullptr);
  EXPECT_EQ(dropped.firstDroppedToken, 28u);
}

TEST_F(RegistrarKeyTree, NestingBeyondTheBoundIsNamedInTheOutcome) {
  const std::u16string deep = u"HKCR { " + Repeat(u"K { ", kMaxNesting) + Repeat(u"} ", kMaxNesting + 1);
  for (ScriptMode mode : {ScriptMode::kRegister, ScriptMode::kRemove}) {
    const ScriptOutcome outcome = TracedRun(deep, mode, nullptr);
    EXPECT_EQ(outcome.result, DISP_E_EXCEPTION);
    EXPECT_EQ(outcome.reason, ScriptStop::kTooDeep);
    // The stop is the block one too deep: just after its "{".
    EXPECT_EQ(outcome.stop, 7u + 4u * kMaxNesting - 1u);
  }
  EXPECT_EQ(Dump(), "");
}

}  // namespace
