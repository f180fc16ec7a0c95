// stub-check export --format reg: .reg text for `reg import`, the keys as
// registration writes them for the installed path given with --module-path.
#include <string>

#include "export/export_format.h"

namespace check {

// .reg text for `reg import`, with regedit's line ends.
bool WriteRegText(const ExportedPackage& e, std::string* out, std::string* /*problem: none*/) {
  const std::string &moduleName = e.moduleName, &arch = e.arch;
  const std::string modulePath = Utf8(e.install.modulePath);
  const bool perUser = e.perUser;
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  text += "; " + moduleName + " installed as " + modulePath + ": what " +
          (perUser ? "regsvr32 /n /i:user" : "regsvr32") + " writes (stub-check export)\n";
  if (arch == "x86") {
    text += "; a 32-bit module: on 64-bit Windows import into the 32-bit view:\n"
            ";   reg import FILE /reg:32\n";
  }
  if (!perUser) text += "; machine-wide: import from an elevated prompt\n";
  for (const ExportedKey& k : e.keys) {
    text += "\n[" + LongRootName(k.root) + "\\" + k.below + "]\n";
    for (const auto& [folded, value] : k.key->values) text += RegValueLine(value) + "\n";
  }
  // Line ends as regedit writes them; reg import reads either.
  out->clear();
  for (char c : text) *out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return true;
}

}  // namespace check
