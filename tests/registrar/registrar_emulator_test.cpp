// Registry-script tests that need the emulator: access-restricted keys, call
// counting, leak accounting and injected failures.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "platform/emulated/emulator.h"
#include "registrar/key_handle.h"
#include "registrar/script_parser.h"
#include "registrar/text_buffer.h"
#include "registrar_test_util.h"
#include "support/registry_sandbox.h"

namespace {

using test::RunRegistryScript;

class RegistrarEmulated : public test::RegistrySandbox {};

TEST_F(RegistrarEmulated, DeleteTreeOrderAndCalls) {
  PutKey(HKEY_CLASSES_ROOT, u"Leaf");
  const CBorrowedKey root(HKEY_CLASSES_ROOT);
  const int enumsBefore = emu::CallCount(emu::Call::RegEnumKeyExW);
  const int deletesBefore = emu::CallCount(emu::Call::RegDeleteKeyW);
  EXPECT_EQ(root.DeleteTree(u"Leaf"), ERROR_SUCCESS);
  EXPECT_EQ(emu::CallCount(emu::Call::RegEnumKeyExW) - enumsBefore, 1);
  EXPECT_EQ(emu::CallCount(emu::Call::RegDeleteKeyW) - deletesBefore, 1);

  // Deepest first: when the second delete fails, only the deepest key is gone.
  PutKey(HKEY_CLASSES_ROOT, u"A\\B\\C");
  emu::FailCall(emu::Call::RegDeleteKeyW, 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(root.DeleteTree(u"A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Dump(), "\\A\n\\A\\B\n");
  EXPECT_EQ(emu::OpenKeyHandles(), 0);
}

TEST_F(RegistrarEmulated, BorrowedKeysAreNeverClosed) {
  PutKey(HKEY_CLASSES_ROOT, u"K");
  HKEY raw = nullptr;
  ASSERT_EQ(sys::RegOpenKeyExW(HKEY_CLASSES_ROOT, u"K", 0, KEY_READ, &raw), ERROR_SUCCESS);
  ASSERT_EQ(emu::OpenKeyHandles(), 1);
  {
    const CBorrowedKey borrowed(raw);
    EXPECT_EQ(borrowed.Get(), raw);
  }
  EXPECT_EQ(emu::OpenKeyHandles(), 1);
  {
    CKeyHandle owner;
    ASSERT_EQ(owner.Open(HKEY_CLASSES_ROOT, u"K", KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(owner.Open(HKEY_CLASSES_ROOT, u"K", KEY_READ), ERROR_SUCCESS);  // replaces
    EXPECT_EQ(emu::OpenKeyHandles(), 2);
  }
  EXPECT_EQ(emu::OpenKeyHandles(), 1);
  EXPECT_EQ(sys::RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(emu::OpenKeyHandles(), 0);
}

TEST_F(RegistrarEmulated, RegistrationOverReadOnlyKeyIsRolledBack) {
  PutKey(HKEY_CLASSES_ROOT, u"Locked");
  emu::MarkKeyReadOnly(HKEY_CLASSES_ROOT, u"Locked");
  EXPECT_EQ(RunRegistryScript(u"HKCR { Before Locked = s 'x' }", ScriptMode::kRegister),
            static_cast<HRESULT>(0x80070005));
  // The rollback removes Before; Locked cannot be deleted, so it stops there.
  EXPECT_EQ(Dump(), "\\Locked\n");
  EXPECT_EQ(emu::OpenKeyHandles(), 0);
}

TEST_F(RegistrarEmulated, ForceRemoveThatCannotDeleteFailsTheBlock) {
  PutString(HKEY_CLASSES_ROOT, u"X\\Stale", u"", u"old");
  emu::MarkKeyReadOnly(HKEY_CLASSES_ROOT, u"X\\Stale");
  EXPECT_EQ(RunRegistryScript(u"HKCR { ForceRemove X { val v = s 'new' } }", ScriptMode::kRegister),
            static_cast<HRESULT>(0x80070005));
  EXPECT_EQ(Dump(), "\\X\n\\X\\Stale\n  @ = sz \"old\"\n");
}

TEST_F(RegistrarEmulated, RemovalOfUnreadableKeyReadsItsBlockThrough) {
  PutString(HKEY_CLASSES_ROOT, u"Secret\\Inner", u"v", u"1");
  PutString(HKEY_CLASSES_ROOT, u"Open", u"v", u"2");
  emu::MarkKeyUnreadable(HKEY_CLASSES_ROOT, u"Secret");
  EXPECT_EQ(RunRegistryScript(u"HKCR { Secret { Inner { val v = s '1' } } Open }", ScriptMode::kRemove),
            static_cast<HRESULT>(0x80070005));
  EXPECT_EQ(emu::OpenKeyHandles(), 0);
  EXPECT_TRUE(emu::KeyExists(HKEY_CLASSES_ROOT, u"Secret\\Inner"));
  EXPECT_TRUE(emu::KeyExists(HKEY_CLASSES_ROOT, u"Open"));  // the run stopped before it
}

TEST_F(RegistrarEmulated, ReplacementsUnderMemoryPressure) {
  CRegistrar registrar;
  ASSERT_EQ(registrar.DefineReplacement(u"A", u"1"), S_OK);
  for (int nth = 1; nth <= 4; ++nth) {
    emu::FailAllocation(nth);
    EXPECT_EQ(registrar.DefineReplacement(u"B", u"2"), E_OUTOFMEMORY) << nth;
    emu::ClearFaults();
    EXPECT_EQ(registrar.Replacements().Count(), 1);
  }
  ASSERT_EQ(registrar.DefineReplacement(u"B", test::Repeat(u"y", 2000).c_str()), S_OK);
  ScriptParser parser(&registrar);
  // 1: the first block (100 characters for this 50-character text), 2: its growth.
  const std::u16string text = u"%A%%B%" + test::Repeat(u"x", 44);
  for (int nth = 1; nth <= 2; ++nth) {
    emu::FailAllocation(nth);
    char16_t* out = nullptr;
    EXPECT_EQ(parser.ExpandReplacements(text.c_str(), &out), E_OUTOFMEMORY) << nth;
    EXPECT_EQ(out, nullptr);
    emu::ClearFaults();
  }
  registrar.ResetReplacements();
  EXPECT_EQ(emu::LiveTaskMemBlocks(), 0);
}

TEST_F(RegistrarEmulated, PlainRunsGrowTheBlockAsCharactersWould) {
  // 50 characters give a first block of 100. The value fills 90 of it and the
  // plain run behind it crosses the growth point (99 characters and the
  // terminator) in one piece: one reallocation to 200, as character by character.
  CRegistrar registrar;
  const std::u16string value = test::Repeat(u"v", 90);
  ASSERT_EQ(registrar.DefineReplacement(u"M", value.c_str()), S_OK);
  const std::u16string run = u"a 'b c' d" + test::Repeat(u"x", 38);
  const std::u16string text = u"%M%" + run;
  ASSERT_EQ(text.size(), 50u);
  ScriptParser parser(&registrar);
  char16_t* out = nullptr;
  const int before = emu::AllocationCount();
  ASSERT_EQ(parser.ExpandReplacements(text.c_str(), &out), S_OK);
  EXPECT_EQ(emu::AllocationCount() - before, 2);
  EXPECT_EQ(std::u16string(out), value + run);
  sys::CoTaskMemFree(out);

  emu::FailAllocation(2);
  out = nullptr;
  EXPECT_EQ(parser.ExpandReplacements(text.c_str(), &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  emu::ClearFaults();
  registrar.ResetReplacements();
  EXPECT_EQ(emu::LiveTaskMemBlocks(), 0);
}

// ---- Fault sweep ----------------------------------------------------------------------

constexpr char16_t kSweepScript[] =
    u"HKCR {\r\n"
    u"  NoRemove CLSID {\r\n"
    u"    ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Stub' {\r\n"
    u"      InprocServer32 = s '%Module%' { val ThreadingModel = s 'Both' }\r\n"
    u"      val Flags = d 7\r\n"
    u"      val List = m 'a\\0b'\r\n"
    u"      val Data = b '%Blob%'\r\n"
    u"    }\r\n"
    u"  }\r\n"
    u"  Delete Obsolete\r\n"
    u"  Stub.Name = s 'Stub' { CLSID = s '{11111111-2222-3333-4444-555555555555}' }\r\n"
    u"}\r\n";

HRESULT RunSweepScript(ScriptMode mode) {
  CRegistrar registrar;
  if (FAILED(registrar.DefineReplacement(u"Module", u"C:\\Packages\\Stub.dll")) ||
      FAILED(registrar.DefineReplacement(u"Blob", test::Repeat(u"5a", 300).c_str()))) {
    return E_OUTOFMEMORY;
  }
  ScriptParser parser(&registrar);
  return parser.RunScript(kSweepScript, mode);
}

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.insert(line);
  return lines;
}

struct Counts {
  int calls[static_cast<int>(emu::Call::kCount)];
  int allocations;
};

Counts Snapshot() {
  Counts counts{};
  for (int c = 0; c < static_cast<int>(emu::Call::kCount); ++c) {
    counts.calls[c] = emu::CallCount(static_cast<emu::Call>(c));
  }
  counts.allocations = emu::AllocationCount();
  return counts;
}

// The sweep: the script run once with each of its allocations and platform calls
// failing in turn, each run from the same fresh registry.
class RegistrarFaultSweep : public test::RegistrySandbox {
 protected:
  // The pre-existing keys named by the script have no subkeys of their own, so
  // a rolled-back registration and a plain removal end the same way.
  void PrepareRegistry(ScriptMode mode) {
    Renew();
    emu::CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\{Other}");
    if (mode == ScriptMode::kRegister) {
      emu::SetValue(HKEY_CLASSES_ROOT, u"CLSID\\{11111111-2222-3333-4444-555555555555}", u"Old", REG_SZ,
                    test::TextBytes(u"stale"));
      emu::SetValue(HKEY_CLASSES_ROOT, u"Obsolete", u"", REG_SZ, test::TextBytes(u"gone"));
    } else {
      ASSERT_EQ(RunSweepScript(ScriptMode::kRegister), S_OK);
    }
  }

  // Runs the sweep script with one fault armed by `arm` and checks the outcome
  // against the rules: failure reported unless the registry ends as in a clean
  // run, nothing leaked, and the registry as rollback or removal leaves it.
  void CheckFaultyRun(ScriptMode mode, const std::string& before, const std::string& clean,
                      const std::string& rolledBack, bool closeFailed, const std::function<void()>& arm) {
    PrepareRegistry(mode);
    const int taskBlocks = emu::LiveTaskMemBlocks();
    const int heapBlocks = emu::LiveHeapBlocks();
    arm();
    const HRESULT hr = RunSweepScript(mode);
    emu::ClearFaults();
    const std::string after = test::DumpRegistry(HKEY_CLASSES_ROOT);
    EXPECT_EQ(emu::LiveTaskMemBlocks(), taskBlocks);
    EXPECT_EQ(emu::LiveHeapBlocks(), heapBlocks);
    // A close the platform refused leaves that one handle open; nothing else may.
    EXPECT_LE(emu::OpenKeyHandles(), closeFailed ? 1 : 0);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(after, clean) << "success reported over a registry that differs from a clean run";
      return;
    }
    if (mode == ScriptMode::kRegister) {
      // Either nothing was interpreted, or the failed block was rolled back.
      if (after != before) {
        EXPECT_EQ(after, rolledBack);
      }
    } else {
      // Removal stops at its failure: it may leave keys, never add or change any.
      for (const std::string& line : Lines(after)) {
        EXPECT_EQ(Lines(before).count(line), 1u) << "removal produced " << line;
      }
    }
  }

  void Sweep(ScriptMode mode) {
    PrepareRegistry(ScriptMode::kRegister);
    const std::string rolledBack = [] {
      EXPECT_EQ(RunSweepScript(ScriptMode::kRemove), S_OK);
      return test::DumpRegistry(HKEY_CLASSES_ROOT);
    }();
    PrepareRegistry(mode);
    const std::string before = test::DumpRegistry(HKEY_CLASSES_ROOT);
    const Counts start = Snapshot();
    ASSERT_EQ(RunSweepScript(mode), S_OK);
    const Counts end = Snapshot();
    const std::string clean = test::DumpRegistry(HKEY_CLASSES_ROOT);
    ASSERT_NE(clean, before);
    ASSERT_EQ(emu::OpenKeyHandles(), 0);

    const int allocations = end.allocations - start.allocations;
    ASSERT_GT(allocations, 2);
    for (int nth = 1; nth <= allocations; ++nth) {
      SCOPED_TRACE("allocation " + std::to_string(nth));
      CheckFaultyRun(mode, before, clean, rolledBack, false, [nth] { emu::FailAllocation(nth); });
    }
    int sweptCalls = 0;
    for (int c = 0; c < static_cast<int>(emu::Call::kCount); ++c) {
      const auto call = static_cast<emu::Call>(c);
      const std::int32_t code = call == emu::Call::VarUI4FromStr ? DISP_E_TYPEMISMATCH : ERROR_ACCESS_DENIED;
      for (int nth = 1; nth <= end.calls[c] - start.calls[c]; ++nth, ++sweptCalls) {
        SCOPED_TRACE("call kind " + std::to_string(c) + " #" + std::to_string(nth));
        CheckFaultyRun(mode, before, clean, rolledBack, call == emu::Call::RegCloseKey,
                       [call, nth, code] { emu::FailCall(call, nth, code); });
      }
    }
    EXPECT_GT(sweptCalls, 20);
  }
};

TEST_F(RegistrarFaultSweep, Registration) { Sweep(ScriptMode::kRegister); }

TEST_F(RegistrarFaultSweep, Removal) { Sweep(ScriptMode::kRemove); }

}  // namespace
