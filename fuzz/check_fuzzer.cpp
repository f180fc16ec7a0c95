// libFuzzer target: the package checker's readers, which take files an author
// did not write (exports of a whole registry, packages from elsewhere).
//
// Input layout: one selector byte, then the bytes that reader takes.
//   selector % 4 == 0  a .reg export, read by ParseRegFile
//   selector % 4 == 1  one script's bytes, decoded as the module decodes them
//                      and read by ReadScript
//   selector % 4 == 2  a whole package: Style.rgs up to the first NUL byte,
//                      StyleText.rgs after it, checked by the pipeline at a
//                      path with a blank and an apostrophe, in every format
//   selector % 4 == 3  an assembly manifest, read by the host library's
//                      manifest reader (ScreenManifest) and by CheckManifest
//                      against a package with two known classes
// A seed such as "1HKCR { ... }" is a readable script.
//
// Checked besides crashes, leaks and sanitizer reports:
//   - an export that reads, written out again as .reg text, reads back as
//     the same registry (what the report shows as .reg text means what it says);
//     and the input's bytes taken as one string value (UTF-16 units) and its
//     name, written as .reg text, read back as the same value;
//   - every token of a script has a place inside the script's lines, and
//     every key the reader recorded has a path that finds it again;
//   - a registration or removal that fails without a box has an error finding
//     with the place where it stopped;
//   - every finding about a manifest has a place and a remedy, and one that is
//     no XML has that one finding only;
//   - a manifest the reader takes names a braced class identifier in every
//     comClass; one it refuses is refused at a place inside its text, for
//     size only over the limit, and is an error of CheckManifest too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "checks/check.h"
#include "checks/package.h"
#include "findings/finding.h"
#include "host/manifest_screen.h"
#include "manifest/manifest.h"
#include "module/module_file.h"
#include "platform/emulated/emulator.h"
#include "registry/emulator_session.h"
#include "registry/registry_state.h"
#include "report/report.h"
#include "scripts/script_reading.h"
#include "text/identifiers.h"
#include "text/text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "check_fuzzer: %s\n", what);
  std::abort();
}

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// The input's bytes as UTF-16 units, taken as a string value (and as the
// value's name, where .reg text can hold the name): written as the export
// writes it, it reads back as the same value, whatever control characters or
// half surrogate pairs it holds.
void OddValue(const std::string& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (c) text += c;
  }
  const check::RegValue value{check::RegNameWritable(text) ? text : u"v", REG_SZ, check::TextData(text)};
  check::RegKey key;
  key.path = u"HKEY_CLASSES_ROOT\\Fuzz";
  key.values[check::FoldCase(value.name)] = value;
  check::Snapshot written, read;
  written.emplace(check::FoldCase(key.path), key);
  const std::string text8 = check::RegDiff({}, written);
  std::vector<std::string> notes;
  std::string error;
  if (!check::ParseRegFile(kHeader + text8, &read, &notes, &error))
    Fail("an odd value's .reg text is not read");
  if (!notes.empty() || check::RegDiff(written, read) != "") {
    Fail("an odd value's .reg text reads back as another value");
  }
}

void RegFile(const std::string& bytes) {
  OddValue(bytes);
  check::Snapshot first;
  std::vector<std::string> notes;
  std::string error;
  if (!check::ParseRegFile(bytes, &first, &notes, &error)) return;
  const std::string written = check::RegDiff({}, first);
  check::Snapshot second;
  if (!check::ParseRegFile(kHeader + written, &second, &notes, &error)) {
    Fail("the checker's own .reg text is not read as an export");
  }
  if (check::RegDiff({}, second) != written) {
    Fail("the checker's own .reg text reads back as another registry");
  }
}

void Script(const std::string& bytes) {
  const std::u16string text = emu::FromUtf8(bytes);
  const std::u16string original = text.substr(0, text.find(u'\0'));
  std::vector<check::Finding> findings;
  const check::ScriptReading r =
      check::ReadScript("Style.rgs", original, u"C:\\Program Files\\O'Brien's\\Fuzz.dll", &findings);
  for (const check::Token& t : r.tokens) {
    if (t.start > r.prepared.size() || t.end > r.prepared.size() || t.start > t.end) {
      Fail("a token outside the prepared text");
    }
    const check::Place p = r.PlaceOfPrepared(t.start);
    if (p.line < 1 || p.column < 1 || static_cast<std::size_t>(p.line) > r.lineStarts.size()) {
      Fail("a token's place is outside the script");
    }
  }
  for (std::size_t k = 0; k < r.keys.size(); ++k) {
    if (r.FindKey(r.KeyPath(k)) != k) Fail("a key's path does not find it again");
  }
  for (const check::Finding& f : findings) {
    if (f.line < 1 || f.column < 1) Fail("a script warning without a place");
  }
}

void WholePackage(const std::string& bytes) {
  const std::size_t split = bytes.find('\0');
  check::CheckRequest request;
  request.package = std::make_shared<const check::Package>(check::PackageOfScripts(
      "Fuzz.dll", {bytes.substr(0, split), split == std::string::npos ? "" : bytes.substr(split + 1)}));
  request.installPaths = {u"C:\\Program Files\\O'Brien's\\Fuzz.dll"};
  // Something for ForceRemove, Delete and removal to find.
  std::vector<std::string> notes;
  std::string error;
  check::ParseRegFile(std::string(kHeader) +
                          "[HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}]\r\n"
                          "@=\"x\"\r\n[HKEY_CLASSES_ROOT\\Fuzz.Style\\Keep]\r\n",
                      &request.registry, &notes, &error);
  const check::Report report = check::Check(request);
  check::TextReport(report);
  check::JsonReport(report);
  check::SarifReport(report, ".");
  const check::Install& install = report.installs[0];
  auto explained = [&](const check::RunResult& run, check::FindingCode code) {
    if (!run.ran || SUCCEEDED(run.result) || !run.boxes.empty()) return true;
    for (const check::Finding& f : install.findings) {
      if (f.code == code && f.line > 0) return true;
    }
    return false;
  };
  if (!explained(install.registration, check::FindingCode::kRegistrationError)) {
    Fail("a failed registration without a finding that says where it stopped");
  }
  if (!explained(install.removal, check::FindingCode::kRemovalError)) {
    Fail("a failed removal without a finding that says where it stopped");
  }
}

void Manifest(const std::string& bytes) {
  check::ManifestExpectation expected;
  expected.moduleName = "Lark.dll";
  expected.architecture = "x64";
  expected.classesKnown = true;
  expected.classes.resize(2);
  const char16_t* ids[2] = {u"{5A43D3A4-DE45-48C3-9CA8-B9A32AF938F4}",
                            u"{596B2237-CD2B-48B9-9CDF-CC45ECEC6664}"};
  for (int i = 0; i < 2; ++i) sys::CLSIDFromString(ids[i], &expected.classes[i].clsid);
  expected.classes[0].threadingModel = "Apartment";
  expected.classes[0].progId = "Lark.Style.1";
  expected.classes[0].versionIndependentProgId = "Lark.Style";
  expected.classes[1].threadingModel = "Both";
  expected.classes[1].progId = "Lark.StyleText.1";
  std::vector<check::Finding> findings;
  check::CheckManifest("Lark.Assembly.manifest", bytes, expected, &findings);
  bool error = false;
  for (const check::Finding& f : findings) {
    if (f.line < 1 || f.column < 1 || f.remedy.empty())
      Fail("a manifest finding without a place or a remedy");
    if (f.code == check::FindingCode::kManifestNotXml && findings.size() != 1)
      Fail("a manifest that is no XML with more findings");
    error = error || f.severity == check::Severity::kError;
  }
  namespace detail = stub::host::detail;
  const detail::ManifestScreen screen = detail::ScreenManifest(bytes);
  if ((screen.fault == detail::ManifestFault::TooLarge) != (bytes.size() > detail::kManifestSizeLimit)) {
    Fail("a refusal for size that does not match the size");
  }
  if (screen.fault == detail::ManifestFault::None) {
    for (const detail::ScreenedClass& entry : screen.classes) {
      if (!detail::IsBracedClassId(entry.clsid))
        Fail("a manifest taken with a comClass that names no identifier");
    }
    return;
  }
  // The decoded text of UTF-16 input holds at most three bytes per two.
  if (screen.fault != detail::ManifestFault::TooLarge && screen.at > 4 * bytes.size() + 3) {
    Fail("a refusal at a place past the text");
  }
  if (!error) Fail("a manifest the host library refuses that the checker finds no error in");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      RegFile(bytes);
      break;
    case 1:
      Script(bytes);
      break;
    case 2:
      WholePackage(bytes);
      break;
    default:
      Manifest(bytes);
      break;
  }
  return 0;
}
