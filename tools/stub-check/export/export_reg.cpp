// stub-check export --format reg: .reg text for `reg import`, the keys as written for --module-path.
#include "export/export_format.h"

namespace check {

bool WriteRegText(const ExportedPackage& e, std::string* out, std::string* /*problem: none*/) {
  std::string text = "Windows Registry Editor Version 5.00\n\n; " + e.moduleName + " installed as " +
                     Utf8(e.install.modulePath) + ": what " +
                     (e.perUser ? "regsvr32 /n /i:user" : "regsvr32") + " writes (stub-check export)\n";
  if (e.arch == "x86") {
    text +=
        "; a 32-bit module: on 64-bit Windows import into the 32-bit view:\n;   reg import FILE /reg:32\n";
  }
  if (!e.perUser) text += "; machine-wide: import from an elevated prompt\n";
  for (const ExportedKey& k : e.keys) {
    text += "\n[" + Utf8(LongRootName(k.root)) + "\\" + k.below + "]\n";
    for (const auto& [folded, value] : k.key->values) text += RegValueLine(value) + "\n";
  }
  // Line ends as regedit writes them; reg import reads either.
  out->clear();
  for (char c : text) *out += c == '\n' ? "\r\n" : std::string(1, c);
  return true;
}

}  // namespace check
