// The table of manifests (manifest_rows.txt) through both of the library
// reader's uses: the host library's screen gives each row's verdict, and
// `check --manifest` reports an error exactly where that verdict is not
// ready. The table's own columns hold together: a manifest the reader
// takes is one Wine serves, and one it refuses that Wine serves says why.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "findings/finding_table.h"
#include "host/manifest_screen.h"
#include "manifest/manifest.h"
#include "manifest_rows.h"

namespace {

namespace detail = stub::host::detail;

std::string ScreenVerdict(const std::string& bytes) {
  const detail::ManifestScreen screen = detail::ScreenManifest(bytes);
  if (screen.fault != detail::ManifestFault::None) return "bad-manifest";
  const bool both = detail::FindClass(screen, manifest_rows::kModule, manifest_rows::kStyleId) &&
                    detail::FindClass(screen, manifest_rows::kModule, manifest_rows::kTextId);
  return both ? "ready" : "not-in-manifest";
}

// The package the rows describe, as its scripts register it.
check::ManifestExpectation Lark() {
  check::ManifestExpectation want;
  want.moduleName = manifest_rows::kModule;
  want.architecture = "x64";
  want.classesKnown = true;
  want.classes.resize(2);
  const char* const ids[2] = {manifest_rows::kStyleId, manifest_rows::kTextId};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(sys::CLSIDFromString(check::Utf16(ids[i]).c_str(), &want.classes[i].clsid), S_OK);
  }
  want.classes[0].threadingModel = "Apartment";
  want.classes[0].progId = "Lark.Style.1";
  want.classes[1].threadingModel = "Both";
  want.classes[1].progId = "Lark.StyleText.1";
  return want;
}

TEST(ManifestRows, ScreenAndCheckerAgreeAndWineIsRecorded) {
  std::ifstream in(STUB_MANIFEST_ROWS, std::ios::binary);
  std::stringstream table;
  table << in.rdbuf();
  const auto rows = manifest_rows::Rows(table.str(), "amd64");
  ASSERT_GE(rows.size(), 30u);
  const check::ManifestExpectation want = Lark();
  for (const manifest_rows::Row& row : rows) {
    SCOPED_TRACE(row.name + " (line " + std::to_string(row.line) + ")");
    EXPECT_EQ(ScreenVerdict(row.bytes), row.verdict);
    std::vector<check::Finding> findings;
    check::CheckManifest("Lark.Assembly.manifest", row.bytes, want, &findings);
    std::string errors;
    for (const check::Finding& f : findings) {
      if (f.severity == check::Severity::kError)
        errors += std::string(check::CodeName(f.code)) + ": " + f.message + "; ";
    }
    EXPECT_EQ(errors.empty(), row.verdict == "ready") << errors;
    EXPECT_TRUE(row.wine == "serves" || row.wine == "refused" || row.wine == "not-served" ||
                row.wine == "crashes");
    if (row.verdict == "ready") EXPECT_EQ(row.wine, "serves");
    EXPECT_EQ(!row.why.empty(), row.verdict != "ready" && row.wine == "serves") << row.why;
  }
}

}  // namespace
